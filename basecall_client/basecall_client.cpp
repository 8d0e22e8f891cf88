#include "basecall_client/basecall_client.h"

#include "basecall_client/connection_protocol.h"
#include "basecall_client/read_buffer.h"
#include "basecall_client/read_processing_protocol.h"
#include "basecall_client/request_broker_adapter.h"
#include "common/logger.h"
#include "common/process_utils.h"
#include "ipc_tools/request_broker.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>

namespace basecall_service {

namespace {

// An error of a connection names its server, as time-outs do: a process may talk to several.
ErrorState naming_server(ErrorState error, const std::string& endpoint) {
    if (error.message.find(endpoint) == std::string::npos) {
        error.message += " (server at " + endpoint + ")";
    }
    return error;
}

constexpr std::chrono::milliseconds FINISH_POLL_INTERVAL{100};
// Handshakes are tried at least this far apart: with a request time-out of 0 ms a failed attempt
// takes microseconds, and retrying at once would keep a CPU busy for the whole reconnect window.
constexpr std::chrono::milliseconds MIN_HANDSHAKE_INTERVAL{100};
constexpr std::chrono::milliseconds STOP_CHECK_INTERVAL{10};

// Declares the end of input on a buffer whatever way its scope is left.
class NoMoreDataGuard {
public:
    explicit NoMoreDataGuard(std::shared_ptr<ReadBuffer> buffer) : m_buffer(std::move(buffer)) {}
    ~NoMoreDataGuard() {
        if (m_buffer) {
            m_buffer->set_no_more_data();
        }
    }
    NoMoreDataGuard(const NoMoreDataGuard&) = delete;
    NoMoreDataGuard& operator=(const NoMoreDataGuard&) = delete;

private:
    std::shared_ptr<ReadBuffer> m_buffer;
};

}  // namespace

std::string to_string(PassReadResult result) {
    switch (result) {
        case PassReadResult::success:
            return "success";
        case PassReadResult::not_accepting_reads:
            return "not_accepting_reads";
        case PassReadResult::queue_full:
            return "queue_full";
        case PassReadResult::bad_read:
            return "bad_read";
    }
    throw std::runtime_error("unrecognised PassReadResult");
}

std::ostream& operator<<(std::ostream& os, PassReadResult result) { return os << to_string(result); }

BasecallClient::BasecallClient(unsigned long block_size, unsigned long max_input_queue_size,
                               unsigned long max_read_failures, bool disable_events, bool pull_state_data,
                               ThreadHook thread_hook)
    : m_connection_protocol(std::make_shared<ConnectionProtocol>(m_client_connection_state)),
      m_read_buffer(std::make_shared<ReadBuffer>()),
      m_read_processing_protocol(std::make_shared<ReadProcessingProtocol>()),
      m_thread_hook(thread_hook),
      m_max_input_queue_size(max_input_queue_size),
      m_block_size(block_size),
      m_max_read_failures(max_read_failures) {
    auto trace = create_trace("BasecallClient");
    m_read_processing_protocol->set_disable_events(disable_events);
    m_read_processing_protocol->set_pull_state_data(pull_state_data);
}

BasecallClient::~BasecallClient() {
    auto trace = create_trace("~BasecallClient");
    join_worker_thread();
}

void BasecallClient::set_reconnect_timeout(std::chrono::seconds timeout) {
    get_trace_context()->write_message("set_reconnect_timeout", std::to_string(timeout.count()));
    m_reconnect_timeout.store(timeout.count());
}

void BasecallClient::connect(const std::string& address, unsigned int request_timeout_ms,
                             unsigned int file_load_timeout_s, ipc_tools::ConnectionInfo info) {
    auto trace = create_trace("connect");
    {
        std::lock_guard<std::mutex> lock(m_worker_mutex);
        if (m_worker_thread) {
            // One connection per object: a second worker would share the buffer and the protocols.
            trace.message("already connected once; ignored");
            return;
        }
        if (m_stop_requested.load()) {
            // Stopped before it started (its owner is going): nothing would join a worker started now.
            trace.message("stopped before connecting; ignored");
            return;
        }
        m_connection_info = std::move(info);
        m_server_file_load_timeout = file_load_timeout_s;
        m_request_timeout_ms.store(request_timeout_ms);
        connection_protocol()->set_connection_params(address, request_timeout_ms);
        m_server_endpoint = ipc_tools::server_endpoint(address);
        m_link_reporter.set_endpoint(m_server_endpoint);
        connection_protocol()->set_link_observer(&m_link_reporter);
        start_worker_thread();
    }
    std::unique_lock<std::mutex> lock(m_connect_mutex);
    m_connect_condition.wait(lock, [this] { return m_connect_settled; });
}

void BasecallClient::settle_connect() {
    {
        std::lock_guard<std::mutex> lock(m_connect_mutex);
        m_connect_settled = true;
    }
    m_connect_condition.notify_all();
}

void BasecallClient::start_worker_thread() {
    auto trace = create_trace("start_worker_thread");
    // The configured buffer exists before reads are accepted, so no read lands in a buffer that
    // the worker is about to replace.
    create_read_buffer();
    m_accept_data.store(true);
    m_worker_thread = std::make_unique<std::thread>(&BasecallClient::worker_loop, this, m_thread_hook);
}

std::shared_ptr<ReadBuffer> BasecallClient::create_read_buffer() {
    auto buffer = std::make_shared<ReadBuffer>();
    buffer->set_block_size(m_block_size);
    buffer->set_max_input_queue_size(m_max_input_queue_size);
    buffer->set_max_read_failures(m_max_read_failures);
    std::lock_guard<std::mutex> lock(m_read_buffer_mutex);
    // Reads adopted before the worker started move on with the output queue.
    interfaces::ReadList adopted;
    m_read_buffer->get_reads_out(adopted);
    buffer->adopt_reads_out(adopted);
    m_read_buffer = buffer;
    return buffer;
}

std::shared_ptr<ReadBuffer> BasecallClient::get_read_buffer() {
    std::lock_guard<std::mutex> lock(m_read_buffer_mutex);
    return m_read_buffer;
}

std::shared_ptr<const ReadBuffer> BasecallClient::get_read_buffer() const {
    std::lock_guard<std::mutex> lock(m_read_buffer_mutex);
    return m_read_buffer;
}

PassReadResult BasecallClient::pass_read(interfaces::ReadHolder& read, unsigned long timeout_ms,
                                         QueueRefusal* refusal) {
    auto trace = create_hftrace("pass_read");
    return pass_with([&](ReadBuffer& buffer, QueueRefusal& why) { return buffer.queue_read(read, timeout_ms, &why); },
                     refusal);
}

PassReadResult BasecallClient::pass_reads(ReadList& reads, unsigned long timeout_ms, QueueRefusal* refusal) {
    auto trace = create_hftrace("pass_reads");
    return pass_with([&](ReadBuffer& buffer, QueueRefusal& why) { return buffer.queue_reads(reads, timeout_ms, &why); },
                     refusal);
}

template <typename Queue>
PassReadResult BasecallClient::pass_with(Queue queue, QueueRefusal* refusal) {
    QueueRefusal ignored;
    QueueRefusal& why = refusal != nullptr ? *refusal : ignored;
    why = QueueRefusal{QueueRefusal::Reason::no_room, 0};
    const auto accepting = [this] {
        return m_accept_data.load() && m_client_connection_state.get_status() != ClientStatus::error;
    };
    if (!accepting()) {
        return PassReadResult::not_accepting_reads;
    }
    if (queue(*get_read_buffer(), why)) {
        return PassReadResult::success;
    }
    if (why.is_bad_read()) {
        return PassReadResult::bad_read;
    }
    return accepting() ? PassReadResult::queue_full : PassReadResult::not_accepting_reads;
}

bool BasecallClient::tag_in_flight(std::uint64_t read_tag) const { return get_read_buffer()->tag_in_flight(read_tag); }

unsigned long BasecallClient::num_completed_reads() const { return get_read_buffer()->num_reads_out(); }

void BasecallClient::get_completed_reads(ReadList& reads, interfaces::ReadPriority /*priority*/) {
    get_read_buffer()->get_reads_out(reads);
}

void BasecallClient::adopt_completed_reads(ReadList& reads) { get_read_buffer()->adopt_reads_out(reads); }

void BasecallClient::set_no_more_data() { read_processing_protocol()->set_no_more_data(); }

FinishOutcome BasecallClient::finish_by(unsigned long long seconds) {
    auto trace = create_trace("finish_by");
    const auto buffer = get_read_buffer();
    // The buffer's input closes before the end is declared and before polling starts: a read
    // passed concurrently is then either queued first (and waited for) or refused.
    m_accept_data.store(false);
    buffer->set_no_more_data();
    read_processing_protocol()->set_no_more_data();

    // Against a deadline, not a count of sleeps, whose overruns would add up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool out_of_time = false;
    while (true) {
        const ClientStatus status = m_client_connection_state.get_status();
        if (buffer->all_reads_processed() || status == ClientStatus::disconnected || status == ClientStatus::error) {
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (seconds != 0 && now >= deadline) {
            out_of_time = true;
            break;
        }
        std::this_thread::sleep_for(
                seconds == 0 ? FINISH_POLL_INTERVAL
                             : std::min<std::chrono::steady_clock::duration>(FINISH_POLL_INTERVAL, deadline - now));
    }
    // The goodbye's wait ends with the bound: the time-out plus one request time-out.
    std::optional<std::chrono::steady_clock::time_point> goodbye_by;
    if (seconds != 0) {
        goodbye_by = deadline + std::chrono::milliseconds(m_request_timeout_ms.load());
    }
    stop_worker(goodbye_by);
    if (!buffer->all_reads_processed()) {
        // Out of time (or ended): what is still queued or in flight goes back to the caller.
        const auto returned = buffer->return_unfinished_reads();
        trace.message([returned] { return "unfinished reads returned: " + std::to_string(returned); });
    }
    if (buffer->num_reads_returned_uncalled() != 0) {
        return out_of_time ? FinishOutcome::timed_out : FinishOutcome::failed;
    }
    const auto state = m_client_connection_state.create_snapshot();
    if (state->get_status() == ClientStatus::error) {
        if (get_connected_info().client_uid.empty()) {
            return FinishOutcome::failed;  // it never connected
        }
        ZEV_LOG(common::logging::warning) << "Every read came back called, but the connection then ended in error: "
                                          << to_string(state->get_error_state());
    }
    return FinishOutcome::success;
}

bool BasecallClient::connection_status_is_active() const {
    const ClientStatus status = m_client_connection_state.get_status();
    return status != ClientStatus::disconnected && status != ClientStatus::error;
}

void BasecallClient::disconnect() {
    auto trace = create_trace("disconnect");
    join_worker_thread();
    // What was still queued or in flight comes back uncalled, as after finish: the caller can
    // collect every read it passed.
    const auto returned = get_read_buffer()->return_unfinished_reads();
    trace.message([returned] { return "unfinished reads returned: " + std::to_string(returned); });
    m_client_connection_state.set_status_if(ClientStatus::error, ClientStatus::disconnected);
}

void BasecallClient::join_worker_thread() {
    m_leaving.store(true);
    stop_worker();
}

void BasecallClient::stop_worker(std::optional<std::chrono::steady_clock::time_point> goodbye_by) {
    auto trace = create_trace("join_worker_thread");
    m_accept_data.store(false);
    m_stop_requested.store(true);
    get_read_buffer()->set_no_more_data();
    read_processing_protocol()->stop();
    // A server that stopped answering must not hold the caller for the rest of a reply's wait.
    connection_protocol()->interrupt_waits(goodbye_by);
    // Whoever asks at once (two disconnects, finish with disconnect, the destructor), one joins.
    std::lock_guard<std::mutex> lock(m_worker_mutex);
    if (m_worker_thread && m_worker_thread->joinable()) {
        m_worker_thread->join();
    }
}

bool BasecallClient::has_server_config() const {
    std::lock_guard<std::mutex> lock(m_connected_info_mutex);
    return m_server_config_received;
}

ConfigDetails BasecallClient::get_basecalling_config() const {
    std::lock_guard<std::mutex> lock(m_connected_info_mutex);
    return m_config_details;
}

std::string BasecallClient::get_alignment_sam_header() const {
    std::lock_guard<std::mutex> lock(m_connected_info_mutex);
    return m_alignment_sam_header;
}

ipc_tools::ConnectedInfo BasecallClient::get_connected_info() const {
    std::lock_guard<std::mutex> lock(m_connected_info_mutex);
    return m_connected_info;
}

void BasecallClient::set_connection_protocol(std::shared_ptr<AbstractConnectionProtocol> protocol) {
    std::lock_guard<std::mutex> worker_lock(m_worker_mutex);
    if (m_worker_thread) {
        create_trace("set_connection_protocol").message("a worker has started; ignored");
        return;
    }
    std::lock_guard<std::mutex> lock(m_protocol_mutex);
    m_connection_protocol = std::move(protocol);
}

void BasecallClient::set_read_processing_protocol(std::shared_ptr<AbstractReadProcessingProtocol> protocol) {
    std::lock_guard<std::mutex> worker_lock(m_worker_mutex);
    if (m_worker_thread) {
        create_trace("set_read_processing_protocol").message("a worker has started; ignored");
        return;
    }
    std::lock_guard<std::mutex> lock(m_protocol_mutex);
    m_read_processing_protocol = std::move(protocol);
}

std::shared_ptr<AbstractConnectionProtocol> BasecallClient::connection_protocol() const {
    std::lock_guard<std::mutex> lock(m_protocol_mutex);
    return m_connection_protocol;
}

std::shared_ptr<AbstractReadProcessingProtocol> BasecallClient::read_processing_protocol() const {
    std::lock_guard<std::mutex> lock(m_protocol_mutex);
    return m_read_processing_protocol;
}

void BasecallClient::report_state(common::diagnostics::state::StateLogger& logger) const {
    logger.log("m_client_connection_state", to_string(m_client_connection_state.get_status()));
    logger.log("m_accept_data", m_accept_data.load());
    logger.log("m_max_read_failures", static_cast<unsigned long long>(m_max_read_failures));
    const auto buffer = get_read_buffer();
    const auto section = logger.create_child_section("ReadBuffer");
    buffer->report_state(logger);
}

std::chrono::steady_clock::time_point BasecallClient::calculate_reconnect_timeout_time(std::chrono::seconds timeout) {
    // The steady clock: a change of the wall clock neither cuts the window short nor stretches it.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    common::diagnostics::tracing::TraceDomain<ReadProcessingProtocol>::get_trace_context()->write_message(
            "calculate_reconnect_timeout_time", [deadline] {
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline.time_since_epoch());
                return "retry until (ms): " + std::to_string(ms.count());
            });
    return deadline;
}

