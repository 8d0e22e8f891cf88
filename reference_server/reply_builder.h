#pragma once

#include "ipc_tools/message.h"
#include "reference_server/barcode_kits.h"
#include "reference_server/called_read.h"
#include "reference_server/server_options.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace reference_server {

/// Builders of the server's structured replies. Every reply carries the client id it answers.
namespace reply_builder {

ipc_tools::Message simple(ipc_tools::MessageType type, const std::string& client_id, std::uint32_t value = 0,
                          const std::string& text = {});

ipc_tools::Message configurations(const std::string& client_id, const std::vector<BasecallConfiguration>& configs);

/// (index name, SAM header) pairs.
ipc_tools::Message alignment_indices(const std::string& client_id,
                                     const std::vector<std::pair<std::string, std::string>>& indices);

ipc_tools::Message barcode_kits(const std::string& client_id, const std::vector<BarcodeKit>& kits);
ipc_tools::Message lamp_kits(const std::string& client_id, const std::vector<LampKit>& kits);

struct Statistics {
    std::uint64_t lifetime_reads_in = 0;
    std::uint64_t lifetime_reads_out = 0;
    std::uint64_t period_reads_in = 0;
    std::uint64_t period_reads_out = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> clients;  ///< (in, out) per client
};
ipc_tools::Message statistics(const std::string& client_id, const Statistics& stats);

/// Block `block_index` of a called read (RETURN_FIRST_CALLED_BLOCK for block 0, else
/// RETURN_NEXT_CALLED_BLOCK). The events are shared out evenly over `read.num_blocks` blocks.
/// Its sub-reads are not included; each is returned as a read of its own.
ipc_tools::Message called_block(const std::string& client_id, const CalledRead& read, std::uint32_t block_index,
                                const BlockContent& content, const ReadCorruption& corruption);

/// RETURN_COMPLETED_BATCH with every read, and every sub-read split from it, as a single block:
/// a read of even tag is listed before its sub-reads, one of odd tag after them.
ipc_tools::Message completed_batch(const std::string& client_id, const std::vector<CalledRead>& reads,
                                   const BlockContent& content, const ReadCorruption& corruption);

/// Raw frames for the malformed-reply faults.
std::vector<std::uint8_t> malformed_short_frame();
std::vector<std::uint8_t> malformed_identifier_frame();
std::vector<std::uint8_t> malformed_content_frame();

}  // namespace reply_builder

}  // namespace reference_server
