#pragma once

#include "basecall_client/bounded_read_warning.h"
#include "basecall_client/client_connection_state.h"
#include "common/diagnostics/tracing/trace_domain.h"
#include "interfaces/read_holder.h"
#include "ipc_tools/message.h"
#include "ipc_tools/vexil_ipc_generated.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace basecall_service {

class ReadBuffer;
class RequestBrokerAdapter;

// The worker-side read loop of one connection. Replaceable so that a client can be given another
// implementation before it connects.
class AbstractReadProcessingProtocol {
public:
    virtual ~AbstractReadProcessingProtocol() = default;

    // Runs until stopped or until the first error, which it returns (no_error after a stop).
    virtual ErrorState process_reads(ReadBuffer* read_buffer, RequestBrokerAdapter* request_broker) = 0;
    // The loop ends at its next pass; there is no way back.
    virtual void stop() = 0;
    // The client id the server gave at connect; a declared end of input is sent again on it.
    virtual void set_connection_id(std::string id) = 0;
    virtual void set_disable_events(bool disable_events) = 0;
    virtual void set_pull_state_data(bool pull_state_data) = 0;
    // The caller sends no further reads: NO_MORE_DATA goes out once the input queue has drained.
    virtual void set_no_more_data() = 0;
};

// Paces the passes of a read loop whose server answers at once that nothing is ready (as a busy
// server may while its reads are being called) or that it has no room for the group pushed: asked
// again at once, the loop would keep a core busy on each side while it only waits.
// While reads are on the server a called read is to be handed on soon after it is ready, and
// within a millisecond: such a pass ends with a pause of a sixteenth of the time since the server
// last made progress (a read came back or a group was taken), none while that is under the
// shortest pause and at most a millisecond. A read called in a set time then waits for its pull a
// sixteenth of that time at most, and a loop that gets nothing sends about a request a millisecond.
// A refused group goes again as soon as a read comes back (room may have freed), in every pass
// while the loop does not pause, and otherwise after a back-off that doubles from a millisecond up
// to the ceiling below; a pass whose offer is then refused again leaves its pull to the next pass. With nothing on the
// server the pause doubles from a millisecond up to that ceiling while nothing comes. A read queued to push (after a
// refused push: one queued during the wait, and only with nothing on the server), or a wake
// (stop, end of input), ends a wait at once.
class PullPacer {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::microseconds shortest_pause{50};
    static constexpr std::chrono::microseconds first_pause{1000};
    static constexpr std::chrono::microseconds longest_pause{8000};
    // Reads on the server: the pause is the time since the server last made progress over this.
    static constexpr int progress_pause_ratio = 16;

    // The worker paces a loop over `buffer` until detach; each attach starts at the shortest pause.
    void attach(ReadBuffer& buffer);
    void detach();
    // The last pull found nothing ready: the pass ends with a pause.
    void nothing_pending() {
        m_pause_due = true;
        m_pull_idle = true;
    }
    // The server had no room for the group pushed: the pass ends with a pause before it is offered
    // again. `reads_on_server`: whether the loop has reads on the server.
    void push_refused(bool reads_on_server);
    // Whether the front group is to be offered in this pass.
    bool push_due(bool reads_on_server) const;
    // The group offered in this pass was refused again while reads wait on the server: this pass
    // sends no pull, the pass after the pause does.
    bool pull_deferred() const { return m_refused_again; }
    // A called read came back: the server may have room again, so a refused group goes out at once.
    void read_returned();
    // The server took the group offered: the next group starts without back-off.
    void push_accepted();
    // At the end of a pass: waits if the pass found nothing ready or was refused. Worker only.
    void pause_if_due(bool reads_on_server);
    // Whether the next pull or push is expected to be answered "nothing" again: its reply is then
    // awaited asleep, as a spin for it would cost most of the loop's CPU and gain nothing. Just
    // after progress a read may be ready any moment, and a wake-up would delay its return.
    bool pull_idle() const { return m_pull_idle && !just_progressed(); }
    bool push_idle() const { return m_push_idle && !just_progressed(); }
    // Any thread: ends the worker's current pause, or its next one, at once.
    void wake();

private:
    // Reads on the server: progress was so recent that the loop does not pause.
    bool just_progressed() const;
    std::chrono::microseconds pause_while_out() const;

    // Guards the buffer pointer, which wake follows from the caller's threads.
    std::mutex m_mutex;
    ReadBuffer* m_buffer{nullptr};
    Clock::time_point m_last_progress{};             // reads on the server: a read back or a group taken
    std::chrono::microseconds m_pause{first_pause};  // nothing on the server
    bool m_pause_due{false};
    bool m_push_refused{false};
    // Refused group, reads on the server: when it is offered again, unless a read comes back first.
    std::optional<Clock::time_point> m_retry_at;
    std::chrono::microseconds m_retry_backoff{first_pause};
    bool m_refused_again{false};
    bool m_pull_idle{false};  // the last pull found nothing ready
    bool m_push_idle{false};  // the last push was refused
};

