#include "basecall_client/server_proxy.h"

#include <algorithm>
#include <chrono>

#include "common/diagnostics/tracing/trace_domain.h"
#include "ipc_tools/message_type.h"
#include "ipc_tools/request_broker.h"
#include "ipc_tools/request_errors.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <stdexcept>
#include <utility>

namespace basecall_service {
namespace server_proxy {

namespace {

using TraceDomain = common::diagnostics::tracing::TraceDomain<Trace>;
using ipc_tools::Message;
using ipc_tools::MessageType;

std::string string_of(const flatbuffers::String* text) { return text == nullptr ? std::string() : text->str(); }

/// One exchange on a broker that exists only for this call; the broker's exceptions pass through.
/// The time-out bounds the whole exchange: one poll, not the retries of a working connection.
Message exchange(const std::string& address, std::uint32_t timeout_ms, Message request) {
    ipc_tools::RequestBroker broker;
    broker.prepare_connection(address, timeout_ms);
    // Counted from the send, as the one poll it allows.
    const auto latest_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    Message reply;
    broker.send_request_within(request, reply, latest_end);
    return reply;
}

Message simple_request(MessageType type) { return Message(type, std::string(), 0, std::string()); }

std::string reply_text(const Message& reply) {
    const auto* simple = reply.get_message_data()->content_as_SimpleReplyData();
    return simple == nullptr ? std::string() : string_of(simple->text());
}

const vexil_ipc::ConfigData* config_data_of(const Message& reply) {
    return reply.get_message_data()->content_as_ConfigData();
}

}  // namespace

BarcodeKit create_barcode_kit(const vexil_ipc::BarcodeKitDefinition& definition) {
    BarcodeKit kit;
    kit.kit_name = string_of(definition.kit_name());
    kit.first_index = static_cast<std::int32_t>(definition.first_index());
    kit.last_index = static_cast<std::int32_t>(definition.last_index());
    kit.first_inner_index = static_cast<std::int32_t>(definition.first_inner_index());
    kit.last_inner_index = static_cast<std::int32_t>(definition.last_inner_index());
    kit.is_dual = definition.is_dual();
    kit.is_both_ends = definition.is_both_ends();
    kit.suffix_12a = definition.suffix_12a();
    kit.naming_pattern = string_of(definition.naming_pattern());
    return kit;
}

std::vector<BarcodeKit> extract_barcoding_arrangements(Message& reply) {
    std::vector<BarcodeKit> kits;
    const auto* data = config_data_of(reply);
    if (data == nullptr || data->barcode_kit_definitions() == nullptr) {
        return kits;
    }
    for (const auto* definition : *data->barcode_kit_definitions()) {
        if (definition != nullptr) {
            kits.push_back(create_barcode_kit(*definition));
        }
    }
    return kits;
}

LampKit create_lamp_kit(const vexil_ipc::LampKitDefinition& definition) {
    LampKit kit;
    kit.kit_name = string_of(definition.kit_name());
    kit.first_index = static_cast<std::int32_t>(definition.first_index());
    kit.last_index = static_cast<std::int32_t>(definition.last_index());
    kit.naming_pattern = string_of(definition.naming_pattern());
    if (const auto* targets = definition.targets()) {
        for (const auto* target : *targets) {
            kit.targets.push_back(string_of(target));
        }
    }
    return kit;
}

std::vector<LampKit> extract_lamp_arrangements(Message& reply) {
    std::vector<LampKit> kits;
    const auto* data = config_data_of(reply);
    if (data == nullptr || data->lamp_kit_definitions() == nullptr) {
        return kits;
    }
    for (const auto* definition : *data->lamp_kit_definitions()) {
        if (definition != nullptr) {
            kits.push_back(create_lamp_kit(*definition));
        }
    }
    return kits;
}

vexil::server_query::ServerStatistics get_stats_from_message(const vexil_ipc::ServerStats& stats) {
    vexil::server_query::ServerStatistics result;
    result.lifetime_reads_in = stats.lifetime_reads_in();
    result.lifetime_reads_out = stats.lifetime_reads_out();
    result.period_reads_in = stats.period_reads_in();
    result.period_reads_out = stats.period_reads_out();
    if (const auto* clients = stats.client_stats()) {
        for (const auto* client : *clients) {
            vexil::server_query::ClientReadCounts counts;
            if (client != nullptr) {
                counts.input_read_count = client->input_read_count();
                counts.output_read_count = client->output_read_count();
            }
            result.client_statistics.push_back(counts);
        }
    }
    return result;
}

std::vector<BarcodeKit> get_barcode_kits(std::string address, std::uint32_t timeout_ms) {
    auto trace = TraceDomain::create_trace("get_barcode_kits");
    Message reply = exchange(address, timeout_ms, simple_request(ipc_tools::GET_BARCODE_KITS));
    if (reply.get_type() != ipc_tools::RETURN_CONFIGS) {
        throw ipc_tools::InvalidResponse("Could not retrieve barcode kits from server, invalid reply: " +
                                         ipc_tools::message_type_as_string(reply.get_type()));
    }
    return extract_barcoding_arrangements(reply);
}

std::vector<LampKit> get_lamp_kits(std::string address, std::uint32_t timeout_ms) {
    auto trace = TraceDomain::create_trace("get_lamp_kits");
    Message reply = exchange(address, timeout_ms, simple_request(ipc_tools::GET_LAMP_KITS));
    if (reply.get_type() != ipc_tools::RETURN_CONFIGS) {
        throw ipc_tools::InvalidResponse("Could not retrieve lamp kits from server, invalid reply: " +
                                         ipc_tools::message_type_as_string(reply.get_type()));
    }
    return extract_lamp_arrangements(reply);
}

vexil::server_query::ServerStatistics get_server_statistics(std::string address, std::uint32_t timeout_ms) {
    auto trace = TraceDomain::create_trace("get_server_statistics");
    Message reply = exchange(address, timeout_ms, simple_request(ipc_tools::GET_STATISTICS));
    if (reply.get_type() != ipc_tools::RETURN_STATISTICS) {
        const std::string message = "Could not retrieve statistics from server, invalid reply: " +
                                    ipc_tools::message_type_as_string(reply.get_type());
        trace.message(message);
        throw ipc_tools::InvalidResponse(message);
    }
    const auto* stats = reply.get_message_data()->content_as_ServerStats();
    // A RETURN_STATISTICS without its table reads as a server with nothing to report.
    return stats == nullptr ? vexil::server_query::ServerStatistics{} : get_stats_from_message(*stats);
}

std::string get_server_internal_state(std::string address, std::uint32_t timeout_ms) {
    auto trace = TraceDomain::create_trace("get_server_internal_state");
    Message reply =
            exchange(address, timeout_ms, ipc_tools::create_query_request(ipc_tools::QueryCode::internal_state, ""));
    if (reply.get_type() != ipc_tools::RESPONSE) {
        const std::string message = "Could not retrieve state from server, invalid reply: " +
                                    ipc_tools::message_type_as_string(reply.get_type());
        trace.message(message);
        throw ipc_tools::InvalidResponse(message);
    }
    return reply_text(reply);
}

void split_minimap_help_and_version(const std::string& text, std::string& help, std::string& version) {
    auto trace = TraceDomain::create_trace("split_minimap_help_and_version");
    const auto newline = text.rfind('\n');
    if (newline == std::string::npos || newline + 1 == text.size()) {
        const std::string message =
                "Could not retrieve minimap help from server, invalid reply, missing version information";
        trace.message(message);
        throw ipc_tools::InvalidResponse(message);
    }
    version = text.substr(newline + 1);
    help = text.substr(0, newline);
    trace.message("help: " + help);
    trace.message("version: " + version);
}

void get_server_minimap_help_and_version(std::string& help, std::string& version, std::string address,
                                         std::uint32_t timeout_ms) {
    auto trace = TraceDomain::create_trace("get_server_minimap_help_and_version");
    Message reply =
            exchange(address, timeout_ms, ipc_tools::create_query_request(ipc_tools::QueryCode::minimap_info, ""));
    if (reply.get_type() != ipc_tools::RESPONSE) {
        std::string message = "Could not retrieve minimap help from server, invalid reply: " +
                              ipc_tools::message_type_as_string(reply.get_type());
        if (reply.get_type() == ipc_tools::REQUEST_FAILED) {
            message += " " + reply_text(reply);
        }
        trace.message(message);
        throw ipc_tools::InvalidResponse(message);
    }
    split_minimap_help_and_version(reply_text(reply), help, version);
}

namespace {

// Deeper nesting than any state report has: beyond it, a server's text is refused rather than
// parsed and written back by recursion that could exhaust the caller's stack.
constexpr int MAX_JSON_NESTING = 256;

// The deepest nesting of arrays and objects in a JSON text, brackets inside strings left out.
int json_nesting_depth(const std::string& text) {
    int depth = 0;
    int deepest = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

std::string extract_server_information(const std::string& internal_state) {
    rapidjson::Document document;
    if (json_nesting_depth(internal_state) <= MAX_JSON_NESTING) {
        document.Parse(internal_state.c_str(), internal_state.size());
    }
    if (!document.IsObject() || document.HasParseError() || !document.HasMember("ServerInformation")) {
        throw std::runtime_error("ServerInformation field not found in internal state json.");
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document["ServerInformation"].Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace server_proxy
}  // namespace basecall_service
