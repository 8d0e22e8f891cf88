#include "client_api/vexil_client_impl.h"

#include "basecall_client/basecall_client.h"
#include "basecall_client/read_buffer.h"
#include "client_api/client_state_forwarder.h"
#include "client_api/read_validation.h"
#include "client_api/status_mapping.h"
#include "client_api/trace_setup.h"
#include "common/diagnostics/state/concrete_state_logger.h"
#include "common/diagnostics/state/formatters.h"
#include "common/diagnostics/state/state_context.h"
#include "common/logger.h"
#include "common/process_utils.h"
#include "ipc_tools/connection_info.h"

#include <gsl/gsl>

#include <limits>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace vexil {

namespace {

using basecall_service::BasecallClient;
using bass::data_wrappers::dataset;

const char* const PASS_READ_FUNCTION =
        "vexil::PassReadResult vexil::VexilClientImpl::pass_read(interfaces::ReadHolder &, uint32_t)";
const char* const PASS_READS_FUNCTION =
        "vexil::PassReadResult vexil::VexilClientImpl::pass_reads(interfaces::ReadList &, uint32_t)";

ConnectionStatus status_of(const std::shared_ptr<BasecallClient>& engine) {
    return engine ? to_connection_status(engine->get_connection_state().get_status()) : ConnectionStatus::disconnected;
}

PassReadResult to_public(basecall_service::PassReadResult result, const char* what) {
    switch (result) {
        case basecall_service::PassReadResult::success:
            return PassReadResult::success;
        case basecall_service::PassReadResult::not_accepting_reads:
            return PassReadResult::not_accepting_reads;
        case basecall_service::PassReadResult::queue_full:
            return PassReadResult::queue_full;
        case basecall_service::PassReadResult::bad_read:
            return PassReadResult::bad_read;
    }
    throw std::runtime_error(std::string(what) + basecall_service::to_string(result));
}

}  // namespace

VexilClientImpl::VexilClientImpl(std::string address, std::string config_name, const std::string& trace_folder,
                                 bool log_bad_reads)
    : m_address(std::move(address)),
      m_config_name(std::move(config_name)),
      m_log_bad_reads(log_bad_reads),
      m_trace_setup_warned(TraceSetup::instance().take_folder(trace_folder)) {
    auto trace = create_trace("VexilClientImpl");
    trace.message("address: " + m_address);
    ClientStateForwarder::instance().link(this);
}

VexilClientImpl::~VexilClientImpl() {
    auto trace = create_trace("~VexilClientImpl");
    // Changes not delivered yet are dropped, those that ending the connection makes among them:
    // destruction waits for the handler call that is running, not for a backlog of them.
    m_dispatcher.close();
    ClientStateForwarder::instance().unlink(this);
    EnginePointer engine;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
        engine = std::move(m_client);
    }
    // A handler inside connect holds this engine too: stopping it ends that connect, so the
    // handler returns and the engine is released wherever its last holder is.
    if (engine) {
        engine->join_worker_thread();
    }
    engine.reset();
    // The handler call that is running is waited for (unless this runs within it) before the
    // members it may call on go.
    m_dispatcher.stop();
}

VexilClientImpl::EnginePointer VexilClientImpl::copy_client() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_client;
}

bool VexilClientImpl::accepts_settings() const {
    return !m_connect_in_progress && status_of(m_client) == ConnectionStatus::disconnected;
}

Result VexilClientImpl::set_params(const bass::data_wrappers::Metadata& params) {
    auto trace = create_trace("set_params");
    for (const auto& key : params.get_keys()) {
        trace.message([&] { return key.first + ": " + params.get_as_string(key.first); });
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!accepts_settings()) {
        return Result::already_connected;
    }
    take_client_name(m_settings, params);
    // The client's name names the trace files when it is the process's first.
    if (TraceSetup::instance().take_client_name(m_settings.client_name, m_trace_setup_warned)) {
        m_trace_setup_warned = true;
    }
    take_settings(m_settings, params);
    return Result::success;
}

