#pragma once

#include "ipc_tools/awake_poll.h"
#include "ipc_tools/message.h"
#include "ipc_tools/request_errors.h"
#include "ipc_tools/server_endpoint_resolver.h"
#include "ipc_tools/wait_interrupt.h"

#include "common/diagnostics/tracing/trace_domain.h"

#include <zmq.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace ipc_tools {

/// Told, on the thread that waits for a reply, how long the server has been silent: since its
/// last reply (or, before any, since the first request).
class LinkObserver {
public:
    virtual ~LinkObserver() = default;
    /// A poll for the reply to `awaited` ended without it; the server has sent nothing since `since`.
    virtual void server_silent(MessageType awaited, std::chrono::steady_clock::time_point since) = 0;
    /// The first reply after server_silent: the silence began at `since`.
    virtual void server_heard(std::chrono::steady_clock::time_point since) = 0;
};

/// The client end of the strict request/reply exchange with the basecall server: one ZeroMQ
/// context and one REQ socket. It never retries and never reconnects by itself; after a failure
/// its owner calls prepare_connection again, which replaces the socket.
class RequestBroker : common::diagnostics::tracing::TraceDomain<RequestBroker> {
public:
    RequestBroker();
    virtual ~RequestBroker();

    RequestBroker(const RequestBroker&) = delete;
    RequestBroker& operator=(const RequestBroker&) = delete;
    RequestBroker(RequestBroker&&) = delete;
    RequestBroker& operator=(RequestBroker&&) = delete;

    /// Stores the normalised address and the poll time-out, then connects a new socket. With a
    /// time-out of 0 every poll returns at once: a reply that is not already there ends the
    /// exchange in TimeoutError, never in a wait.
    void prepare_connection(const std::string& address, std::uint32_t timeout_ms);

    /// "ipc://..." and "tcp://..." stay as they are; "host:port" becomes "tcp://host:port";
    /// anything else is taken as a port on localhost.
    std::string generate_server_address(const std::string& address) const;
    /// The normalised address given to prepare_connection, to name the server in records.
    const std::string& server_address() const { return m_server_address; }

    /// Replaces the socket with a new REQ socket connected to the stored address. The old socket,
    /// and the context it lived in, are gone before the new one is made, so retries never pile up
    /// descriptors; should making the new one fail, the broker has no socket until the next reset.
    /// A process that cannot open the descriptors a connected broker holds gets DescriptorShortage
    /// before ZeroMQ is asked for any.
    void reset();

    /// Sends `request` (its buffer goes to ZeroMQ) and leaves the validated reply in `reply`.
    /// Throws TimeoutError, BadReply or BadRequest as the exchange fails. A silent server costs up
    /// to four polls of the time-out.
    void send_request(Message& request, Message& reply);
    /// send_request for a caller with a time limit: every poll ends by `latest_end` (the first one
    /// at once when it has passed) and none starts after it; a `latest_end` one time-out ahead
    /// allows one poll.
    void send_request_within(Message& request, Message& reply, std::chrono::steady_clock::time_point latest_end);
    /// The two halves of send_request, so that the caller can work while the reply is on its way.
    /// start_request sends; finish_request waits for, receives and checks the reply. Between them
    /// the socket takes no other request.
    void start_request(Message& request);
    void finish_request(Message& reply);
    /// The reply to the next request of `kind` is awaited asleep (see ReplyPace::expect_slow).
    void expect_slow_reply(MessageType kind) { m_reply_pace.expect_slow(kind); }

    /// Cuts short the wait for a reply in progress and every later one, for good (the owner is
    /// ending): such a wait throws WaitCutShort, and so does a request that would start after it,
    /// unsent. The waits that an interrupt leaves (the goodbye's, a late reply's) end by
    /// `last_waits_by` when it is given. The one call that may come from another thread.
    void interrupt_waits(std::optional<std::chrono::steady_clock::time_point> last_waits_by = std::nullopt);
    bool waits_interrupted() const { return m_interrupt.raised(); }
    /// Sleeps for `duration`, or less once waits are interrupted; false when they are.
    bool pause(std::chrono::milliseconds duration);
    /// After a wait that was cut short: one more poll for that request's reply, which nothing
    /// cuts short; TimeoutError when it does not come, or when no reply is outstanding.
    void await_late_reply(Message& reply);

    /// The last request of a connection. It goes out on a fresh socket when the old one still
    /// awaits a reply, and it is never cut short: once waits are interrupted (before or during its
    /// wait) it waits one more poll and no longer, so that a server that stopped answering costs
    /// one time-out while one that answers is heard.
    void send_farewell(Message& request, Message& reply);

    /// Told of every poll that ends without the reply and of the reply that ends such a silence.
    /// Set while no request is in progress; null for none. Outlives its use or is replaced first.
    void set_link_observer(LinkObserver* observer) { m_link_observer = observer; }

    /// Receives the reply that the poll reported and checks its type.
    void fetch_and_validate_reply(MessageType request_type, Message& reply);

    /// Sends HEARTBEAT_PING when nothing has been sent for a second or more, and requires
    /// HEARTBEAT_ECHO (InvalidResponse otherwise).
    void ping_server_if_quiet(const std::string& client_id);

private:
    /// A new context, once the descriptors the connected socket will need are known to be there;
    /// DescriptorShortage when they are not.
    void make_context();
    /// What an interrupt does to a wait.
    enum class OnInterrupt {
        cut_short,      ///< the wait throws WaitCutShort
        one_more_poll,  ///< the wait goes on for one poll that nothing cuts short
        ignored,        ///< the wait goes on as it is
    };
    void send_frame(Message& request);
    /// When the waits left by an interrupt must end, if the interrupt said.
    std::optional<std::chrono::steady_clock::time_point> last_waits_limit() const;
    /// A poll for the reply to `awaited` found none.
    void note_silence(MessageType awaited);
    /// A reply came.
    void note_heard();
    /// Polls up to 1 + `retries` times, no poll after `latest_end` but the first.
    void await_reply(Message& reply, int retries, OnInterrupt on_interrupt,
                     std::optional<std::chrono::steady_clock::time_point> latest_end = std::nullopt);

    std::optional<zmq::context_t> m_context;  // made by reset, with the socket
    std::unique_ptr<zmq::socket_t> m_socket;
    std::string m_server_address;
    ConnectTarget m_connect_target;  // where m_server_address leads: what the socket connects to
    std::uint32_t m_timeout_ms;
    std::int64_t m_last_send_time;
    MessageType m_pending_request_type = UNSET;  // of the request whose reply finish_request awaits
    bool m_awaiting_reply = false;               // sent and not yet received: the REQ socket takes no request
    WaitInterrupt m_interrupt;
    std::atomic<std::chrono::steady_clock::rep> m_last_waits_by{0};  // 0: no limit; set before the interrupt
    ReplyPace m_reply_pace;
    LinkObserver* m_link_observer = nullptr;
    // Since when the server has sent nothing: its last reply, or the first request before any.
    // Kept by reset, so a silence goes on across a new socket to the same server.
    std::optional<std::chrono::steady_clock::time_point> m_last_heard;
    bool m_silence_reported = false;  // server_silent was told since the last reply
};

/// The ZeroMQ endpoint of an address as the broker connects to it (see generate_server_address).
std::string server_endpoint(const std::string& address);

/// Trace text of one poll: its result and the poll item.
std::string poll_result_as_string(int poll_result, const zmq_pollitem_t& item);

}  // namespace ipc_tools
