#include "basecall_client/connection_protocol.h"

#include "common/logger.h"
#include "ipc_tools/connection_string.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <sstream>

namespace basecall_service {

namespace {

using ipc_tools::Message;
using ipc_tools::MessageType;

const std::string QUOTE = "\"";

std::string string_of(const flatbuffers::String* text) { return text == nullptr ? std::string() : text->str(); }

std::string reply_text(const Message& reply) {
    const auto* simple = reply.get_message_data()->content_as_SimpleReplyData();
    return simple == nullptr ? std::string() : string_of(simple->text());
}

std::string type_name(MessageType type) { return ipc_tools::message_type_as_string(type); }

std::int64_t monotonic_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
}

// The error of a load that the server refused; the message is always the server's text.
ConnectionError load_failure_code(MessageType request_type, MessageType reply_type) {
    switch (request_type) {
        case ipc_tools::LOAD_INDEX:
            return reply_type == ipc_tools::INVALID_ALIGNER_OPTIONS ? ConnectionError::invalid_aligner_options
                                                                    : ConnectionError::align_index_unavailable;
        case ipc_tools::LOAD_BED:
            return ConnectionError::bed_file_unavailable;
        default:
            return ConnectionError::basecall_config_unavailable;
    }
}

// The public priorities high (0), medium (1) and low (2) travel inverted; larger values as they are.
std::uint32_t connect_priority_value(std::uint32_t priority) {
    const auto p = static_cast<std::int64_t>(static_cast<std::int32_t>(priority));
    return static_cast<std::uint32_t>(p < 3 ? 2 - p : p);
}

}  // namespace

bool find_config_details(const vexil_ipc::ConfigData* data, const std::string& config_name, ConfigDetails& details) {
    if (data == nullptr || data->configurations() == nullptr) {
        return false;
    }
    for (const auto* entry : *data->configurations()) {
        if (entry == nullptr || entry->config_name() == nullptr || entry->config_name()->str() != config_name) {
            continue;
        }
        details.qscore_offset = entry->qscore_offset();
        details.qscore_scale = entry->qscore_scale();
        details.temp_weight = entry->temp_weight();
        details.temp_bias = entry->temp_bias();
        details.model_stride = entry->model_stride();
        details.label_length = entry->label_length();
        details.config_name = config_name;
        details.model_type = string_of(entry->model_type());
        details.model_version_id = string_of(entry->model_version_id());
        details.int8_mode = entry->int8_mode();
        details.duplex = entry->duplex();
        return true;
    }
    return false;
}

std::string config_differences(const ConfigDetails& before, const ConfigDetails& after) {
    std::string differences;
    const auto compare = [&differences](const char* field, const auto& old_value, const auto& new_value) {
        if (old_value == new_value) {
            return;
        }
        std::ostringstream text;
        text << std::boolalpha << (differences.empty() ? "" : ", ") << field << " " << old_value << " -> " << new_value;
        differences += text.str();
    };
    compare("config_name", before.config_name, after.config_name);
    compare("model_stride", before.model_stride, after.model_stride);
    compare("label_length", before.label_length, after.label_length);
    compare("model_type", before.model_type, after.model_type);
    compare("model_version_id", before.model_version_id, after.model_version_id);
    compare("qscore_offset", before.qscore_offset, after.qscore_offset);
    compare("qscore_scale", before.qscore_scale, after.qscore_scale);
    compare("temp_weight", before.temp_weight, after.temp_weight);
    compare("temp_bias", before.temp_bias, after.temp_bias);
    compare("beam_cut", before.beam_cut, after.beam_cut);
    compare("beam_width", before.beam_width, after.beam_width);
    compare("int8_mode", before.int8_mode, after.int8_mode);
    compare("duplex", before.duplex, after.duplex);
    return differences;
}

ConnectionProtocol::ConnectionProtocol(ClientConnectionState& connection_state) : m_connection_state(connection_state) {
    auto trace = create_trace("ConnectionProtocol");
}

ConnectionProtocol::~ConnectionProtocol() = default;

void ConnectionProtocol::set_connection_params(const std::string& address, unsigned int timeout_ms) {
    auto trace = create_trace("set_connection_params");
    m_address = address;
    m_endpoint = ipc_tools::server_endpoint(address);
    m_timeout_ms = timeout_ms;
    trace.message("port: " + address);
    trace.message("timeout: " + std::to_string(timeout_ms));
}