void BasecallClient::worker_loop(ThreadHook hook) {
    bass::util::set_thread_name("client_worker");
    auto trace = create_trace("worker_loop");
    const auto read_buffer = get_read_buffer();
    {
        NoMoreDataGuard guard(read_buffer);
        try {
            if (hook != nullptr) {
                hook();
            }
            run_connections(read_buffer, trace);
        } catch (const std::exception& e) {
            end_with_exception(e.what());
        } catch (...) {
            end_with_exception("unknown exception");
        }
    }
    m_accept_data.store(false);
    settle_connect();
    declare_no_more_data_on_current_buffer();
}

void BasecallClient::run_connections(const std::shared_ptr<ReadBuffer>& read_buffer,
                                     common::diagnostics::tracing::Trace& trace) {
    const auto connection = connection_protocol();
    const auto read_loop = read_processing_protocol();
    const auto window = [this] { return std::chrono::seconds(m_reconnect_timeout.load()); };
    ErrorState error;
    RequestBrokerAdapter* adapter = nullptr;
    auto deadline = calculate_reconnect_timeout_time(window());
    m_link_reporter.connecting(deadline, window());
    // The caller ended the connection while a reply was awaited.
    bool stopped_awaiting_reply = false;
    while (true) {
        const auto attempt_start = std::chrono::steady_clock::now();
        connection->set_wait_deadline(deadline);
        adapter = connection->establish_server_connection(m_connection_info, m_server_file_load_timeout);
        if (adapter != nullptr) {
            m_link_reporter.connected(window());
            adopt_connection(*connection, *read_buffer, *read_loop, trace);
            error = read_loop->process_reads(read_buffer.get(), adapter);
            trace.message(to_string(error));
            stopped_awaiting_reply = error.code == ConnectionError::timed_out && m_stop_requested.load();
            deadline = calculate_reconnect_timeout_time(window());
        } else {
            error = connection->error_state();
        }
        // A caller waiting in disconnect or destruction is not kept for the rest of the window.
        const bool retry = error.code == ConnectionError::timed_out && std::chrono::steady_clock::now() < deadline &&
                           !m_stop_requested.load();
        if (!retry) {
            break;
        }
        if (adapter != nullptr) {
            m_link_reporter.lost(deadline);
        } else {
            const auto next_attempt = std::min(attempt_start + MIN_HANDSHAKE_INTERVAL, deadline);
            while (std::chrono::steady_clock::now() < next_attempt && !m_stop_requested.load()) {
                std::this_thread::sleep_for(STOP_CHECK_INTERVAL);
            }
        }
    }
    end_connections(*connection, *read_buffer, adapter != nullptr, stopped_awaiting_reply, error, trace);
}

