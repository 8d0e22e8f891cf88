#include "basecall_client/read_buffer.h"

#include "basecall_client/read_block_message_builder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <stdexcept>

namespace basecall_service {

namespace {

using interfaces::ReadHolder;
using TraceFor = common::diagnostics::tracing::TraceDomain<ReadBuffer>;
using ValidationTrace = common::diagnostics::tracing::TraceDomain<ReadBuffer::MetadataValidationTrace>;

// Prefixes of the high-frequency counter lines.
const char* const QUEUED = "Queued: ";
const char* const SUBMITTED = "Submitted: ";
const char* const OUTPUT = "Retrieved: ";
const char* const COMPLETED = "Completed: ";

// Reads shorter than this many model strides cannot be called.
constexpr std::uint64_t MIN_STRIDES_PER_READ = 20;

// Failed metadata validations in this process; only feeds trace text.
std::atomic<std::uint32_t>& message_count() {
    static std::atomic<std::uint32_t> count{0};
    return count;
}

const std::vector<std::string>& barcode_dependent_keys() {
    static const std::vector<std::string> keys = {"barcode_full_arrangement",
                                                  "barcode_kit",
                                                  "barcode_variant",
                                                  "barcode_score",
                                                  "barcode_front_id",
                                                  "barcode_front_score",
                                                  "barcode_front_refseq",
                                                  "barcode_front_foundseq",
                                                  "barcode_front_begin_index",
                                                  "barcode_rear_id",
                                                  "barcode_rear_score",
                                                  "barcode_rear_refseq",
                                                  "barcode_rear_foundseq",
                                                  "barcode_rear_end_index",
                                                  "barcode_mid_front_score",
                                                  "barcode_mid_rear_score",
                                                  "lamp_barcode_id",
                                                  "lamp_barcode_score",
                                                  "lamp_target_id",
                                                  "lamp_target_score"};
    return keys;
}

std::uint32_t wire_tag(std::uint64_t tag) { return static_cast<std::uint32_t>(tag); }

template <typename Count>
void write_counter(const char* operation, const char* prefix, Count count) {
    TraceFor::write_hftrace(operation, [prefix, count] { return prefix + std::to_string(count); });
}

// Counts the flag down when the call returns, after its lock has been released.
class ExitSignal {
public:
    explicit ExitSignal(common::synchronisation::Flag* flag, common::diagnostics::tracing::Trace& trace)
        : m_flag(flag), m_trace(trace) {}
    ExitSignal(const ExitSignal&) = delete;
    ExitSignal& operator=(const ExitSignal&) = delete;
    ~ExitSignal() {
        if (m_flag != nullptr) {
            m_trace.message("on exit signalling wait_guaranteed_flag");
            m_flag->count_down();
        }
    }

private:
    common::synchronisation::Flag* m_flag;
    common::diagnostics::tracing::Trace& m_trace;
};

}  // namespace

std::string QueueRefusal::text() const {
    switch (reason) {
        case Reason::tag_in_flight:
            return "read tag " + std::to_string(read_tag) + " is already in flight";
        case Reason::tag_repeated:
            return "read tag " + std::to_string(read_tag) + " is repeated in the list";
        case Reason::none:
        case Reason::no_room:
            break;
    }
    return {};
}

ReadBuffer::~ReadBuffer() {
    auto trace = create_trace("~ReadBuffer");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_no_more_data = true;
        const auto waiting = m_num_queue_read_waiting_threads;
        trace.message([waiting] { return "creating latch for thread count: " + std::to_string(waiting); });
        m_queue_read_latch = std::make_unique<common::synchronisation::Latch>(waiting);
    }
    m_input_queue_event.notify_all();
    trace.message("notified m_input_queue_event");
    m_queue_read_latch->wait();
    trace.message("m_queue_read_latch zeroed");
    {
        // The last producer has counted down with the lock held; wait until it has let go.
        std::lock_guard<std::mutex> lock(m_mutex);
        trace.message("acquired queue mutex");
    }
}

void ReadBuffer::set_block_size(unsigned long block_size) {
    get_trace_context()->write_message("set_block_size", std::to_string(block_size));
    if (block_size == 0) {
        throw std::invalid_argument("Read block size must be at least 1 sample.");
    }
    m_block_size = block_size;
}