RequestBrokerAdapter* ConnectionProtocol::establish_server_connection(const ipc_tools::ConnectionInfo& info,
                                                                      std::uint32_t file_load_timeout_s) {
    auto trace = create_trace("establish_server_connection");
    m_connection_info = info;
    m_file_load_timeout_s = file_load_timeout_s;
    m_error = ErrorState{};
    m_attempt_started = false;

    ZEV_LOG(common::logging::info) << "Connecting to server as '" << m_connection_info.client_name << "'";
    if (!prepare_connection() || !load_config() || !load_alignment_index() || !load_bed_file() || !connect()) {
        return nullptr;
    }
    m_connection_state.set_status(ClientStatus::connected);
    ZEV_LOG(common::logging::info) << "Connected to server as '" << m_connection_info.client_name
                                   << "'. Connection id: " << m_connected_info.client_uid;
    return &m_adapter;
}

const ConfigDetails& ConnectionProtocol::get_config_details() const { return m_config_details; }

const ipc_tools::ConnectedInfo& ConnectionProtocol::get_connected_info() const { return m_connected_info; }

const std::string& ConnectionProtocol::get_alignment_file_header() const { return m_alignment_file_header; }

const ErrorState& ConnectionProtocol::error_state() const { return m_error; }

std::optional<std::chrono::steady_clock::time_point> ConnectionProtocol::request_limit() const {
    if (!m_wait_deadline) {
        return std::nullopt;
    }
    return *m_wait_deadline + std::chrono::milliseconds(m_timeout_ms);
}

bool ConnectionProtocol::window_passed() const {
    const auto limit = request_limit();
    return limit && std::chrono::steady_clock::now() >= *limit;
}

bool ConnectionProtocol::fail_window_passed(MessageType unsent) {
    m_error = ErrorState{ConnectionError::timed_out,
                         "The reconnect window and one request time-out passed before the server had answered every "
                         "request of the handshake: " +
                                 type_name(unsent) + " not sent (server at " + m_endpoint + ")"};
    return false;
}

bool ConnectionProtocol::send(Message& request, Message& reply) {
    // An attempt always makes its first request: the worker starts attempts within the window only.
    if (m_attempt_started && window_passed()) {
        return fail_window_passed(request.get_type());
    }
    m_attempt_started = true;
    const auto limit = request_limit();
    const bool answered =
            limit ? m_adapter.send_request_within(request, reply, *limit) : m_adapter.send_request(request, reply);
    if (answered) {
        return true;
    }
    m_error = m_adapter.error_state();
    if (m_error.code == ConnectionError::timed_out) {
        // A typo in the address looks just like a server that stopped: say which one was tried.
        m_error.message += " (server at " + m_endpoint + ")";
    }
    return false;
}

void ConnectionProtocol::interrupt_waits(std::optional<std::chrono::steady_clock::time_point> last_waits_by) {
    m_adapter.interrupt_waits(last_waits_by);
}

void ConnectionProtocol::set_wait_deadline(std::chrono::steady_clock::time_point deadline) {
    m_wait_deadline = deadline;
}

void ConnectionProtocol::set_link_observer(ipc_tools::LinkObserver* observer) { m_adapter.set_link_observer(observer); }

bool ConnectionProtocol::build_connection_string(std::string& connection_string) {
    try {
        connection_string = m_connection_info.build_connection_string();
        return true;
    } catch (const std::exception& failure) {
        m_error = ErrorState{ConnectionError::failed,
                             std::string("Could not build connection string: ") + failure.what()};
        return false;
    }
}

bool ConnectionProtocol::prepare_connection() {
    auto trace = create_trace("prepare_connection");
    m_connection_state.set_status(ClientStatus::preparing_connection);
    if (!m_adapter.prepare_connection(m_address, m_timeout_ms)) {
        m_error = m_adapter.error_state();
        return false;
    }
    return true;
}

bool ConnectionProtocol::load_config() {
    auto trace = create_trace("load_config");
    m_connection_state.set_status(ClientStatus::loading_config);
    const std::string config_name = m_connection_info.config_name;
    return load_file_on_server(ipc_tools::LOAD_CONFIG, config_name) && retrieve_config_details(config_name);
}

bool ConnectionProtocol::retrieve_config_details(const std::string& config_name) {
    auto trace = create_trace("retrieve_config_details");
    trace.message(config_name);
    Message request(ipc_tools::GET_CONFIGS, std::string(), 0, std::string());
    Message reply;
    if (!send(request, reply)) {
        return false;
    }
    if (reply.get_type() != ipc_tools::RETURN_CONFIGS) {
        m_error = ErrorState{ConnectionError::invalid_response,
                             "Could not get details from server (invalid reply type). " + type_name(reply.get_type())};
        return false;
    }
    if (!find_config_details(reply.get_message_data()->content_as_ConfigData(), config_name, m_config_details)) {
        m_error = ErrorState{ConnectionError::basecall_config_unavailable,
                             "could not retrieve details for config from server: " + config_name};
        return false;
    }
    return true;
}

