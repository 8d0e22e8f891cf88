#pragma once

// Stateless one-shot questions to a basecall server, needing no client: its barcode and LAMP
// kits, read statistics, general information, internal state and aligner help. Each opens a link
// of its own for one exchange and returns a code; no transport error escapes as an exception, and
// a failed query leaves its outputs as they were. `timeout_ms` bounds the whole query: a server
// that does not answer within it (or no server at the address) gives timed_out after about
// `timeout_ms`, without retries.

#include "basecall_client/server_statistics.h"
#include "client_api/export.h"
#include "client_api/result.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vexil {
namespace server_query {

/// A barcode kit as a server describes it, with the names of its barcodes. Copies share one
/// immutable body.
class VEXIL_EXPORT BarcodeKitDefinition {
public:
    class KitDefinitionImpl;

    BarcodeKitDefinition(std::string kit_name, int first_index, int last_index, int first_inner_index,
                         int last_inner_index, bool is_dual, bool is_both_ends, bool suffix_12a,
                         std::string naming_pattern);

    std::string kit_name() const;
    int first_index() const;
    int last_index() const;
    int first_inner_index() const;
    int last_inner_index() const;
    bool is_dual() const;
    bool is_both_ends() const;

    /// The name of a barcode: the naming pattern filled with `outer_index` (with "a" after 12 in
    /// kits that say so), or for dual kits "barcode_external<outer>_internal<inner>". A kit without
    /// a valid outer range gives its naming pattern unchanged. std::out_of_range for an index
    /// outside the kit's ranges.
    std::string generate_barcode_name(int outer_index, int inner_index) const;

private:
    std::shared_ptr<const KitDefinitionImpl> m_impl;
};

/// A LAMP kit as a server describes it, with the names of its barcodes.
class VEXIL_EXPORT LampKitDefinition {
public:
    class LampKitDefinitionImpl;

    LampKitDefinition(std::string kit_name, int first_index, int last_index, std::string naming_pattern,
                      std::vector<std::string> targets);

    std::string kit_name() const;
    int first_index() const;
    int last_index() const;
    /// Valid while any copy of this definition lives.
    const std::vector<std::string>& targets() const;

    /// The naming pattern filled with `index`; the pattern itself for a kit without a valid range.
    /// std::out_of_range for an index outside the range.
    std::string generate_barcode_name(int index) const;

private:
    std::shared_ptr<const LampKitDefinitionImpl> m_impl;
};

/// Appends the server's barcode kits, in its order.
VEXIL_EXPORT Result get_barcode_kits(std::vector<BarcodeKitDefinition>& kits, std::string address,
                                     std::uint32_t timeout_ms);
/// Appends the server's LAMP kits, in its order.
VEXIL_EXPORT Result get_lamp_kits(std::vector<LampKitDefinition>& kits, std::string address, std::uint32_t timeout_ms);
/// Overwrites the four counters and appends the per-client counts.
VEXIL_EXPORT Result get_server_statistics(ServerStatistics& stats, std::string address, std::uint32_t timeout_ms);
/// The "ServerInformation" part of the server's internal state, as compact JSON.
VEXIL_EXPORT Result get_server_information(std::string& info, std::string address, std::uint32_t timeout_ms);
/// The server's internal state, a JSON text.
VEXIL_EXPORT Result get_server_internal_state(std::string& state, std::string address, std::uint32_t timeout_ms);
/// The server aligner's help text and version. A failure is also logged as an error.
VEXIL_EXPORT Result get_server_minimap_help(std::string& help, std::string& version, std::string address,
                                            std::uint32_t timeout_ms);

}  // namespace server_query
}  // namespace vexil