Result VexilClientImpl::set_priority(Read::Priority priority) {
    get_trace_context()->write_message("set_priority", std::to_string(static_cast<int>(priority)));
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!accepts_settings()) {
        return Result::already_connected;
    }
    m_settings.priority = priority;
    return Result::success;
}

Result VexilClientImpl::set_callback_function(void (*callback)()) {
    auto trace = create_trace("set_callback_function");
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!accepts_settings()) {
        return Result::already_connected;
    }
    m_callback = callback;
    return Result::success;
}

Result VexilClientImpl::set_state_change_handler(VexilClient::StateChangeHandler handler) {
    get_trace_context()->write_message("set_state_change_handler", "state change handler registered");
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!accepts_settings()) {
        return Result::already_connected;
    }
    m_state_change_handler = std::move(handler);
    return Result::success;
}

VexilClientImpl::EnginePointer VexilClientImpl::create_engine(const ClientSettings& settings, EnginePointer& replaced) {
    auto engine = std::make_shared<BasecallClient>(settings.block_size, settings.max_reads_queued,
                                                   settings.max_server_read_failures, settings.disable_events,
                                                   settings.enable_state_data, m_callback);
    engine->set_reconnect_timeout(std::chrono::seconds(settings.reconnect_timeout_s));
    if (m_state_change_handler) {
        // The relay keeps its own copy: the caller may set another handler once this connection ends.
        // It only queues: the handler runs on the dispatcher's thread, never on the engine's.
        engine->get_connection_state().register_change_handler(m_dispatcher.relay_for(m_state_change_handler));
    }
    replaced = std::move(m_client);
    m_client = engine;
    return engine;
}

Result VexilClientImpl::connect() {
    auto trace = create_trace("connect");
    EnginePointer engine;
    EnginePointer replaced;
    ipc_tools::ConnectionInfo info;
    ClientSettings settings;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const ConnectionStatus status = status_of(m_client);
        if (status == ConnectionStatus::error || m_closing) {
            return Result::failed;
        }
        if (m_connect_in_progress || status != ConnectionStatus::disconnected) {
            return Result::already_connected;
        }
        // Both paths are resolved before anything changes: either may throw.
        const std::string align_ref = common::make_canonical_path(m_settings.align_index_file);
        const std::string bed_file = common::make_canonical_path(m_settings.bed_file);
        if (!m_settings.align_index_file.empty()) {
            m_settings.params.insert("align_ref", align_ref);
        }
        if (!m_settings.bed_file.empty()) {
            m_settings.params.insert("bed_file", bed_file);
        }
        m_settings.params.insert("barcode_kits", m_settings.barcode_kits);
        m_settings.params.insert("detect_barcodes", !m_settings.barcode_kits.empty());
        settings = m_settings;

        info.config_name = m_config_name;
        info.client_name = settings.client_name;
        info.barcode_kits = settings.barcode_kits;
        info.align_ref = align_ref;
        info.minimap_opt_string = settings.minimap2_opt_string;
        info.bed_file = bed_file;
        info.align_type = settings.align_type;
        info.priority = static_cast<std::uint32_t>(settings.priority);
        info.timeout_interval = settings.connection_timeout_ms;
        info.options = settings.params;
        engine = create_engine(settings, replaced);
        m_connect_in_progress = true;
    }
    if (replaced) {
        // Reads the last connection gave back and the caller has not collected yet stay theirs.
        interfaces::ReadList leftovers;
        replaced->get_completed_reads(leftovers, interfaces::medium_priority);
        engine->adopt_completed_reads(leftovers);
    }
    replaced.reset();
    const auto connect_done = gsl::finally([this] {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_connect_in_progress = false;
    });
    trace.message("connecting");
    engine->connect(m_address, settings.timeout_ms, settings.server_file_load_timeout_s, std::move(info));

    const auto state = engine->get_connection_state().create_snapshot();
    const auto status = to_connection_status(state->get_status());
    if (status == ConnectionStatus::disconnected) {
        return Result::failed;
    }
    if (status == ConnectionStatus::error) {
        return to_result(state->get_error_state().code);
    }
    return Result::success;
}