void ReadBuffer::set_max_input_queue_size(unsigned long max_groups) {
    get_trace_context()->write_message("set_max_input_queue_size", std::to_string(max_groups));
    m_max_input_queue_size = max_groups;
}

void ReadBuffer::set_max_read_failures(unsigned long max_failures) {
    get_trace_context()->write_message("set_max_read_failures", std::to_string(max_failures));
    m_max_read_failures = max_failures;
}

std::vector<ipc_tools::Message> ReadBuffer::create_read_messages(const ReadHolder& read,
                                                                 const std::string& connection_id) const {
    return build_read_block_messages(read, m_block_size, connection_id, m_frame_pool);
}

ipc_tools::Message ReadBuffer::create_reads_message(const std::vector<PositionedRead>& reads,
                                                    const std::string& connection_id) const {
    std::vector<const ReadHolder*> views;
    views.reserve(reads.size());
    for (const auto& read : reads) {
        views.push_back(read.second.get());
    }
    return build_read_batch_message(views, connection_id, m_frame_pool);
}

ReadBuffer::Deadline ReadBuffer::deadline_after(unsigned long timeout_ms) {
    // A time-out beyond any real wait (a caller's "wait for ever") must not wrap to a deadline in
    // the past: cap it at about thirty years.
    constexpr unsigned long MAX_TIMEOUT_MS = 1000000000000UL;
    return std::chrono::steady_clock::now() +
           std::chrono::milliseconds(static_cast<std::int64_t>(std::min(timeout_ms, MAX_TIMEOUT_MS)));
}

ReadBuffer::WaitOutcome ReadBuffer::wait_for_room(Lock& lock, Deadline deadline,
                                                  common::diagnostics::tracing::Trace* trace) {
    // Every way out leaves the waiting count as it found it, and tells a destructor that waits
    // for us that we have gone.
    struct WaitingGuard {
        ReadBuffer& buffer;
        common::diagnostics::tracing::Trace* trace;
        WaitingGuard(ReadBuffer& owner, common::diagnostics::tracing::Trace* scope) : buffer(owner), trace(scope) {
            ++buffer.m_num_queue_read_waiting_threads;
        }
        WaitingGuard(const WaitingGuard&) = delete;
        WaitingGuard& operator=(const WaitingGuard&) = delete;
        ~WaitingGuard() {
            --buffer.m_num_queue_read_waiting_threads;
            if (buffer.m_queue_read_latch) {
                const auto remaining = buffer.m_num_queue_read_waiting_threads;
                if (trace != nullptr) {
                    trace->message([remaining] {
                        return "counted down latch. m_num_queue_read_waiting_threads: " + std::to_string(remaining);
                    });
                }
                buffer.m_queue_read_latch->count_down();
            }
        }
    } guard(*this, trace);

    const auto has_room = [this] { return m_queued_reads.size() < m_max_input_queue_size; };
    for (;;) {
        if (has_room()) {
            return m_no_more_data ? WaitOutcome::no_more_data : WaitOutcome::room;
        }
        if (m_no_more_data) {
            return WaitOutcome::no_more_data;
        }
        if (m_input_queue_event.wait_until(lock, deadline) == std::cv_status::timeout) {
            if (has_room()) {
                return m_no_more_data ? WaitOutcome::no_more_data : WaitOutcome::room;
            }
            return m_no_more_data ? WaitOutcome::no_more_data : WaitOutcome::timed_out;
        }
    }
}

bool ReadBuffer::queue_read(ReadHolder& read, unsigned long timeout_ms, QueueRefusal* refusal) {
    auto trace = create_hftrace("queue_read");
    return testable_queue_read(read, timeout_ms, nullptr, refusal);
}

QueueRefusal::Reason ReadBuffer::tag_refusal(std::uint64_t tag) const {
    return m_tags_in_flight.count(wire_tag(tag)) != 0 ? QueueRefusal::Reason::tag_in_flight
                                                      : QueueRefusal::Reason::none;
}

void ReadBuffer::take_tag(std::uint64_t tag) { m_tags_in_flight.insert(wire_tag(tag)); }

bool ReadBuffer::tag_in_flight(std::uint64_t read_tag) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return tag_refusal(read_tag) != QueueRefusal::Reason::none;
}