bool ConnectionProtocol::load_alignment_index() {
    auto trace = create_trace("load_alignment_index");
    m_connection_state.set_status(ClientStatus::loading_alignment_index);
    if (m_connection_info.align_ref.empty()) {
        return true;
    }
    // The server is given the path as the caller wrote it; the lookups below use the canonical one.
    std::string load_text = m_connection_info.align_ref;
    if (!m_connection_info.minimap_opt_string.empty()) {
        load_text += ":" + ipc_tools::connection_string::create_kvp("minimap_opt_string",
                                                                    m_connection_info.minimap_opt_string);
    }
    std::string connection_string;
    if (!build_connection_string(connection_string)) {
        return false;
    }
    trace.message("config string: " + connection_string);
    return load_file_on_server(ipc_tools::LOAD_INDEX, load_text) &&
           retrieve_alignment_file_header(m_connection_info.align_ref);
}

bool ConnectionProtocol::retrieve_alignment_file_header(const std::string& align_ref) {
    auto trace = create_trace("retrieve_alignment_file_header");
    Message request(ipc_tools::GET_INDICES, std::string(), 0, std::string());
    Message reply;
    if (!send(request, reply)) {
        return false;
    }
    if (reply.get_type() != ipc_tools::RETURN_CONFIGS) {
        m_error = ErrorState{
                ConnectionError::invalid_response,
                "Could not get alignment indices from server (invalid reply type). " + type_name(reply.get_type())};
        return false;
    }
    const auto* data = reply.get_message_data()->content_as_ConfigData();
    if (data != nullptr && data->alignment_indices() != nullptr) {
        for (const auto* index : *data->alignment_indices()) {
            if (index != nullptr && index->index_name() != nullptr && index->index_name()->str() == align_ref) {
                m_alignment_file_header = string_of(index->sam_header());
                return true;
            }
        }
    }
    m_error = ErrorState{ConnectionError::align_index_unavailable,
                         "Could not retrieve alignment file header for: " + align_ref};
    return false;
}

bool ConnectionProtocol::load_bed_file() {
    auto trace = create_trace("load_bed_file");
    m_connection_state.set_status(ClientStatus::loading_bed_file);
    if (m_connection_info.bed_file.empty()) {
        return true;
    }
    return load_file_on_server(ipc_tools::LOAD_BED, m_connection_info.bed_file);
}

bool ConnectionProtocol::connect() {
    auto trace = create_trace("connect");
    m_connection_state.set_status(ClientStatus::connecting);
    std::string connection_string;
    if (!build_connection_string(connection_string)) {
        return false;
    }
    trace.message("config string: " + connection_string);
    Message request(ipc_tools::CONNECT, std::string(), connect_priority_value(m_connection_info.priority),
                    connection_string);
    Message reply;
    if (!send(request, reply)) {
        end_cut_short_registration();
        return false;
    }
    if (reply.get_type() != ipc_tools::CONNECTED) {
        m_error = refusal_error(reply.get_type());
        return false;
    }
    const std::string text = reply_text(reply);
    trace.message(text);
    const auto connected = ipc_tools::ConnectedInfo::parse(text);
    if (!connected) {
        m_error = ErrorState{ConnectionError::bad_reply, "Could not parse CONNECTED message data"};
        return false;
    }
    m_connected_info = *connected;
    trace.message("Connected. id: " + m_connected_info.client_uid);
    trace.message("server version: " + m_connected_info.server_version);
    trace.message("server minimap version: " + m_connected_info.minimap_version);
    return true;
}

void ConnectionProtocol::end_cut_short_registration() {
    if (!m_adapter.waits_interrupted()) {
        return;
    }
    auto trace = create_trace("end_cut_short_registration");
    Message reply;
    // The handshake has failed already (m_error says why); this only tidies up on the server.
    if (!m_adapter.await_late_reply(reply) || reply.get_type() != ipc_tools::CONNECTED) {
        trace.message(to_string(m_adapter.error_state()));
        return;
    }
    const auto connected = ipc_tools::ConnectedInfo::parse(reply_text(reply));
    if (connected) {
        say_goodbye(connected->client_uid);
    }
}