// Pushes the queued reads of a ReadBuffer to the server, pulls called reads back into it, keeps the
// link alive and tells the server once that no more data will come. Runs on the worker thread only;
// stop() and set_no_more_data() may be called from any thread.
class ReadProcessingProtocol : public AbstractReadProcessingProtocol,
                               common::diagnostics::tracing::TraceDomain<ReadProcessingProtocol> {
public:
    // How long the loop goes on pulling, once every read is pushed, before it sends NO_MORE_DATA
    // while reads are still out: the server may still be returning reads for blocks it has just
    // accepted. With nothing left out it is sent at once.
    static constexpr std::chrono::milliseconds default_no_more_data_pause{5000};

    ReadProcessingProtocol();
    ~ReadProcessingProtocol() override;

    ReadProcessingProtocol(const ReadProcessingProtocol&) = delete;
    ReadProcessingProtocol& operator=(const ReadProcessingProtocol&) = delete;

    ErrorState process_reads(ReadBuffer* read_buffer, RequestBrokerAdapter* request_broker) override;
    void stop() override;
    void set_connection_id(std::string id) override;
    void set_disable_events(bool disable_events) override;
    void set_pull_state_data(bool pull_state_data) override;
    void set_no_more_data() override;

    bool keep_alive() const;

    // Changes the pause before NO_MORE_DATA (for tests); set before process_reads runs.
    void set_no_more_data_pause(std::chrono::milliseconds pause) { m_no_more_data_pause = pause; }

    // The value of GET_FIRST_CALLED_BLOCK: bit 0 disable events, bit 1 pull state data.
    std::uint32_t called_block_options() const;

    bool push_into_server(RequestBrokerAdapter* request_broker);
    bool pull_from_server(RequestBrokerAdapter* request_broker);
    bool send_no_more_data(RequestBrokerAdapter* request_broker);

    // Fills the submitted read that `block` belongs to (fetching its further blocks); null after it
    // has recorded an error in m_error_state.
    interfaces::ReadHolder* process_read_message(RequestBrokerAdapter* request_broker,
                                                 const vexil_ipc::ReadBlockData* block);

    // The caller has declared the end of input and this connection has not yet been told.
    bool no_more_data_pending() const;

private:
    bool stop_requested() const;
    // In a pass that left the input queue empty with the end of input declared: true once
    // NO_MORE_DATA is due, that is nothing is left to pull or the pause has passed.
    bool no_more_data_due();
    // A push in two halves: the first message of the front group is sent (as a copy, so that a
    // NOT_READY can offer it again), then its reply awaited and the group's later messages sent.
    bool start_push(RequestBrokerAdapter* request_broker);
    bool finish_push(RequestBrokerAdapter* request_broker);
    // Once a pulled reply needs no further request, the next pass's push goes out before the reply
    // is decoded, so that decoding overlaps the round trip; the order on the wire is unchanged.
    bool start_next_push_early(RequestBrokerAdapter* request_broker, const vexil_ipc::MessageData& reply);
    // A push started early whose pass never came (the loop ended on an error) has its reply
    // received and dropped, so that the socket can take the next request.
    void settle_early_push(RequestBrokerAdapter* request_broker);
    // The steps of a pull: ask for the next called block or batch; take a returned read or a
    // completed batch; record and trace a malformed reply (always false).
    bool request_called_block(RequestBrokerAdapter* request_broker, ipc_tools::Message& reply);
    bool take_called_read(RequestBrokerAdapter* request_broker, const ipc_tools::Message& reply);
    bool take_completed_batch(RequestBrokerAdapter* request_broker, const ipc_tools::Message& reply);
    bool fail_pull(const std::string& text);

    ErrorState m_error_state;
    ReadBuffer* m_read_buffer{nullptr};
    bool m_disable_events{false};
    bool m_pull_state_data{false};
    std::string m_connection_id;
    BoundedReadWarning m_bounded_read_warning;
    // Guards the stop request and the end-of-input record, which the caller's threads write.
    mutable std::mutex m_mutex;
    bool m_stop{false};
    // How many times the caller declared the end of its input, and which declaration the last
    // NO_MORE_DATA on this connection answered (0: none sent yet).
    std::uint64_t m_no_more_data_declarations{0};
    std::uint64_t m_no_more_data_sent_for{0};
    std::chrono::milliseconds m_no_more_data_pause{default_no_more_data_pause};
    // When the pause before NO_MORE_DATA ends; unset until the input queue drains. Worker only.
    std::optional<std::chrono::steady_clock::time_point> m_no_more_data_due_at;
    bool m_push_in_flight{false};  // the front group's first message awaits its reply
    PullPacer m_pacer;
};

}  // namespace basecall_service