bool ReadBuffer::read_tag_taken(std::uint64_t tag, QueueRefusal& why,
                                common::diagnostics::tracing::Trace& trace) const {
    why.reason = tag_refusal(tag);
    if (why.reason == QueueRefusal::Reason::none) {
        return false;
    }
    trace.message([&why] { return why.text(); });
    return true;
}

bool ReadBuffer::read_admitted(Lock& lock, std::uint64_t tag, Deadline deadline, QueueRefusal& why,
                               common::diagnostics::tracing::Trace& trace) {
    if (read_tag_taken(tag, why, trace)) {
        return false;
    }
    if (m_no_more_data) {
        trace.message("exiting before wait (m_no_more_data)");
        return false;
    }
    switch (wait_for_room(lock, deadline, &trace)) {
        case WaitOutcome::timed_out:
            trace.message("timeout");
            return false;
        case WaitOutcome::no_more_data:
            trace.message("no more data");
            return false;
        case WaitOutcome::room:
            break;
    }
    return true;
}

bool ReadBuffer::put_short_read_on_output_queue(ReadHolder& read, QueueRefusal& why,
                                                common::diagnostics::tracing::Trace& trace) {
    validate_and_trace_metadata(read, "Read placed directly on output queue without sending to server.");
    auto holder = std::make_unique<ReadHolder>();
    Lock lock(m_mutex);
    if (read_tag_taken(read.read_tag, why, trace)) {
        return false;
    }
    take_tag(read.read_tag);
    *holder = std::move(read);
    m_reads_out.push_back(std::move(holder));
    write_counter("put_read_on_output_queue", OUTPUT, m_reads_out.size());
    why.reason = QueueRefusal::Reason::none;
    return true;
}

bool ReadBuffer::testable_queue_read(ReadHolder& read, unsigned long timeout_ms, common::synchronisation::Flag* flag,
                                     QueueRefusal* refusal) {
    auto trace = create_hftrace("testable_queue_read");
    const ExitSignal exit_signal(flag, trace);
    QueueRefusal ignored;
    QueueRefusal& why = refusal != nullptr ? *refusal : ignored;
    why = QueueRefusal{QueueRefusal::Reason::no_room, read.read_tag};

    const std::uint64_t duration = read.metadata.get<read_data::duration>();
    const std::uint64_t model_stride = read.metadata.get<basecall_data::model_stride>();
    if (duration < MIN_STRIDES_PER_READ * model_stride) {
        return put_short_read_on_output_queue(read, why, trace);
    }

    // Room is waited for before the messages are built as well as after: a caller that a full
    // queue turns away, and that calls again, would otherwise copy its samples into messages that
    // are thrown away on every call. One deadline covers both waits.
    const auto deadline = deadline_after(timeout_ms);
    std::string built_for;
    {
        Lock lock(m_mutex);
        trace.message("lock acquired");
        if (flag != nullptr) {
            flag->count_down();
            trace.message("signalled wait_guaranteed_flag");
        }
        if (!read_admitted(lock, read.read_tag, deadline, why, trace)) {
            return false;
        }
        built_for = m_connection_id;
    }

    // Built outside the lock; the id they carry is checked again once the lock is held.
    auto messages = create_read_messages(read, built_for);

    Lock lock(m_mutex);
    if (!read_admitted(lock, read.read_tag, deadline, why, trace)) {
        return false;
    }
    if (built_for != m_connection_id) {
        // A reconnection came between building and queueing: messages under the old id would
        // reach a registration the server no longer serves, and the read would never come back.
        messages = create_read_messages(read, m_connection_id);
    }
    validate_and_trace_metadata(read, "Queuing read to be sent to the server.");
    take_tag(read.read_tag);
    queue_read_impl(ReadRecord(std::make_unique<ReadHolder>(std::move(read))), messages);
    why.reason = QueueRefusal::Reason::none;
    lock.unlock();
    m_reads_arrived.notify_one();
    return true;
}

