#include "basecall_client/read_processing_protocol.h"

#include "basecall_client/called_read_decoder.h"
#include "basecall_client/read_buffer.h"
#include "basecall_client/request_broker_adapter.h"
#include "common/contract.h"
#include "common/logger.h"
#include "ipc_tools/awake_poll.h"
#include "ipc_tools/called_block_options.h"
#include "ipc_tools/message.h"
#include "ipc_tools/message_type.h"

#include <sched.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace basecall_service {

namespace {

constexpr const char* SOURCE_FILE = "basecall_client/read_processing_protocol";

// batch_type of a RETURN_COMPLETED_BATCH reply.
constexpr std::uint32_t COMPLETED_BATCH_TYPE = 1;

// How long an idle loop sleeps between looks at a stop request and the heartbeat. A read queued
// meanwhile wakes it at once, so the pause delays no read; a short one only costs an idle client
// a wake-up every millisecond, which a process of a hundred idle clients pays a core for.
constexpr std::chrono::milliseconds IDLE_PAUSE{20};

const std::string INCORRECT_BATCH_TEXT = "Failed to pull from server, incorrectly formed read batch.";

// The read tag the trace and error texts name for a message group: the first read of a batch, or
// the read whose blocks the group holds.
unsigned long long group_read_tag(const std::vector<ipc_tools::Message>& messages, bool is_batch) {
    const auto* data = messages.front().get_message_data();
    if (is_batch) {
        const auto* batch = data->content_as_ReadBatchData();
        if (batch != nullptr && batch->read_blocks() != nullptr && batch->read_blocks()->size() > 0) {
            return batch->read_blocks()->Get(0)->read_tag();
        }
        return 0;
    }
    const auto* block = data->content_as_ReadBlockData();
    return block != nullptr ? block->read_tag() : 0;
}

std::uint32_t simple_reply_value(const ipc_tools::Message& reply) {
    const auto* simple = reply.get_message_data()->content_as_SimpleReplyData();
    return simple != nullptr ? simple->value() : 0U;
}

}  // namespace

void PullPacer::attach(ReadBuffer& buffer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_buffer = &buffer;
    m_last_progress = Clock::now();
    m_pause = first_pause;
    m_pause_due = false;
    m_push_refused = false;
    m_retry_at.reset();
    m_retry_backoff = first_pause;
    m_refused_again = false;
    m_pull_idle = false;
    m_push_idle = false;
}

void PullPacer::detach() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_buffer = nullptr;
}

bool PullPacer::just_progressed() const {
    return Clock::now() - m_last_progress < progress_pause_ratio * shortest_pause;
}

std::chrono::microseconds PullPacer::pause_while_out() const {
    const auto since = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m_last_progress);
    return std::min<std::chrono::microseconds>(first_pause, since / progress_pause_ratio);
}

void PullPacer::push_refused(bool reads_on_server) {
    m_pause_due = true;
    // While the pull's pause is below its ceiling the server made progress lately, and room may free
    // any moment (a read's call ending): the group goes again with the next pull, pass by pass.
    // Only a server that has made no progress for a while sees the back-off, which keeps a loop
    // that can have nothing under its request ceiling.
    const bool progressing = reads_on_server && pause_while_out() < first_pause;
    m_refused_again = m_push_refused && reads_on_server && !progressing;
    m_push_refused = true;
    m_push_idle = true;
    if (progressing) {
        m_retry_at = Clock::now();
    } else if (reads_on_server) {
        m_retry_at = Clock::now() + m_retry_backoff;
        m_retry_backoff = std::min(2 * m_retry_backoff, longest_pause);
    }
}

bool PullPacer::push_due(bool reads_on_server) const {
    // With nothing on the server no read will come back to say that room freed: the pause paces it.
    // Just after progress the loop does not pause, and room often frees then: offering the group
    // each pass costs no more than the pulls between.
    return !reads_on_server || !m_retry_at || Clock::now() >= *m_retry_at || just_progressed();
}

void PullPacer::read_returned() {
    m_pause = first_pause;
    m_pause_due = false;
    push_accepted();
    m_refused_again = false;
    m_pull_idle = false;
}

void PullPacer::push_accepted() {
    m_last_progress = Clock::now();
    m_push_refused = false;
    m_push_idle = false;
    m_retry_at.reset();
    m_retry_backoff = first_pause;
}