void BasecallClient::adopt_connection(AbstractConnectionProtocol& connection, ReadBuffer& read_buffer,
                                      AbstractReadProcessingProtocol& read_loop,
                                      common::diagnostics::tracing::Trace& trace) {
    const ipc_tools::ConnectedInfo connected = connection.get_connected_info();
    const ConfigDetails config = connection.get_config_details();
    std::string changes;
    {
        std::lock_guard<std::mutex> lock(m_connected_info_mutex);
        if (m_server_config_received) {
            changes = config_differences(m_config_details, config);
        }
        m_connected_info = connected;
        m_config_details = config;
        m_server_config_received = true;
        m_model_stride.store(m_config_details.model_stride);
        m_duplex.store(m_config_details.duplex);
        m_alignment_sam_header = connection.get_alignment_file_header();
    }
    if (!changes.empty()) {
        // Reads passed under the old configuration (its model stride among others) would otherwise
        // come back called by another model without a word.
        ZEV_LOG(common::logging::warning)
                << "The basecall server at " << m_server_endpoint << " came back with configuration '"
                << config.config_name << "' changed: " << changes << ". Reads in flight are sent again under it.";
    }
    read_buffer.set_connection_id(connected.client_uid);
    read_loop.set_connection_id(connected.client_uid);
    trace.message("connected");
    trace.message("server version: " + connected.server_version);
    trace.message("server minimap version: " + connected.minimap_version);
    settle_connect();
}

