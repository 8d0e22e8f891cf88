#pragma once

#include "basecall_client/client_connection_state.h"
#include "basecall_client/connection_protocol.h"
#include "basecall_client/link_silence_reporter.h"
#include "basecall_client/read_buffer.h"
#include "common/diagnostics/state/state_provider.h"
#include "common/diagnostics/tracing/trace_domain.h"
#include "interfaces/read_holder.h"
#include "ipc_tools/connection_info.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

namespace basecall_service {

class AbstractReadProcessingProtocol;

// The outcome of queuing reads.
enum class PassReadResult : std::int32_t {
    success = 0,
    not_accepting_reads = 1,
    queue_full = 2,
    // Its tag is in flight, or repeated in the list: nothing was taken.
    bad_read = 3,
};

// How finish ended.
enum class FinishOutcome : std::int32_t {
    // Every read came back called.
    success = 0,
    // The time-out ran out first; what was left came back uncalled.
    timed_out = 1,
    // Reads came back uncalled for another reason (lost, refused by every server, the connection ended).
    failed = 2,
};

// Throws std::runtime_error "unrecognised PassReadResult" for a value outside the enum.
std::string to_string(PassReadResult result);
std::ostream& operator<<(std::ostream& os, PassReadResult result);

// The engine behind one public client: connects on its own worker thread ("client_worker"), hands
// control to the read loop, reconnects after time-outs within a reconnect window, and lets the
// caller queue reads, collect completed reads, finish and disconnect.
class BasecallClient : public common::diagnostics::state::StateProvider,
                       common::diagnostics::tracing::TraceDomain<BasecallClient> {
public:
    using ThreadHook = void (*)();
    using ReadList = std::list<std::unique_ptr<interfaces::ReadHolder>>;

    static constexpr std::chrono::seconds default_reconnect_timeout{300};

    BasecallClient(unsigned long block_size, unsigned long max_input_queue_size, unsigned long max_read_failures,
                   bool disable_events, bool pull_state_data, ThreadHook thread_hook);
    ~BasecallClient() override;

    BasecallClient(const BasecallClient&) = delete;
    BasecallClient& operator=(const BasecallClient&) = delete;

    void set_reconnect_timeout(std::chrono::seconds timeout);

    // Starts the worker and blocks until it has connected or given up; the outcome is in the
    // connection state. Only the first call has an effect.
    void connect(const std::string& address, unsigned int request_timeout_ms, unsigned int file_load_timeout_s,
                 ipc_tools::ConnectionInfo info);

    std::shared_ptr<ReadBuffer> get_read_buffer();
    std::shared_ptr<const ReadBuffer> get_read_buffer() const;

    // `refusal`, when given, says why nothing was taken.
    PassReadResult pass_read(interfaces::ReadHolder& read, unsigned long timeout_ms, QueueRefusal* refusal = nullptr);
    // Reads that were not accepted are left in `reads`, in their order.
    PassReadResult pass_reads(ReadList& reads, unsigned long timeout_ms, QueueRefusal* refusal = nullptr);
    // A read under this tag has been accepted and not yet handed back by get_completed_reads.
    bool tag_in_flight(std::uint64_t read_tag) const;

    unsigned long num_completed_reads() const;
    // Moves every completed read onto the end of `reads`; `priority` is not used.
    void get_completed_reads(ReadList& reads, interfaces::ReadPriority priority);

    void set_no_more_data();
    // Declares the end of input and waits, looking every 100 ms, until every read is back, the
    // connection has ended or `seconds` have passed (0: no limit); then joins the worker, which
    // waits at most one request time-out for the goodbye: so it returns within `seconds` plus one
    // request time-out. Reads
    // still queued or in flight then go to the output queue uncalled. A connection that fails
    // after every read came back called is logged and does not fail the finish: nothing was lost.
    FinishOutcome finish_by(unsigned long long seconds);

    bool connection_status_is_active() const;
    // Ends the connection at once; reads still queued or in flight go to the output queue uncalled.
    void disconnect();
    // Reads completed by an earlier engine of the same caller, not yet collected: they join this
    // engine's output queue, their tags in flight until collected, so that a reconnection loses none.
    void adopt_completed_reads(ReadList& reads);
    // The caller leaves the connection (as disconnect does, without giving reads back): stops and
    // joins the worker; a wait it cuts short, or a goodbye the server did not answer, is no error.
    void join_worker_thread();

    ClientConnectionState& get_connection_state() { return m_client_connection_state; }
    const ClientConnectionState& get_connection_state() const { return m_client_connection_state; }

    // Whether a connection has loaded a configuration; until then the two getters below give defaults.
    bool has_server_config() const;
    ConfigDetails get_basecalling_config() const;
    // Of the configuration the current (or last) connection loaded: reads are prepared with them.
    std::uint64_t current_model_stride() const { return m_model_stride.load(); }
    bool current_duplex() const { return m_duplex.load(); }
    std::string get_alignment_sam_header() const;
    ipc_tools::ConnectedInfo get_connected_info() const;

    // Replace a collaborator; ignored once a worker has started.
    void set_connection_protocol(std::shared_ptr<AbstractConnectionProtocol> protocol);
    void set_read_processing_protocol(std::shared_ptr<AbstractReadProcessingProtocol> protocol);

    void report_state(common::diagnostics::state::StateLogger& logger) const override;

private:
    // Queues through `queue` (a call on the read buffer) and turns its outcome into a result.
    template <typename Queue>
    PassReadResult pass_with(Queue queue, QueueRefusal* refusal);
    void start_worker_thread();
    std::shared_ptr<ReadBuffer> create_read_buffer();
    void worker_loop(ThreadHook hook);
    // Connects, runs the read loop and reconnects after time-outs; records how the worker ended.
    void run_connections(const std::shared_ptr<ReadBuffer>& read_buffer, common::diagnostics::tracing::Trace& trace);
    // A connection is up: keeps what the server told and hands its id to the buffer and the loop.
    void adopt_connection(AbstractConnectionProtocol& connection, ReadBuffer& read_buffer,
                          AbstractReadProcessingProtocol& read_loop, common::diagnostics::tracing::Trace& trace);
    // The connecting is over for good: gives back what is left, says goodbye and records how it ended.
    // `connected` says whether the last attempt had a connection.
    void end_connections(AbstractConnectionProtocol& connection, ReadBuffer& read_buffer, bool connected,
                         bool stopped_awaiting_reply, ErrorState error, common::diagnostics::tracing::Trace& trace);
    void end_with_exception(const std::string& what);
    // Releases connect: the first connection is up, or the worker has given up.
    void settle_connect();
    // Stops the worker and joins it; the goodbye's wait ends by `goodbye_by` when given.
    void stop_worker(std::optional<std::chrono::steady_clock::time_point> goodbye_by = std::nullopt);
    void declare_no_more_data_on_current_buffer();
    static std::chrono::steady_clock::time_point calculate_reconnect_timeout_time(std::chrono::seconds timeout);
    std::shared_ptr<AbstractConnectionProtocol> connection_protocol() const;
    std::shared_ptr<AbstractReadProcessingProtocol> read_processing_protocol() const;

    ClientConnectionState m_client_connection_state;
    // Before the protocol, which it must outlive: the protocol's link reports to it.
    LinkSilenceReporter m_link_reporter;
    std::shared_ptr<AbstractConnectionProtocol> m_connection_protocol;
    mutable std::mutex m_read_buffer_mutex;
    std::shared_ptr<ReadBuffer> m_read_buffer;
    std::shared_ptr<AbstractReadProcessingProtocol> m_read_processing_protocol;
    ThreadHook m_thread_hook;
    // Guards the protocol pointers, which the caller may replace until a worker starts.
    mutable std::mutex m_protocol_mutex;
    // Guards the worker thread: it is started once and joined once, whoever asks.
    std::mutex m_worker_mutex;
    std::unique_ptr<std::thread> m_worker_thread;
    std::atomic<bool> m_accept_data{false};
    // Set when the worker is stopped: it stops retrying connections that time out.
    std::atomic<bool> m_stop_requested{false};
    // Set by join_worker_thread (disconnect, the destructor): the caller leaves the connection, and a wait it cut
    // short, or a goodbye the server did not answer, is no connection error.
    std::atomic<bool> m_leaving{false};
    std::mutex m_connect_mutex;
    std::condition_variable m_connect_condition;
    bool m_connect_settled{false};
    ipc_tools::ConnectionInfo m_connection_info;
    std::string m_server_endpoint;  // as connect named it; read by the worker only
    std::uint32_t m_server_file_load_timeout{0};
    std::atomic<std::uint32_t> m_request_timeout_ms{0};
    std::atomic<std::int64_t> m_reconnect_timeout{default_reconnect_timeout.count()};
    std::uint64_t m_max_input_queue_size;
    std::uint64_t m_block_size;
    std::uint64_t m_max_read_failures;
    // Rewritten by the worker on every (re)connection, read by callers: guarded by its own mutex.
    mutable std::mutex m_connected_info_mutex;
    ipc_tools::ConnectedInfo m_connected_info;
    // Copies of what the last successful connection loaded (defaults before the first), so callers
    // never read the protocol's records while the worker rewrites them.
    ConfigDetails m_config_details;
    bool m_server_config_received{false};
    std::atomic<std::uint64_t> m_model_stride{0};
    std::atomic<bool> m_duplex{false};
    std::string m_alignment_sam_header;
};

}  // namespace basecall_service