bool ReadBuffer::queue_reads(interfaces::ReadList& reads, unsigned long timeout_ms, QueueRefusal* refusal) {
    auto trace = create_hftrace("queue_reads");
    QueueRefusal ignored;
    QueueRefusal& why = refusal != nullptr ? *refusal : ignored;
    why = QueueRefusal{QueueRefusal::Reason::no_room, 0};
    if (const ReadHolder* repeated = first_repeated_tag(reads)) {
        why = QueueRefusal{QueueRefusal::Reason::tag_repeated, repeated->read_tag};
        return false;
    }

    // Positions are kept in the plan so that a refusal restores the caller's order.
    BatchPlan plan = plan_batches(reads, m_block_size);
    const auto build_messages = [&](const std::string& connection_id) {
        try {
            return create_plan_messages(plan, connection_id);
        } catch (...) {
            // Nothing was queued: the caller gets every read back, in its order.
            put_reads_back(plan, reads);
            throw;
        }
    };
    // As for one read, room is waited for before building as well as after. This path writes no
    // trace text of its own apart from its scope.
    const auto deadline = deadline_after(timeout_ms);
    std::string built_for;
    {
        Lock lock(m_mutex);
        if (!plan_admitted(lock, plan, deadline, why)) {
            put_reads_back(plan, reads);
            return false;
        }
        built_for = m_connection_id;
    }
    PlanMessages messages = build_messages(built_for);

    Lock lock(m_mutex);
    if (!plan_admitted(lock, plan, deadline, why)) {
        put_reads_back(plan, reads);
        return false;
    }
    if (built_for != m_connection_id) {
        // A reconnection came between building and queueing (see testable_queue_read).
        messages = build_messages(m_connection_id);
    }
    queue_plan(plan, messages);
    why.reason = QueueRefusal::Reason::none;
    lock.unlock();
    m_reads_arrived.notify_one();
    return true;
}

ReadBuffer::PlanMessages ReadBuffer::create_plan_messages(const BatchPlan& plan,
                                                          const std::string& connection_id) const {
    PlanMessages messages;
    messages.singles.reserve(plan.singles.size());
    for (const auto& single : plan.singles) {
        messages.singles.push_back(create_read_messages(*single.second, connection_id));
    }
    messages.batches.reserve(plan.batches.size());
    for (const auto& batch : plan.batches) {
        messages.batches.push_back(create_reads_message(batch, connection_id));
    }
    return messages;
}

QueueRefusal ReadBuffer::first_tag_in_flight(const BatchPlan& plan) const {
    const auto refusal_of = [this](const PositionedRead& read) {
        return QueueRefusal{tag_refusal(read.second->read_tag), read.second->read_tag};
    };
    for (const auto& single : plan.singles) {
        if (const auto why = refusal_of(single); why.reason != QueueRefusal::Reason::none) {
            return why;
        }
    }
    for (const auto& batch : plan.batches) {
        for (const auto& read : batch) {
            if (const auto why = refusal_of(read); why.reason != QueueRefusal::Reason::none) {
                return why;
            }
        }
    }
    return QueueRefusal{QueueRefusal::Reason::no_room, 0};
}

bool ReadBuffer::plan_admitted(Lock& lock, const BatchPlan& plan, Deadline deadline, QueueRefusal& why) {
    const QueueRefusal in_flight = first_tag_in_flight(plan);
    if (in_flight.reason != QueueRefusal::Reason::no_room) {
        why = in_flight;
        return false;
    }
    why.reason = QueueRefusal::Reason::no_room;
    return !m_no_more_data && wait_for_room(lock, deadline, nullptr) == WaitOutcome::room;
}

void ReadBuffer::queue_plan(BatchPlan& plan, PlanMessages& messages) {
    for (std::size_t i = 0; i < plan.singles.size(); ++i) {
        take_tag(plan.singles[i].second->read_tag);
        queue_read_impl(ReadRecord(std::move(plan.singles[i].second)), messages.singles[i]);
    }
    for (std::size_t i = 0; i < plan.batches.size(); ++i) {
        std::vector<ReadRecord> group;
        group.reserve(plan.batches[i].size());
        for (auto& read : plan.batches[i]) {
            take_tag(read.second->read_tag);
            group.emplace_back(std::move(read.second));
        }
        queue_reads_impl(group, messages.batches[i]);
    }
}