bool VexilClientImpl::validate(const interfaces::ReadHolder& read, const EnginePointer& engine,
                               std::string& message) const {
    const bool duplex = engine && engine->current_duplex();
    if (!validate_read_record(read, duplex, message)) {
        return false;
    }
    // Two reads under one tag could not be told apart when the server returns them.
    if (engine && engine->tag_in_flight(read.read_tag)) {
        message = basecall_service::QueueRefusal{basecall_service::QueueRefusal::Reason::tag_in_flight, read.read_tag}
                          .text() +
                  ".";
        return false;
    }
    return true;
}

bool VexilClientImpl::validate_read(const interfaces::ReadHolder& read, std::string& message) const {
    return validate(read, copy_client(), message);
}

void VexilClientImpl::log_bad_read(const std::string& message, const char* function) const {
    if (m_log_bad_reads) {
        ZEV_LOG_WITH_FUNCTION(common::logging::warning, function) << message;
    }
}

bool VexilClientImpl::accept(const interfaces::ReadHolder& read, const EnginePointer& engine,
                             const char* function) const {
    std::string message;
    if (!validate(read, engine, message)) {
        log_bad_read(message, function);
        return false;
    }
    return true;
}

PassReadResult VexilClientImpl::refuse_without_record(bool in_list) const {
    log_bad_read(no_record_text(), in_list ? PASS_READS_FUNCTION : PASS_READ_FUNCTION);
    return PassReadResult::bad_read;
}

namespace {

// Stores the value unless the key holds it already: a list refused for want of room is prepared
// again on every attempt to pass it, and rewriting a value costs an allocation.
template <typename T>
void store_once(bass::data_wrappers::Metadata& metadata, const char* key, const T& value) {
    const T* stored = nullptr;
    if (!metadata.extract<T>(key, stored) || *stored != value) {
        metadata.insert(key, value);
    }
}

void prepare_record(interfaces::ReadHolder& read, Read::Priority priority, std::uint64_t model_stride) {
    store_once<std::string>(read.metadata, "strand_id", read.metadata.get<read_data::read_id>());
    store_once<std::uint64_t>(read.metadata, "duration", read.get_dataset(dataset::raw_data).m_info.size);
    read.priority = static_cast<std::uint32_t>(priority);
    store_once<std::uint64_t>(read.metadata, "model_stride", model_stride);
}

}  // namespace

VexilClientImpl::PassContext VexilClientImpl::pass_context(std::uint32_t wait_ms) const {
    PassContext context;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        context.engine = m_client;
        context.priority = m_settings.priority;
        context.wait_ms = wait_ms != 0 ? wait_ms : m_settings.pass_read_timeout_ms;
    }
    return context;
}

PassReadResult VexilClientImpl::pass_read(interfaces::ReadHolder& read, std::uint32_t wait_ms) {
    const auto context = pass_context(wait_ms);
    if (!context.engine) {
        return PassReadResult::not_accepting_reads;
    }
    if (!accept(read, context.engine, PASS_READ_FUNCTION)) {
        return PassReadResult::bad_read;
    }
    prepare_record(read, context.priority, context.engine->current_model_stride());
    basecall_service::QueueRefusal refusal;
    const auto result = context.engine->pass_read(read, context.wait_ms, &refusal);
    if (refusal.is_bad_read()) {
        log_bad_read(refusal.text() + ".", PASS_READ_FUNCTION);
    }
    return to_public(result, "Unrecognised pass_read result: ");
}

