#pragma once

// Stateless one-shot questions to a basecall server. Each query opens a private request broker
// for its single exchange, so it needs no registered client and shares nothing with other
// queries. Failures are not caught here: the link's exceptions, and ipc_tools::InvalidResponse
// for a reply of the wrong type, reach the caller.

#include "basecall_client/server_statistics.h"
#include "ipc_tools/message.h"

#include <cstdint>
#include <string>
#include <vector>

namespace basecall_service {
namespace server_proxy {

/// Tag type of the queries' trace domain.
struct Trace {};

struct BarcodeKit {
    std::string kit_name;
    std::int32_t first_index = 0;
    std::int32_t last_index = 0;
    std::int32_t first_inner_index = 0;
    std::int32_t last_inner_index = 0;
    bool is_dual = false;
    bool is_both_ends = false;
    bool suffix_12a = false;
    std::string naming_pattern;
};

struct LampKit {
    std::string kit_name;
    std::int32_t first_index = 0;
    std::int32_t last_index = 0;
    std::string naming_pattern;
    std::vector<std::string> targets;
};

std::vector<BarcodeKit> get_barcode_kits(std::string address, std::uint32_t timeout_ms);
std::vector<LampKit> get_lamp_kits(std::string address, std::uint32_t timeout_ms);
vexil::server_query::ServerStatistics get_server_statistics(std::string address, std::uint32_t timeout_ms);
/// The server's internal state, a JSON text.
std::string get_server_internal_state(std::string address, std::uint32_t timeout_ms);
/// Writes `help` and `version` only on success.
void get_server_minimap_help_and_version(std::string& help, std::string& version, std::string address,
                                         std::uint32_t timeout_ms);

/// The "ServerInformation" member of an internal-state JSON text, written compactly.
/// Throws std::runtime_error "ServerInformation field not found in internal state json." when the
/// text is not a JSON object or lacks the member.
std::string extract_server_information(const std::string& internal_state);

// Decoding helpers of the queries above. Absent lists give empty vectors, absent strings empty
// strings, absent numbers 0.
std::vector<BarcodeKit> extract_barcoding_arrangements(ipc_tools::Message& reply);
BarcodeKit create_barcode_kit(const vexil_ipc::BarcodeKitDefinition& definition);
std::vector<LampKit> extract_lamp_arrangements(ipc_tools::Message& reply);
LampKit create_lamp_kit(const vexil_ipc::LampKitDefinition& definition);
vexil::server_query::ServerStatistics get_stats_from_message(const vexil_ipc::ServerStats& stats);

/// Splits an aligner answer "help\nversion" at its last newline. Throws ipc_tools::InvalidResponse
/// when there is no newline or it is the last character; the outputs are then left unchanged.
void split_minimap_help_and_version(const std::string& text, std::string& help, std::string& version);

}  // namespace server_proxy
}  // namespace basecall_service