void ReadBuffer::queue_read_impl(ReadRecord read, std::vector<ipc_tools::Message>& messages) {
    if (messages.empty()) {
        // A read without samples has no block to send (one that travelled in a batch and is
        // requeued alone, say): as a group of no messages it would end the worker.
        give_back_uncalled(std::move(read), "Read without samples returned uncalled.");
        return;
    }
    QueuedGroup group;
    group.reads.push_back(std::move(read));
    group.messages = std::move(messages);
    m_queued_reads.push_back(std::move(group));
    ++m_num_queued_reads;
    write_counter("queue_read_impl", QUEUED, m_num_queued_reads);
}

void ReadBuffer::queue_reads_impl(std::vector<ReadRecord>& reads, ipc_tools::Message& message) {
    QueuedGroup group;
    m_num_queued_reads += reads.size();
    group.reads = std::move(reads);
    group.messages.push_back(std::move(message));
    m_queued_reads.push_back(std::move(group));
    write_counter("queue_reads_impl", QUEUED, m_num_queued_reads);
}

std::uint64_t ReadBuffer::num_waiting_producers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_num_queue_read_waiting_threads;
}

unsigned long ReadBuffer::num_reads_out() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reads_out.size();
}

void ReadBuffer::get_reads_out(interfaces::ReadList& reads) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_reads_out.empty()) {
        return;
    }
    for (auto& read : m_reads_out) {
        validate_and_trace_metadata(*read, "Read being returned from basecall client.");
        if (read->sub_tag == 0) {
            m_tags_in_flight.erase(wire_tag(read->read_tag));
        }
    }
    write_counter("get_reads_out", COMPLETED, m_reads_out.size());
    reads.splice(reads.end(), m_reads_out);
}

void ReadBuffer::adopt_reads_out(interfaces::ReadList& reads) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& read : reads) {
        if (read->sub_tag == 0) {
            take_tag(read->read_tag);
        }
    }
    m_reads_out.splice(m_reads_out.begin(), reads);
}

void ReadBuffer::wait_for_reads(std::chrono::milliseconds timeout) {
    Lock lock(m_mutex);
    m_reads_arrived.wait_for(lock, timeout, [this] {
        return m_num_queued_reads > 0 || !m_submitted_reads.empty() || std::exchange(m_worker_woken, false);
    });
}

bool ReadBuffer::wait_for_queued_reads(std::chrono::microseconds timeout) {
    Lock lock(m_mutex);
    return m_reads_arrived.wait_for(lock, timeout,
                                    [this] { return m_num_queued_reads > 0 || std::exchange(m_worker_woken, false); });
}

bool ReadBuffer::wait_for_newly_queued_reads(std::chrono::microseconds timeout) {
    Lock lock(m_mutex);
    const std::uint64_t already_queued = m_num_queued_reads;
    return m_reads_arrived.wait_for(lock, timeout, [this, already_queued] {
        return m_num_queued_reads > already_queued || std::exchange(m_worker_woken, false);
    });
}

bool ReadBuffer::wait_for_wake(std::chrono::microseconds timeout) {
    Lock lock(m_mutex);
    return m_reads_arrived.wait_for(lock, timeout, [this] { return std::exchange(m_worker_woken, false); });
}

void ReadBuffer::wake_worker() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_worker_woken = true;
    }
    m_reads_arrived.notify_one();
}

unsigned long ReadBuffer::num_queued_reads() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_num_queued_reads;
}

unsigned long ReadBuffer::num_submitted_reads() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_submitted_reads.size();
}

std::vector<ipc_tools::Message>& ReadBuffer::next_read_messages() {
    // Only the worker removes groups, so the front entry outlives the lock.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queued_reads.empty()) {
        throw std::out_of_range("No read messages are queued.");
    }
    return m_queued_reads.front().messages;
}

void ReadBuffer::reads_submitted(RoomNotice notice) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queued_reads.empty()) {
            return;
        }
        // A producer waits for room with the lock held until it sleeps, so one counted here is
        // already asleep. While the queue stays full (a pass_reads list queues past the limit)
        // waking it only sends it back to sleep, at the cost of a wake-up on the worker's time.
        const bool room_for_a_waiter =
                m_num_queue_read_waiting_threads > 0 && m_queued_reads.size() <= m_max_input_queue_size;
        for (auto& read : m_queued_reads.front().reads) {
            const std::uint64_t tag = read.tag();
            m_submitted_reads.insert_or_assign(tag, std::move(read));
            --m_num_queued_reads;
        }
        m_queued_reads.pop_front();
        write_counter("reads_submitted", QUEUED, m_num_queued_reads);
        write_counter("reads_submitted", SUBMITTED, m_submitted_reads.size());
        if (!room_for_a_waiter) {
            return;
        }
    }
    if (notice == RoomNotice::deferred) {
        m_room_to_announce.store(true, std::memory_order_release);
        return;
    }
    m_input_queue_event.notify_all();
}