PassReadResult VexilClientImpl::pass_reads(interfaces::ReadList& reads, std::uint32_t wait_ms) {
    const auto context = pass_context(wait_ms);
    if (!context.engine) {
        return PassReadResult::not_accepting_reads;
    }
    // Every read is checked before any is prepared: a refused list goes back as it came.
    for (const auto& read : reads) {
        if (!accept(*read, context.engine, PASS_READS_FUNCTION)) {
            return PassReadResult::bad_read;
        }
    }
    if (const interfaces::ReadHolder* repeated = basecall_service::first_repeated_tag(reads)) {
        using basecall_service::QueueRefusal;
        log_bad_read(QueueRefusal{QueueRefusal::Reason::tag_repeated, repeated->read_tag}.text() + ".",
                     PASS_READS_FUNCTION);
        return PassReadResult::bad_read;
    }
    const std::uint64_t model_stride = context.engine->current_model_stride();
    for (auto& read : reads) {
        prepare_record(*read, context.priority, model_stride);
    }
    basecall_service::QueueRefusal refusal;
    const auto result = context.engine->pass_reads(reads, context.wait_ms, &refusal);
    if (refusal.is_bad_read()) {
        log_bad_read(refusal.text() + ".", PASS_READS_FUNCTION);
    }
    return to_public(result, "Unrecognised pass_reads result: ");
}

void VexilClientImpl::get_completed_reads(std::vector<std::vector<Read>>& reads) {
    const auto engine = copy_client();
    if (!engine) {
        return;
    }
    interfaces::ReadList completed;
    engine->get_completed_reads(completed, interfaces::medium_priority);
    // Groups in the order in which their first read came back; reads of a group in engine order.
    std::unordered_map<std::uint64_t, std::size_t> group_of_tag;
    group_of_tag.max_load_factor(1.0F);
    std::vector<std::vector<Read>> groups;
    for (auto& record : completed) {
        const auto tag = record->read_tag;
        const auto found = group_of_tag.emplace(tag, groups.size());
        if (found.second) {
            groups.emplace_back();
        }
        groups[found.first->second].push_back(Read(std::move(record)));
    }
    reads.reserve(reads.size() + groups.size());
    for (auto& group : groups) {
        reads.push_back(std::move(group));
    }
}

unsigned long long VexilClientImpl::num_completed_reads() const {
    const auto engine = copy_client();
    return engine ? engine->num_completed_reads() : 0;
}

void VexilClientImpl::no_more_data() {
    if (const auto engine = copy_client()) {
        engine->set_no_more_data();
    }
}

Result VexilClientImpl::finish(unsigned long long timeout_s) {
    auto trace = create_trace("finish");
    const auto engine = copy_client();
    const ConnectionStatus status = status_of(engine);
    if (status == ConnectionStatus::disconnected) {
        return Result::no_connection;
    }
    // A connection that failed after every read came back called lost nothing: the engine tells.
    switch (engine->finish_by(timeout_s)) {
        case basecall_service::FinishOutcome::success:
            return Result::success;
        case basecall_service::FinishOutcome::timed_out:
            return Result::not_ready;
        case basecall_service::FinishOutcome::failed:
            break;
    }
    return Result::failed;
}

Result VexilClientImpl::disconnect() {
    auto trace = create_trace("disconnect");
    const auto engine = copy_client();
    if (status_of(engine) == ConnectionStatus::disconnected) {
        return Result::no_connection;
    }
    engine->disconnect();
    return Result::success;
}

ConnectionStatus VexilClientImpl::get_status() const { return status_of(copy_client()); }

std::string VexilClientImpl::get_error_message() const {
    const auto engine = copy_client();
    if (!engine) {
        return "";
    }
    const auto state = engine->get_connection_state().create_snapshot();
    return state->get_status() == basecall_service::ClientStatus::error
                   ? basecall_service::to_string(state->get_error_state())
                   : std::string();
}

