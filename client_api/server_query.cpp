#include "client_api/server_query.h"

#include "basecall_client/server_proxy.h"
#include "client_api/get_result.h"
#include "client_api/kit_conversion.h"
#include "common/diagnostics/tracing/trace_domain.h"
#include "common/logger.h"

#include <utility>

namespace vexil {
namespace server_query {

/// Tag type of the queries' trace domain.
struct Trace {};

namespace {

using Domain = common::diagnostics::tracing::TraceDomain<Trace>;
namespace proxy = basecall_service::server_proxy;

common::diagnostics::tracing::Trace open_trace(const char* name, const std::string& address, std::uint32_t timeout_ms) {
    auto trace = Domain::create_trace(name);
    trace.message("address: " + address);
    trace.message("timeout: " + std::to_string(timeout_ms));
    return trace;
}

void ignore_error(const std::string&) {}

void log_minimap_help_error(const std::string& text) {
    ZEV_LOG_WITH_FUNCTION(common::logging::error, "vexil::server_query::get_server_minimap_help") << text;
}

}  // namespace

Result get_barcode_kits(std::vector<BarcodeKitDefinition>& kits, std::string address, std::uint32_t timeout_ms) {
    const auto trace = open_trace("get_barcode_kits", address, timeout_ms);
    return get_result(
            [&] {
                const auto found = proxy::get_barcode_kits(address, timeout_ms);
                std::vector<BarcodeKitDefinition> converted;
                converted.reserve(found.size());
                for (const auto& kit : found) {
                    converted.push_back(create_barcode_kit_definition(kit));
                }
                kits.insert(kits.end(), converted.begin(), converted.end());
                return Result::success;
            },
            ignore_error);
}

Result get_lamp_kits(std::vector<LampKitDefinition>& kits, std::string address, std::uint32_t timeout_ms) {
    const auto trace = open_trace("get_lamp_kits", address, timeout_ms);
    return get_result(
            [&] {
                const auto found = proxy::get_lamp_kits(address, timeout_ms);
                std::vector<LampKitDefinition> converted;
                converted.reserve(found.size());
                for (const auto& kit : found) {
                    converted.push_back(create_lamp_kit_definition(kit));
                }
                kits.insert(kits.end(), converted.begin(), converted.end());
                return Result::success;
            },
            ignore_error);
}

Result get_server_statistics(ServerStatistics& stats, std::string address, std::uint32_t timeout_ms) {
    const auto trace = open_trace("get_server_statistics", address, timeout_ms);
    return get_result(
            [&] {
                const auto found = proxy::get_server_statistics(address, timeout_ms);
                stats.lifetime_reads_in = found.lifetime_reads_in;
                stats.lifetime_reads_out = found.lifetime_reads_out;
                stats.period_reads_in = found.period_reads_in;
                stats.period_reads_out = found.period_reads_out;
                stats.client_statistics.insert(stats.client_statistics.end(), found.client_statistics.begin(),
                                               found.client_statistics.end());
                return Result::success;
            },
            ignore_error);
}

Result get_server_information(std::string& info, std::string address, std::uint32_t timeout_ms) {
    const auto trace = open_trace("get_server_information", address, timeout_ms);
    return get_result(
            [&] {
                info = proxy::extract_server_information(proxy::get_server_internal_state(address, timeout_ms));
                return Result::success;
            },
            ignore_error);
}

Result get_server_internal_state(std::string& state, std::string address, std::uint32_t timeout_ms) {
    const auto trace = open_trace("get_server_internal_state", address, timeout_ms);
    return get_result(
            [&] {
                state = proxy::get_server_internal_state(address, timeout_ms);
                return Result::success;
            },
            ignore_error);
}

Result get_server_minimap_help(std::string& help, std::string& version, std::string address, std::uint32_t timeout_ms) {
    const auto trace = open_trace("get_server_minimap_help", address, timeout_ms);
    return get_result(
            [&] {
                proxy::get_server_minimap_help_and_version(help, version, address, timeout_ms);
                return Result::success;
            },
            log_minimap_help_error);
}

}  // namespace server_query
}  // namespace vexil
