#pragma once

// The queues where the caller's threads and the engine's worker meet: reads waiting to be pushed
// (with their ready-built messages), reads in flight on the server, and finished reads.

#include "common/diagnostics/state/state_provider.h"
#include "common/diagnostics/tracing/trace_domain.h"
#include "basecall_client/read_batching.h"
#include "basecall_client/read_record.h"
#include "common/synchronisation.h"
#include "interfaces/read_holder.h"
#include "ipc_tools/frame_buffer_pool.h"
#include "ipc_tools/message.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace basecall_service {

/// Why a producer's call took nothing.
struct QueueRefusal {
    enum class Reason {
        none,
        no_room,        // the time-out ran out, or no more data is taken
        tag_in_flight,  // a read with the same tag has not yet been handed back to the caller
        tag_repeated,   // two reads of one list share a tag
    };
    Reason reason = Reason::none;
    std::uint64_t read_tag = 0;

    /// A refusal for a read's tag rather than for want of room.
    bool is_bad_read() const { return reason == Reason::tag_in_flight || reason == Reason::tag_repeated; }
    /// Names the tag and why it was refused; empty for none and no_room.
    std::string text() const;
};

class ReadBuffer : public common::diagnostics::state::StateProvider,
                   private common::diagnostics::tracing::TraceDomain<ReadBuffer> {
public:
    /// Tag type whose high-frequency trace domain switches metadata validation on.
    struct MetadataValidationTrace {};

    ReadBuffer() = default;
    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;
    /// Releases waiting producers and waits for them to leave.
    ~ReadBuffer() override;

    // Settings: called once, before the buffer is shared.
    /// Samples per block message, also the batch limit; std::invalid_argument for 0.
    void set_block_size(unsigned long block_size);
    /// Groups that may be queued before producers wait; nothing is admitted until this is set.
    void set_max_input_queue_size(unsigned long max_groups);
    void set_max_read_failures(unsigned long max_failures);

    // Producers.
    /// True: the buffer took the read (the holder is left cleared). False: refused (time-out, no
    /// more data, or its tag in flight) and the holder is untouched; `refusal`, when given, says
    /// why. A read shorter than 20 model strides goes straight to the output queue.
    ///
    /// A tag is in flight from the moment its read is taken until that read (sub tag 0) has left
    /// through get_reads_out: two reads under one tag would be told apart by nothing the server
    /// returns. Tags are compared by the 32 bits that travel.
    bool queue_read(interfaces::ReadHolder& read, unsigned long timeout_ms, QueueRefusal* refusal = nullptr);
    /// As queue_read; `flag`, when given, is counted down once the call holds the lock and again
    /// when it returns.
    bool testable_queue_read(interfaces::ReadHolder& read, unsigned long timeout_ms,
                             common::synchronisation::Flag* flag, QueueRefusal* refusal = nullptr);
    /// True: every read taken, the list left empty. False: none taken, the list as it was.
    bool queue_reads(interfaces::ReadList& reads, unsigned long timeout_ms, QueueRefusal* refusal = nullptr);
    /// A read under this tag has been taken and not yet handed back.
    bool tag_in_flight(std::uint64_t read_tag) const;
    /// Producers waiting for room right now.
    std::uint64_t num_waiting_producers() const;

    // Consumers.
    unsigned long num_reads_out() const;
    /// Moves every finished read, in order, to the end of `reads`.
    void get_reads_out(interfaces::ReadList& reads);
    /// Puts finished reads of another buffer in front of this one's output queue, their tags in
    /// flight until they are handed out; `reads` is left empty.
    void adopt_reads_out(interfaces::ReadList& reads);

    // Worker.
    /// Returns once a read is queued or in flight, the worker is woken, or after `timeout`: an idle
    /// worker pauses here, and a read queued meanwhile is sent at once rather than at the end of the
    /// pause.
    void wait_for_reads(std::chrono::milliseconds timeout);
    /// Returns once a read is queued, or after `timeout`: a worker whose server has nothing ready
    /// pauses here before it asks again. True when it ended early (a read queued, or woken).
    bool wait_for_queued_reads(std::chrono::microseconds timeout);
    /// As wait_for_queued_reads, but only a read queued during the wait ends it early: a worker
    /// whose push the server refused pauses here, and the reads already queued behind the refused
    /// group cannot be sent before it anyway.
    bool wait_for_newly_queued_reads(std::chrono::microseconds timeout);
    /// Returns once the worker is woken, or after `timeout`: a worker whose refused group waits on a
    /// server that holds its reads pauses here. True when it was woken.
    bool wait_for_wake(std::chrono::microseconds timeout);
    /// Ends the worker's current wait at once, or its next one if it is not waiting.
    void wake_worker();
    /// Reads (not groups) waiting to be pushed.
    unsigned long num_queued_reads() const;
    unsigned long num_submitted_reads() const;
    /// The message group at the front of the input queue. Valid until the worker's next
    /// reads_submitted or set_connection_id. std::out_of_range when nothing is queued.
    std::vector<ipc_tools::Message>& next_read_messages();
    /// When reads_submitted wakes the producers waiting for the slot it frees.
    enum class RoomNotice { now, deferred };
    /// The server accepted every message of the front group: its reads are now in flight. With
    /// RoomNotice::deferred the waiting producers are woken by the next announce_room instead.
    void reads_submitted(RoomNotice notice = RoomNotice::now);
    /// The push of the front group failed: its reads count as in flight, so that the reconnection
    /// that follows counts the failure against them and gives up on a read no server takes.
    void push_failed() { reads_submitted(RoomNotice::now); }
    /// Wakes the waiting producers if a deferred reads_submitted freed a slot since the last call.
    /// A woken producer is often scheduled on the waker's CPU and runs first, so the worker calls
    /// this once its next request is on its way, when it would only be waiting.
    void announce_room();
    /// The read in flight under `read_tag`, or null. Owned by the buffer.
    interfaces::ReadHolder* get_submitted_read_holder(unsigned long long read_tag) const;
    /// The holder into which the results of the read in flight under `read_tag` are written, made
    /// on first use; null when there is no such read. Owned by the buffer. Results stay apart from
    /// the read until it is retrieved, when they move into it: until then the read holds exactly
    /// what the caller passed, to go back to the server or to the caller uncalled, and to build
    /// sub-reads from.
    interfaces::ReadHolder* results_of(unsigned long long read_tag);
    /// A new sub-read of the read in flight under `read_tag`, built from what the caller passed
    /// (never from its results); a read tag 0 holder when there is no such read.
    interfaces::ReadHolder make_sub_read(unsigned long long read_tag, unsigned long long sub_tag) const;
    /// Takes the sub-read in under (read tag, sub tag) and returns the stored holder; when the key
    /// is already present the stored holder is returned and `sub_read` is discarded.
    interfaces::ReadHolder* add_temp_sub_read(interfaces::ReadHolder& sub_read);
    /// A called read is complete: it moves to the output queue, followed by its parked sub-reads.
    /// std::out_of_range when no read is in flight under the tag.
    void read_retrieved(unsigned long long read_tag);
    /// A called sub-read is complete: it is parked until its parent is retrieved.
    void sub_read_retrieved(unsigned long long read_tag, unsigned long long sub_tag);
    /// Retrieval of every read or sub-read of a completed batch, in order.
    void reads_retrieved(const std::vector<interfaces::ReadHolder*>& reads);
    /// The server lost the reads in flight: they go to the output queue uncalled, with the
    /// sub-reads already completed for them. Returns how many reads were given back.
    std::size_t clear_submitted_reads();
    /// The connection has ended for good: every queued and every submitted read goes to the output
    /// queue uncalled, so the caller can collect it. Returns how many reads were given back.
    std::size_t return_unfinished_reads();
    /// Reads given back without results because of a fault (lost on the server, in flight at too
    /// many reconnections, the connection ended), over the buffer's life. Short reads, which are
    /// never sent, do not count.
    std::uint64_t num_reads_returned_uncalled() const;
    /// After each successful connection: stores the id and requeues everything queued or in flight.
    void set_connection_id(std::string connection_id);

    // Lifecycle and diagnostics.
    /// Refuses producers from now on and wakes those waiting.
    void set_no_more_data();
    /// Nothing queued and nothing in flight.
    bool all_reads_processed() const;
    void report_state(common::diagnostics::state::StateLogger& logger) const override;

    // Message building. Producers build outside the lock, with the id they copied under it, and
    // build again should a reconnection change it before they queue; the requeue builds under it.
    /// The block messages of one read, first block first.
    std::vector<ipc_tools::Message> create_read_messages(const interfaces::ReadHolder& read,
                                                         const std::string& connection_id) const;
    /// The one batch message of `reads`, in their order.
    ipc_tools::Message create_reads_message(const std::vector<PositionedRead>& reads,
                                            const std::string& connection_id) const;

private:
    static constexpr std::size_t FRAME_POOL_BYTES = 64 * 1024 * 1024;
    using SubReadKey = std::pair<std::uint64_t, std::uint64_t>;
    using Lock = std::unique_lock<std::mutex>;
    enum class WaitOutcome { room, timed_out, no_more_data };

    using Deadline = std::chrono::steady_clock::time_point;

    static Deadline deadline_after(unsigned long timeout_ms);
    // Waits with the lock held until there is room, the deadline or the end of input. `trace`, when
    // given, gets a line as the caller leaves a destructor's count of waiting producers.
    WaitOutcome wait_for_room(Lock& lock, Deadline deadline, common::diagnostics::tracing::Trace* trace);
    // The reason a read under `tag` may not be taken now (lock held); none when it may.
    QueueRefusal::Reason tag_refusal(std::uint64_t tag) const;
    // The first read of `plan` whose tag is in flight, as a refusal; no_room when there is none.
    QueueRefusal first_tag_in_flight(const BatchPlan& plan) const;
    void take_tag(std::uint64_t tag);
    // With the lock held: whether the read under `tag` is refused for its tag, `why` and `trace`
    // saying so.
    bool read_tag_taken(std::uint64_t tag, QueueRefusal& why, common::diagnostics::tracing::Trace& trace) const;
    // With the lock held: the read under `tag` is not in flight, no end declared and room before
    // the deadline. `why` and `trace` say what stood in the way.
    bool read_admitted(Lock& lock, std::uint64_t tag, Deadline deadline, QueueRefusal& why,
                       common::diagnostics::tracing::Trace& trace);
    // A read too short to call goes straight to the output queue, unless its tag is taken.
    bool put_short_read_on_output_queue(interfaces::ReadHolder& read, QueueRefusal& why,
                                        common::diagnostics::tracing::Trace& trace);

    // The messages of every group of a plan, singles first, as queue_plan appends them.
    struct PlanMessages {
        std::vector<std::vector<ipc_tools::Message>> singles;
        std::vector<ipc_tools::Message> batches;
    };
    PlanMessages create_plan_messages(const BatchPlan& plan, const std::string& connection_id) const;
    // With the lock held: no read of `plan` in flight, no end declared and room before the
    // deadline. `why` says what stood in the way.
    bool plan_admitted(Lock& lock, const BatchPlan& plan, Deadline deadline, QueueRefusal& why);
    // Appends every group of an admitted plan with its messages (lock held).
    void queue_plan(BatchPlan& plan, PlanMessages& messages);

    void queue_read_impl(ReadRecord read, std::vector<ipc_tools::Message>& messages);
    void queue_reads_impl(std::vector<ReadRecord>& reads, ipc_tools::Message& message);
    void read_retrieved_impl(std::uint64_t read_tag);
    void sub_read_retrieved_impl(std::uint64_t read_tag, std::uint64_t sub_tag);
    // Drops the sub-reads under `read_tag` kept without a parent in flight.
    void drop_unparented_sub_reads(std::uint64_t read_tag);
    // Puts a read that leaves without results on the output queue, with its completed sub-reads.
    void give_back_uncalled(ReadRecord read, const char* context);
    std::vector<ReadRecord> fetch_and_empty_input_queue();
    std::vector<ReadRecord> fetch_and_empty_submitted_reads(bool& within_limit);
    void requeue_reads(std::vector<ReadRecord>& reads);

    static void validate_and_trace_metadata(interfaces::ReadHolder& read, const std::string& context);

    mutable std::mutex m_mutex;
    std::condition_variable_any m_input_queue_event;
    std::condition_variable m_reads_arrived;  // the worker waits on it while idle
    bool m_worker_woken = false;              // set by wake_worker, taken by the worker's next wait
    std::atomic<bool> m_room_to_announce{false};
    std::deque<QueuedGroup> m_queued_reads;
    // Reads in flight, by tag, each with its results, failure count and sub-reads.
    std::map<std::uint64_t, ReadRecord> m_submitted_reads;
    // Sub-reads being filled whose parent is not in flight (it left before they were complete).
    std::map<SubReadKey, std::unique_ptr<interfaces::ReadHolder>> m_unparented_sub_reads;
    interfaces::ReadList m_reads_out;
    std::uint64_t m_num_queued_reads = 0;
    std::uint64_t m_num_returned_uncalled = 0;
    std::uint64_t m_max_input_queue_size = 0;
    std::uint64_t m_block_size = 256000;
    std::uint64_t m_max_read_failures = 10;
    std::string m_connection_id;
    bool m_no_more_data = false;
    // Buffers of sent messages, for the next ones: at most a queue's worth of large reads is kept.
    const std::shared_ptr<ipc_tools::FrameBufferPool> m_frame_pool =
            std::make_shared<ipc_tools::FrameBufferPool>(FRAME_POOL_BYTES);
    // Tags (their 32 bits on the wire) of reads taken and not yet handed back to the caller.
    std::unordered_set<std::uint32_t> m_tags_in_flight;
    std::uint64_t m_num_queue_read_waiting_threads = 0;
    std::unique_ptr<common::synchronisation::Latch> m_queue_read_latch;
};

}  // namespace basecall_service