void BasecallClient::end_connections(AbstractConnectionProtocol& connection, ReadBuffer& read_buffer, bool connected,
                                     bool stopped_awaiting_reply, ErrorState error,
                                     common::diagnostics::tracing::Trace& trace) {
    m_link_reporter.ending();
    m_accept_data.store(false);
    read_buffer.set_no_more_data();
    // The connection is over for good: nothing queued or in flight may be left behind. Reads go
    // back before the status leaves the connection, so that a caller who connects again as soon
    // as it reads disconnected (or error) finds every one of them among the completed reads.
    const auto returned = read_buffer.return_unfinished_reads();
    trace.message([returned] { return "unfinished reads returned: " + std::to_string(returned); });
    bool goodbye_said = false;
    if (stopped_awaiting_reply) {
        // A server that answers the goodbye was merely slow, and the connection ends as stopped; one
        // that does not has stopped answering, as the cut-short wait suggested.
        goodbye_said = true;
        if (connection.disconnect_from_server()) {
            error = ErrorState{};
        }
    }
    if (m_leaving.load() && error.code == ConnectionError::timed_out) {
        // The caller left while a reply was awaited (a goodbye that went unanswered has warned).
        error = ErrorState{};
    }
    if (error.code != ConnectionError::no_error) {
        error = naming_server(std::move(error), m_server_endpoint);
        m_client_connection_state.set_error(error);
        ZEV_LOG(common::logging::error) << "Connection error. " << to_string(error);
    }
    if (connected && !goodbye_said && m_client_connection_state.get_error_state().code != ConnectionError::timed_out) {
        connection.disconnect_from_server();
    }
    if (m_client_connection_state.get_status() != ClientStatus::error) {
        m_client_connection_state.set_status(ClientStatus::disconnected);
    }
    trace.message(to_string(m_client_connection_state.get_error_state()));
}

void BasecallClient::end_with_exception(const std::string& what) {
    // An exception must not end the process from a thread of ours; it ends the connection instead.
    const ErrorState error =
            naming_server({ConnectionError::failed, "Client worker ended by an exception: " + what}, m_server_endpoint);
    m_accept_data.store(false);
    get_read_buffer()->set_no_more_data();
    try {
        get_read_buffer()->return_unfinished_reads();
    } catch (const std::exception& e) {
        ZEV_LOG(common::logging::error) << "Could not return unfinished reads: " << e.what();
    }
    const ClientStatus status = m_client_connection_state.get_status();
    if (status == ClientStatus::disconnected) {
        // The error status is reachable only from a connection attempt.
        m_client_connection_state.set_status(ClientStatus::preparing_connection);
    }
    if (status != ClientStatus::error) {
        m_client_connection_state.set_error(error);
    }
    ZEV_LOG(common::logging::error) << "Connection error. " << to_string(error);
}

void BasecallClient::declare_no_more_data_on_current_buffer() { get_read_buffer()->set_no_more_data(); }

}  // namespace basecall_service