void PullPacer::pause_if_due(bool reads_on_server) {
    m_refused_again = false;
    if (!m_pause_due) {
        return;
    }
    m_pause_due = false;
    // Only the worker sets the pointer, so it reads it without the lock.
    if (reads_on_server) {
        const auto pause = pause_while_out();
        if (pause < shortest_pause) {
            return;  // shorter than a wake-up takes
        }
        // Reads queued behind a refused group cannot go before it: only a wake ends that pause.
        if (m_push_refused) {
            m_buffer->wait_for_wake(pause);
        } else {
            m_buffer->wait_for_queued_reads(pause);
        }
        return;
    }
    const bool woken = std::exchange(m_push_refused, false) ? m_buffer->wait_for_newly_queued_reads(m_pause)
                                                            : m_buffer->wait_for_queued_reads(m_pause);
    if (!woken) {
        m_pause = std::min(2 * m_pause, longest_pause);
    }
}

void PullPacer::wake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_buffer != nullptr) {
        m_buffer->wake_worker();
    }
}

ReadProcessingProtocol::ReadProcessingProtocol() { auto trace = create_trace("ReadProcessingProtocol"); }

ReadProcessingProtocol::~ReadProcessingProtocol() { auto trace = create_trace("~ReadProcessingProtocol"); }

void ReadProcessingProtocol::set_connection_id(std::string id) {
    get_trace_context()->write_message("set_connection_id", id);
    m_connection_id = std::move(id);
    m_bounded_read_warning.new_connection();
    // A declared end of input stays declared: the new connection is told again, since a server
    // may hold reads until it hears it.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_no_more_data_sent_for = 0;
}

void ReadProcessingProtocol::set_disable_events(bool disable_events) {
    get_trace_context()->write_message("set_disable_events", disable_events ? "1" : "0");
    m_disable_events = disable_events;
}

void ReadProcessingProtocol::set_pull_state_data(bool pull_state_data) {
    get_trace_context()->write_message("set_pull_state_data", pull_state_data ? "1" : "0");
    m_pull_state_data = pull_state_data;
}

void ReadProcessingProtocol::set_no_more_data() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_no_more_data_declarations;
    }
    m_pacer.wake();
}

bool ReadProcessingProtocol::no_more_data_pending() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_no_more_data_declarations != 0 && m_no_more_data_sent_for != m_no_more_data_declarations;
}

void ReadProcessingProtocol::stop() {
    auto trace = create_trace("stop");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_pacer.wake();
}

bool ReadProcessingProtocol::keep_alive() const { return !stop_requested(); }

bool ReadProcessingProtocol::stop_requested() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

std::uint32_t ReadProcessingProtocol::called_block_options() const {
    using namespace ipc_tools::called_block_option;
    return (m_disable_events ? disable_events : 0U) | (m_pull_state_data ? pull_state_data : 0U);
}

ErrorState ReadProcessingProtocol::process_reads(ReadBuffer* read_buffer, RequestBrokerAdapter* request_broker) {
    COMMON_CONTRACT_CHECK_AT(!m_connection_id.empty(), "process_reads requires valid connection id", SOURCE_FILE, 63);
    COMMON_CONTRACT_CHECK_AT(request_broker != nullptr, "process_reads requires valid request_broker", SOURCE_FILE, 64);
    COMMON_CONTRACT_CHECK_AT(read_buffer != nullptr, "process_reads requires valid read_buffer", SOURCE_FILE, 65);

    auto trace = create_trace("process_reads");
    m_read_buffer = read_buffer;
    m_error_state = ErrorState{};

    m_push_in_flight = false;
    m_no_more_data_due_at.reset();
    m_pacer.attach(*read_buffer);
    // However the loop ends, the pacer lets go of the buffer and a slot freed by the last push is
    // announced.
    struct LoopEnd {
        ReadBuffer& buffer;
        PullPacer& pacer;
        ~LoopEnd() {
            pacer.detach();
            buffer.announce_room();
        }
    } const loop_end{*read_buffer, m_pacer};

    while (true) {
        if (m_push_in_flight) {
            // This pass's push went out while the last pull was decoded.
            if (!finish_push(request_broker)) {
                break;
            }
        } else {
            if (stop_requested()) {
                break;
            }
            if (!request_broker->ping_server_if_quiet(m_connection_id)) {
                m_error_state = request_broker->error_state();
                break;
            }
            if (m_read_buffer->num_queued_reads() == 0 && m_read_buffer->num_submitted_reads() == 0) {
                m_read_buffer->wait_for_reads(IDLE_PAUSE);
                continue;
            }
            if (m_read_buffer->num_queued_reads() > 0 && m_pacer.push_due(m_read_buffer->num_submitted_reads() > 0) &&
                !push_into_server(request_broker)) {
                break;
            }
        }
        if (m_read_buffer->num_submitted_reads() > 0 && !m_pacer.pull_deferred() && !pull_from_server(request_broker)) {
            break;
        }
        if (m_read_buffer->num_queued_reads() != 0) {
            m_no_more_data_due_at.reset();
        } else if (no_more_data_pending() && no_more_data_due() && !send_no_more_data(request_broker)) {
            break;
        }
        m_pacer.pause_if_due(m_read_buffer->num_submitted_reads() > 0);
    }
    settle_early_push(request_broker);

    trace.message(to_string(m_error_state));
    return m_error_state;
}