void VexilClientImpl::report_state(common::diagnostics::state::StateLogger& logger) const {
    ClientSettings settings;
    EnginePointer engine;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        settings = m_settings;
        engine = m_client;
    }
    using u64 = unsigned long long;
    logger.log("status", to_string(status_of(engine)));
    logger.log("priority", static_cast<long long>(settings.priority));
    logger.log("m_connection_timeout_ms", static_cast<u64>(settings.connection_timeout_ms));
    logger.log("m_address", m_address);
    logger.log("m_config_name", m_config_name);
    logger.log("m_barcode_kits", settings.barcode_kits);
    logger.log("m_align_index_file", settings.align_index_file);
    logger.log("m_bed_file", settings.bed_file);
    logger.log("m_minimap2_opt_string", settings.minimap2_opt_string);
    logger.log("m_timeout", static_cast<u64>(settings.timeout_ms));
    logger.log("m_server_file_load_timeout", static_cast<u64>(settings.server_file_load_timeout_s));
    logger.log("m_block_size", static_cast<u64>(settings.block_size));
    logger.log("m_max_reads_queued", static_cast<u64>(settings.max_reads_queued));
    logger.log("m_disable_events", settings.disable_events);
    logger.log("m_enable_state_data", settings.enable_state_data);
    logger.log("m_pair_by_channel", settings.pair_by_channel);
    const auto section = logger.create_child_section("BasecallClient");
    if (engine) {
        engine->report_state(logger);
    } else {
        logger.log("client", "null");
    }
}

std::string VexilClientImpl::get_internal_state() const {
    auto trace = create_trace("get_internal_state");
    const ClientStateForwarder::ReportFor report_for(this);
    return common::diagnostics::state::context::request_state(common::diagnostics::state::JsonFormatter());
}

std::string VexilClientImpl::get_client_state() const {
    std::vector<common::diagnostics::state::StateRecord> records;
    {
        common::diagnostics::state::detail::ConcreteStateLogger logger(records);
        const auto section = logger.create_child_section("VexilClient");
        report_state(logger);
    }
    return common::diagnostics::state::JsonFormatter()(records);
}

Result VexilClientImpl::get_basecalling_config(bass::data_wrappers::Metadata& config) {
    const auto engine = copy_client();
    // Only what a server sent: an engine that never connected holds mere defaults.
    if (!engine || !engine->has_server_config()) {
        return Result::no_connection;
    }
    const auto details = engine->get_basecalling_config();
    config.insert<float>("qscore_offset", details.qscore_offset);
    config.insert<float>("qscore_scale", details.qscore_scale);
    config.insert<float>("temp_weight", details.temp_weight);
    config.insert<float>("temp_bias", details.temp_bias);
    config.insert<std::uint64_t>("model_stride", details.model_stride);
    config.insert<std::uint64_t>("label_length", details.label_length);
    config.insert("config_name", details.config_name);
    config.insert("model_type", details.model_type);
    config.insert("model_version_id", details.model_version_id);
    config.insert<float>("beam_cut", details.beam_cut);
    config.insert<std::uint64_t>("beam_width", details.beam_width);
    config.insert("int8_mode", details.int8_mode);
    config.insert("duplex", details.duplex);
    return Result::success;
}

Result VexilClientImpl::get_alignment_sam_header(std::string& header) {
    const auto engine = copy_client();
    if (!engine || !engine->has_server_config()) {
        return Result::no_connection;
    }
    header = engine->get_alignment_sam_header();
    return Result::success;
}

Result VexilClientImpl::get_connected_server_info(ConnectedServerInfo& info) {
    const auto engine = copy_client();
    // As the other getters: a connect that failed has nothing from a server to report.
    if (!engine || !engine->has_server_config()) {
        return Result::no_connection;
    }
    const auto connected = engine->get_connected_info();
    info.client_uid = connected.client_uid;
    info.server_version = connected.server_version;
    info.minimap_version = connected.minimap_version;
    return Result::success;
}

}  // namespace vexil