void ReadBuffer::announce_room() {
    if (m_room_to_announce.exchange(false, std::memory_order_acq_rel)) {
        m_input_queue_event.notify_all();
    }
}

ReadHolder* ReadBuffer::get_submitted_read_holder(unsigned long long read_tag) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_submitted_reads.find(read_tag);
    return found == m_submitted_reads.end() ? nullptr : &found->second.read();
}

ReadHolder* ReadBuffer::results_of(unsigned long long read_tag) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_submitted_reads.find(read_tag);
    return found == m_submitted_reads.end() ? nullptr : &found->second.results();
}

ReadHolder ReadBuffer::make_sub_read(unsigned long long read_tag, unsigned long long sub_tag) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    ReadHolder sub_read;
    const auto found = m_submitted_reads.find(read_tag);
    if (found == m_submitted_reads.end()) {
        return sub_read;
    }
    const ReadHolder& parent = found->second.read();
    sub_read.read_tag = parent.read_tag;
    sub_read.priority = parent.priority;
    sub_read.metadata = parent.metadata;
    for (const auto& [id, view] : parent.datasets) {
        bass::data_wrappers::DataView copy;
        copy.copy_data(view);
        copy.m_info = view.m_info;
        copy.m_metadata = view.m_metadata;
        sub_read.datasets.emplace(id, std::move(copy));
    }
    sub_read.sub_tag = sub_tag;
    sub_read.shared_data = parent.shared_data;
    return sub_read;
}

void ReadBuffer::drop_unparented_sub_reads(std::uint64_t read_tag) {
    if (m_unparented_sub_reads.empty()) {
        return;
    }
    m_unparented_sub_reads.erase(
            m_unparented_sub_reads.lower_bound({read_tag, 0}),
            m_unparented_sub_reads.upper_bound({read_tag, std::numeric_limits<std::uint64_t>::max()}));
}

ReadHolder* ReadBuffer::add_temp_sub_read(ReadHolder& sub_read) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto parent = m_submitted_reads.find(sub_read.read_tag);
    if (parent != m_submitted_reads.end()) {
        return parent->second.add_sub_read(sub_read);
    }
    const SubReadKey key{sub_read.read_tag, sub_read.sub_tag};
    auto found = m_unparented_sub_reads.find(key);
    if (found == m_unparented_sub_reads.end()) {
        found = m_unparented_sub_reads.emplace(key, std::make_unique<ReadHolder>(std::move(sub_read))).first;
    }
    return found->second.get();
}

void ReadBuffer::read_retrieved(unsigned long long read_tag) {
    std::lock_guard<std::mutex> lock(m_mutex);
    read_retrieved_impl(read_tag);
}

void ReadBuffer::sub_read_retrieved(unsigned long long read_tag, unsigned long long sub_tag) {
    std::lock_guard<std::mutex> lock(m_mutex);
    sub_read_retrieved_impl(read_tag, sub_tag);
}

void ReadBuffer::reads_retrieved(const std::vector<ReadHolder*>& reads) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto* read : reads) {
        if (read->sub_tag != 0) {
            sub_read_retrieved_impl(read->read_tag, read->sub_tag);
        } else {
            read_retrieved_impl(read->read_tag);
        }
    }
}

void ReadBuffer::read_retrieved_impl(std::uint64_t read_tag) {
    const auto found = m_submitted_reads.find(read_tag);
    if (found == m_submitted_reads.end()) {
        throw std::out_of_range("No read with tag " + std::to_string(read_tag) + " is awaiting its result.");
    }
    ReadRecord& record = found->second;
    // Sub-reads still being filled are completed later in the same batch, without their parent.
    for (auto& filling : record.release_sub_reads_being_filled()) {
        m_unparented_sub_reads.try_emplace({read_tag, filling.first}, std::move(filling.second));
    }
    m_reads_out.push_back(record.take_called());
    validate_and_trace_metadata(*m_reads_out.back(), "Read returned from server, placing on output queue.");
    record.take_parked_sub_reads(m_reads_out);
    m_submitted_reads.erase(found);
    write_counter("read_retrieved_impl", SUBMITTED, m_submitted_reads.size());
    write_counter("read_retrieved_impl", OUTPUT, m_reads_out.size());
}