bool ReadProcessingProtocol::push_into_server(RequestBrokerAdapter* request_broker) {
    COMMON_CONTRACT_CHECK_AT(m_read_buffer->num_queued_reads() > 0, "", SOURCE_FILE, 107);
    return start_push(request_broker) && finish_push(request_broker);
}

bool ReadProcessingProtocol::start_push(RequestBrokerAdapter* request_broker) {
    std::vector<ipc_tools::Message>& messages = m_read_buffer->next_read_messages();
    if (messages.empty()) {
        // Nothing could be sent for these reads; failing loudly beats leaving them in flight for ever.
        m_error_state = {ConnectionError::failed, "Failed to push to server, queued read has no messages to send."};
        return false;
    }
    // The first message stays queued until accepted, so a NOT_READY can offer it again.
    ipc_tools::Message first_copy = messages.front().copy();
    if (m_pacer.push_idle()) {
        request_broker->expect_slow_reply(first_copy.get_type());
    }
    if (!request_broker->start_request(first_copy)) {
        m_error_state = request_broker->error_state();
        m_read_buffer->push_failed();
        return false;
    }
    m_push_in_flight = true;
    return true;
}

bool ReadProcessingProtocol::finish_push(RequestBrokerAdapter* request_broker) {
    auto trace = create_hftrace("push_into_server");
    m_push_in_flight = false;
    std::vector<ipc_tools::Message>& messages = m_read_buffer->next_read_messages();
    const bool is_batch = messages.size() == 1 && messages.front().get_type() == ipc_tools::PASS_READ_BATCH;
    // Reading the tag verifies the whole frame again: done only for a trace line or an error text.
    const auto tag = [&messages, is_batch] { return std::to_string(group_read_tag(messages, is_batch)); };
    trace.message([&] { return (is_batch ? "first read_tag for batch: " : "read_tag: ") + tag(); });

    for (std::size_t index = 0; index < messages.size(); ++index) {
        ipc_tools::Message reply;
        const bool answered = index == 0 ? request_broker->finish_request(reply)
                                         : request_broker->send_request(messages[index], reply);
        if (!answered) {
            m_error_state = request_broker->error_state();
            // Counted as a failure of the reads it carried, as a pull that fails is: a read whose
            // push brings the server down would otherwise be sent again at every reconnection.
            m_read_buffer->push_failed();
            return false;
        }
        const ipc_tools::MessageType reply_type = reply.get_type();
        if (reply_type == ipc_tools::NOT_READY) {
            if (index == 0) {
                m_pacer.push_refused(m_read_buffer->num_submitted_reads() > 0);
                return true;
            }
            get_trace_context()->write_message("push_into_server", "Server rejected block: " + std::to_string(index));
            m_error_state = {
                    ConnectionError::bad_reply,
                    "Server accepted first block of read, but then rejected subsequent block for read: " + tag()};
            return false;
        }
        if (is_batch && reply_type != ipc_tools::BATCH_ACCEPTED) {
            m_error_state = {
                    ConnectionError::invalid_response,
                    "Failed to push to server, invalid reply: " + ipc_tools::message_type_as_string(reply_type) +
                            " from basecall server when passing read batch with first read: " + tag() +
                            ". Connection id: " + m_connection_id};
            return false;
        }
        if (!is_batch && reply_type != ipc_tools::RAW_BLOCK_ACCEPTED) {
            m_error_state = {
                    ConnectionError::invalid_response,
                    "Failed to push to server, invalid reply: " + ipc_tools::message_type_as_string(reply_type) +
                            " from basecall server when passing raw read data for read: " + tag() +
                            ". Connection id: " + m_connection_id};
            return false;
        }
    }
    // The producers waiting for this slot are woken once the pull that follows is on its way:
    // woken now, one would often take this thread's CPU before the pull is sent.
    m_read_buffer->reads_submitted(ReadBuffer::RoomNotice::deferred);
    m_pacer.push_accepted();
    return true;
}