ErrorState ConnectionProtocol::refusal_error(MessageType reply_type) const {
    const std::string prefix = "Could not register on server (";
    const auto& info = m_connection_info;
    switch (reply_type) {
        case ipc_tools::INVALID_CONFIG:
            return {ConnectionError::basecall_config_unavailable,
                    prefix + "connection refused, the requested basecall config is not currently loaded " + QUOTE +
                            info.config_name + QUOTE + ")."};
        case ipc_tools::INVALID_BARCODE_KIT:
            return {ConnectionError::barcode_kit_unavailable,
                    prefix + "connection refused due to unsupported barcoding kit " + QUOTE + info.barcode_kits +
                            QUOTE + ")."};
        case ipc_tools::INVALID_INDEX:
            return {ConnectionError::align_index_unavailable,
                    prefix + "connection refused due to unsupported alignment index|options combination " + QUOTE +
                            info.align_ref + "|" + info.minimap_opt_string + QUOTE + ")."};
        case ipc_tools::INVALID_BED:
            return {ConnectionError::bed_file_unavailable,
                    prefix + "connection refused, the requested bed file is not currently loaded " + QUOTE +
                            info.bed_file + QUOTE + ")."};
        case ipc_tools::INDEX_NO_SEQ:
            return {ConnectionError::align_index_no_seq,
                    prefix + "connection refused due to full alignment not being supported by alignment index " +
                            QUOTE + info.align_ref + QUOTE + ")."};
        default:
            return {ConnectionError::invalid_response, prefix + "invalid response)."};
    }
}

bool ConnectionProtocol::load_file_on_server(MessageType request_type, const std::string& text) {
    auto trace = create_trace("load_file_on_server");
    trace.message(text);
    const std::int64_t start_ms = monotonic_ms();
    const std::int64_t limit_ms = static_cast<std::int64_t>(m_file_load_timeout_s) * 1000;
    for (;;) {
        if (try_load_on_server(request_type, text)) {
            return true;
        }
        if (m_error.code != ConnectionError::no_error) {
            return false;
        }
        if (monotonic_ms() - start_ms > limit_ms) {
            break;
        }
        if (window_passed()) {
            return fail_window_passed(request_type);
        }
        // An ending caller cuts the pause short; the next request is then refused at once. So does
        // the end of the requests' time, so that connecting keeps its bound.
        auto pause = std::chrono::milliseconds(LOAD_RETRY_INTERVAL_MS);
        if (const auto limit = request_limit()) {
            pause = std::min(pause,
                             std::chrono::ceil<std::chrono::milliseconds>(*limit - std::chrono::steady_clock::now()));
        }
        m_adapter.pause(pause);
    }
    trace.message("timeout");
    m_error = ErrorState{ConnectionError::file_load_timeout,
                         "Server did not process load request '" + type_name(request_type) + "' for file " + text +
                                 "within the " + std::to_string(m_file_load_timeout_s) +
                                 "s timeout. Try increasing server_file_load_timeout"};
    return false;
}

bool ConnectionProtocol::try_load_on_server(MessageType request_type, const std::string& text) {
    auto trace = create_trace("try_load_on_server");
    Message request(request_type, std::string(), 0, text);
    Message reply;
    // A link failure is the adapter's error, already traced by the broker: only the server's own
    // answers are traced here.
    if (!send(request, reply)) {
        return false;
    }
    const MessageType reply_type = reply.get_type();
    trace.message(type_name(reply_type));
    switch (reply_type) {
        case ipc_tools::SUCCESS:
            return true;
        case ipc_tools::LOADING:
            return false;
        case ipc_tools::INVALID_ALIGNER_OPTIONS:
        case ipc_tools::REQUEST_FAILED:
            m_error = ErrorState{load_failure_code(request_type, reply_type), reply_text(reply)};
            break;
        default:
            m_error = ErrorState{ConnectionError::invalid_response,
                                 "Error. Load request '" + type_name(request_type) +
                                         "' received an invalid reply type: " + type_name(reply_type)};
            break;
    }
    trace.message(to_string(m_error));
    return false;
}

bool ConnectionProtocol::disconnect_from_server() const { return say_goodbye(m_connected_info.client_uid); }

bool ConnectionProtocol::say_goodbye(const std::string& client_id) const {
    auto trace = create_trace("disconnect_from_server");
    trace.message("sending DISCONNECT with ID: " + client_id);
    Message request(ipc_tools::DISCONNECT, client_id, 0, std::string());
    Message reply;
    if (!m_adapter.send_farewell(request, reply)) {
        const std::string error_text = to_string(m_adapter.error_state());
        trace.message(error_text);
        ZEV_LOG(common::logging::warning)
                << "Error disconnecting from server: " << error_text << " (server at " << m_endpoint << ")";
        // A reply the broker refused is still an answer.
        const ConnectionError code = m_adapter.error_state().code;
        return code == ConnectionError::bad_reply || code == ConnectionError::bad_request;
    }
    trace.message("reply type: " + type_name(reply.get_type()));
    if (reply.get_type() != ipc_tools::DISCONNECTED) {
        ZEV_LOG(common::logging::info) << "Could not disconnect from basecall server, invalid reply: "
                                       << type_name(reply.get_type());
    }
    return true;
}

}  // namespace basecall_service