void ReadBuffer::sub_read_retrieved_impl(std::uint64_t read_tag, std::uint64_t sub_tag) {
    const auto parent = m_submitted_reads.find(read_tag);
    std::unique_ptr<ReadHolder> sub_read;
    if (parent != m_submitted_reads.end()) {
        sub_read = parent->second.take_sub_read(sub_tag);
    }
    if (!sub_read) {
        const auto found = m_unparented_sub_reads.find({read_tag, sub_tag});
        if (found == m_unparented_sub_reads.end()) {
            return;
        }
        sub_read = std::move(found->second);
        m_unparented_sub_reads.erase(found);
    }
    validate_and_trace_metadata(*sub_read, "Sub read, with sub_tag: " + std::to_string(sub_tag) +
                                                   ", returned from server, placing on output queue.");
    if (parent != m_submitted_reads.end()) {
        parent->second.park_sub_read(std::move(sub_read));
    } else {
        // Its parent has already left (a completed batch lists a read before its sub-reads):
        // parked, it would never be delivered.
        m_reads_out.push_back(std::move(sub_read));
        write_counter("sub_read_retrieved_impl", OUTPUT, m_reads_out.size());
    }
}

void ReadBuffer::give_back_uncalled(ReadRecord read, const char* context) {
    const std::uint64_t tag = read.tag();
    // Sub-reads still being filled are incomplete; those already complete go with their parent.
    m_reads_out.push_back(read.take_uncalled());
    validate_and_trace_metadata(*m_reads_out.back(), context);
    ++m_num_returned_uncalled;
    drop_unparented_sub_reads(tag);
    read.take_parked_sub_reads(m_reads_out);
    write_counter("give_back_uncalled", OUTPUT, m_reads_out.size());
}

std::size_t ReadBuffer::clear_submitted_reads() {
    auto trace = create_trace("clear_submitted_reads");
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::size_t count = m_submitted_reads.size();
    for (auto& submitted : m_submitted_reads) {
        give_back_uncalled(std::move(submitted.second), "Read returned uncalled: lost on the server.");
    }
    m_submitted_reads.clear();
    return count;
}

std::size_t ReadBuffer::return_unfinished_reads() {
    auto trace = create_trace("return_unfinished_reads");
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<ReadRecord> queued = fetch_and_empty_input_queue();
    const std::size_t count = queued.size() + m_submitted_reads.size();
    for (auto& submitted : m_submitted_reads) {
        give_back_uncalled(std::move(submitted.second), "Read returned uncalled: the connection has ended.");
    }
    m_submitted_reads.clear();
    for (auto& read : queued) {
        give_back_uncalled(std::move(read), "Read returned uncalled: the connection has ended.");
    }
    trace.message([count] { return "reads returned: " + std::to_string(count); });
    return count;
}

std::uint64_t ReadBuffer::num_reads_returned_uncalled() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_num_returned_uncalled;
}

std::vector<ReadRecord> ReadBuffer::fetch_and_empty_input_queue() {
    std::vector<ReadRecord> reads;
    reads.reserve(m_num_queued_reads);
    for (auto& group : m_queued_reads) {
        for (auto& read : group.reads) {
            reads.push_back(std::move(read));
        }
    }
    m_queued_reads.clear();
    m_num_queued_reads = 0;
    return reads;
}

std::vector<ReadRecord> ReadBuffer::fetch_and_empty_submitted_reads(bool& within_limit) {
    auto trace = create_trace("fetch_and_empty_submitted_reads");
    within_limit = true;
    std::vector<ReadRecord> reads;
    reads.reserve(m_submitted_reads.size());
    for (auto& submitted : m_submitted_reads) {
        if (submitted.second.count_failure() > m_max_read_failures) {
            within_limit = false;
        }
        reads.push_back(std::move(submitted.second));
    }
    m_submitted_reads.clear();
    return reads;
}