bool ReadProcessingProtocol::start_next_push_early(RequestBrokerAdapter* request_broker,
                                                   const vexil_ipc::MessageData& reply) {
    const auto self_contained = [](const vexil_ipc::ReadBlockData* block) {
        return block == nullptr || block->num_blocks() <= 1;
    };
    if (const auto* block = reply.content_as_ReadBlockData()) {
        if (!self_contained(block)) {
            return true;  // its later blocks are fetched first
        }
    } else if (const auto* batch = reply.content_as_ReadBatchData()) {
        // An empty batch frees no room: the refused group waits for its back-off.
        if (batch->read_blocks() == nullptr || batch->read_blocks()->size() == 0 ||
            !std::all_of(batch->read_blocks()->begin(), batch->read_blocks()->end(), self_contained)) {
            return true;
        }
    }
    if (stop_requested() || m_read_buffer->num_queued_reads() == 0 || m_read_buffer->next_read_messages().empty()) {
        return true;  // the next pass decides
    }
    return start_push(request_broker);
}

void ReadProcessingProtocol::settle_early_push(RequestBrokerAdapter* request_broker) {
    if (!m_push_in_flight) {
        return;
    }
    m_push_in_flight = false;
    // The group stays queued: requeued at a reconnection or given back with the other reads.
    ipc_tools::Message reply;
    request_broker->finish_request(reply);
}

bool ReadProcessingProtocol::pull_from_server(RequestBrokerAdapter* request_broker) {
    ipc_tools::Message reply;
    if (!request_called_block(request_broker, reply)) {
        return false;
    }
    const ipc_tools::MessageType reply_type = reply.get_type();
    if (reply_type == ipc_tools::NONE_PENDING) {
        if (simple_reply_value(reply) == 1) {
            // The server will never return them: the caller gets them back uncalled.
            const std::size_t returned = m_read_buffer->clear_submitted_reads();
            ZEV_LOG(common::logging::warning)
                    << "One or more reads has been lost on the server. " << returned
                    << " read(s) returned uncalled. (server at " << request_broker->server_address() << ")";
        } else {
            m_pacer.nothing_pending();
        }
        return true;
    }

    auto trace = create_hftrace("pull_from_server");
    if ((reply_type == ipc_tools::RETURN_FIRST_CALLED_BLOCK || reply_type == ipc_tools::RETURN_COMPLETED_BATCH) &&
        !start_next_push_early(request_broker, *reply.get_message_data())) {
        return false;
    }
    if (reply_type == ipc_tools::RETURN_FIRST_CALLED_BLOCK) {
        return take_called_read(request_broker, reply);
    }
    if (reply_type == ipc_tools::RETURN_COMPLETED_BATCH) {
        return take_completed_batch(request_broker, reply);
    }
    return fail_pull("Failed to pull from server, invalid reply: " + ipc_tools::message_type_as_string(reply_type));
}

bool ReadProcessingProtocol::request_called_block(RequestBrokerAdapter* request_broker, ipc_tools::Message& reply) {
    ipc_tools::Message request(ipc_tools::GET_FIRST_CALLED_BLOCK, m_connection_id, called_block_options(), "");
    if (m_pacer.pull_idle()) {
        request_broker->expect_slow_reply(ipc_tools::GET_FIRST_CALLED_BLOCK);
    }
    if (!request_broker->start_request(request)) {
        m_error_state = request_broker->error_state();
        return false;
    }
    // A woken producer often takes this thread's CPU: now it only delays the wait for the reply.
    m_read_buffer->announce_room();
    if (!request_broker->finish_request(reply)) {
        m_error_state = request_broker->error_state();
        return false;
    }
    return true;
}

bool ReadProcessingProtocol::fail_pull(const std::string& text) {
    m_error_state = {ConnectionError::invalid_response, text};
    get_trace_context()->write_message("pull_from_server", text);
    return false;
}