void ReadBuffer::requeue_reads(std::vector<ReadRecord>& reads) {
    for (auto& read : reads) {
        // Results and sub-reads of the failed call would stand beside those of the new one.
        read.reset_call();
        drop_unparented_sub_reads(read.tag());
        std::vector<ipc_tools::Message> messages;
        try {
            messages = create_read_messages(read.read(), m_connection_id);
        } catch (const std::exception& error) {
            // It was built once already; should it fail now, the caller still gets the read back.
            create_trace("requeue_reads").message(std::string("cannot rebuild read messages: ") + error.what());
            give_back_uncalled(std::move(read), "Read returned uncalled: its messages could not be rebuilt.");
            continue;
        }
        validate_and_trace_metadata(read.read(), "Requeued read following successful (re)connection.");
        queue_read_impl(std::move(read), messages);
    }
    reads.clear();
}

void ReadBuffer::set_connection_id(std::string connection_id) {
    auto trace = create_timed_trace("set_connection_id");
    trace.message(connection_id);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection_id = std::move(connection_id);

    std::vector<ReadRecord> queued = fetch_and_empty_input_queue();
    bool within_limit = true;
    std::vector<ReadRecord> submitted = fetch_and_empty_submitted_reads(within_limit);

    const auto total = (within_limit ? submitted.size() : 0) + queued.size();
    trace.message([total] { return "requeuing reads, total: " + std::to_string(total); });

    // Sub-reads being filled belonged to the old connection's replies; they are called anew.
    m_unparented_sub_reads.clear();
    if (within_limit) {
        requeue_reads(submitted);
    } else {
        for (auto& read : submitted) {
            give_back_uncalled(std::move(read), "Read skipped due to repeated server failures.");
        }
        // Once the limit trips every count starts again, those of the reads still queued included.
        for (auto& read : queued) {
            read.forget_failures();
        }
    }
    requeue_reads(queued);
}

void ReadBuffer::set_no_more_data() {
    auto trace = create_trace("set_no_more_data");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_no_more_data = true;
    }
    m_input_queue_event.notify_all();
}

bool ReadBuffer::all_reads_processed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_submitted_reads.empty() && m_queued_reads.empty();
}

void ReadBuffer::report_state(common::diagnostics::state::StateLogger& logger) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    using u64 = unsigned long long;
    logger.log("m_queued_reads (awaiting pushing to server)", static_cast<u64>(m_num_queued_reads));
    logger.log("m_message_queue_in (awaiting sending to server)", static_cast<u64>(m_queued_reads.size()));
    logger.log("m_submitted_reads (pushed to server not yet pulled)", static_cast<u64>(m_submitted_reads.size()));
    logger.log("m_reads_out (output queue of reads from server)", static_cast<u64>(m_reads_out.size()));
    logger.log("m_max_input_queue_size", static_cast<u64>(m_max_input_queue_size));
    logger.log("m_block_size ", static_cast<u64>(m_block_size));
    logger.log("m_connection_id ", m_connection_id);
}

void ReadBuffer::validate_and_trace_metadata(ReadHolder& read, const std::string& context) {
    const auto& trace_context = ValidationTrace::get_hftrace_context();
    if (!trace_context->is_active()) {
        return;
    }
    const auto& metadata = read.metadata;
    const bool has_arrangement = metadata.exists("barcode_arrangement");
    for (const auto& key : barcode_dependent_keys()) {
        if (metadata.exists(key) == has_arrangement) {
            continue;
        }
        const auto count = ++message_count();
        std::string text = context;
        text += has_arrangement
                        ? " Missing metadata key, barcode_arrangement is present but " + key + " is missing."
                        : " Unexpected metadata key, barcode_arrangement is missing but " + key + " is present.";
        const std::string* read_id = nullptr;
        text += " Read ID: ";
        text += metadata.extract<std::string>("read_id", read_id) && read_id != nullptr ? *read_id : "unknown";
        text += ", Read tag: " + std::to_string(read.read_tag);
        text += ", failed validation count: " + std::to_string(count);
        trace_context->write_message("validate_and_trace_metadata", text);
        return;
    }
}

}  // namespace basecall_service