bool ReadProcessingProtocol::take_called_read(RequestBrokerAdapter* request_broker, const ipc_tools::Message& reply) {
    const auto* block = reply.get_message_data()->content_as_ReadBlockData();
    if (block == nullptr) {
        return fail_pull("Failed to pull from server, invalid reply: " +
                         ipc_tools::message_type_as_string(reply.get_type()));
    }
    interfaces::ReadHolder* holder = process_read_message(request_broker, block);
    if (holder == nullptr) {
        return false;
    }
    // The holder carries the read's full tag; the block carries only its low 32 bits.
    if (holder->sub_tag != 0) {
        m_read_buffer->sub_read_retrieved(holder->read_tag, holder->sub_tag);
    } else {
        m_read_buffer->read_retrieved(holder->read_tag);
    }
    m_pacer.read_returned();
    return true;
}

bool ReadProcessingProtocol::take_completed_batch(RequestBrokerAdapter* request_broker,
                                                  const ipc_tools::Message& reply) {
    const auto* batch = reply.get_message_data()->content_as_ReadBatchData();
    if (batch == nullptr || batch->batch_type() != COMPLETED_BATCH_TYPE) {
        return fail_pull(INCORRECT_BATCH_TEXT);
    }
    std::vector<interfaces::ReadHolder*> holders;
    // A batch without its list of reads is taken as an empty batch.
    if (const auto* blocks = batch->read_blocks()) {
        std::set<interfaces::ReadHolder*> seen;
        holders.reserve(blocks->size());
        for (const auto* block : *blocks) {
            // The push started before this batch is decoded is carried by the I/O thread, which
            // the scheduler often wakes on this thread's CPU. Giving the CPU up between reads
            // lets the push travel while the batch is decoded rather than after it. Only for a
            // client alone in its process: with others waiting for replies the CPU is wanted
            // anyway, and the call would only cost a system call per read.
            if (m_push_in_flight && ipc_tools::ReplyWaiter::waiting() == 0) {
                sched_yield();
            }
            interfaces::ReadHolder* holder = process_read_message(request_broker, block);
            if (holder == nullptr) {
                return fail_pull(INCORRECT_BATCH_TEXT);
            }
            // A batch naming one read twice would retrieve it twice: refuse it before any retrieval.
            if (!seen.insert(holder).second) {
                return fail_pull(INCORRECT_BATCH_TEXT);
            }
            holders.push_back(holder);
        }
    }
    try {
        m_read_buffer->reads_retrieved(holders);
    } catch (const std::out_of_range&) {
        return fail_pull(INCORRECT_BATCH_TEXT);
    }
    // An empty batch is the server's other way of saying that nothing is ready.
    if (holders.empty()) {
        m_pacer.nothing_pending();
    } else {
        m_pacer.read_returned();
    }
    return true;
}

bool ReadProcessingProtocol::no_more_data_due() {
    if (m_read_buffer->num_submitted_reads() == 0) {
        return true;
    }
    // The pause is waited out by the passes themselves, which go on pulling meanwhile: a server that
    // is still calling reads must not have them held back on its side for the whole pause.
    const auto now = std::chrono::steady_clock::now();
    if (!m_no_more_data_due_at) {
        m_no_more_data_due_at = now + m_no_more_data_pause;
    }
    return now >= *m_no_more_data_due_at;
}

bool ReadProcessingProtocol::send_no_more_data(RequestBrokerAdapter* request_broker) {
    auto trace = create_trace("send_no_more_data");
    // A declaration made while this one is on its way is answered by a later message.
    std::uint64_t declarations = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        declarations = m_no_more_data_declarations;
    }
    if (stop_requested()) {
        return true;  // a caller who is ending the connection no longer needs it sent
    }
    m_no_more_data_due_at.reset();
    ipc_tools::Message request(ipc_tools::NO_MORE_DATA, m_connection_id, 0, "");
    ipc_tools::Message reply;
    if (!request_broker->send_request(request, reply)) {
        m_error_state = request_broker->error_state();
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_no_more_data_sent_for = declarations;
    return true;
}

interfaces::ReadHolder* ReadProcessingProtocol::process_read_message(RequestBrokerAdapter* request_broker,
                                                                     const vexil_ipc::ReadBlockData* block) {
    const CalledReadOptions options{m_disable_events, m_pull_state_data, m_connection_id};
    return decode_called_read(*m_read_buffer, *request_broker, options, m_error_state, get_trace_context(),
                              m_bounded_read_warning, block);
}

}  // namespace basecall_service
