#pragma once

#include "reference_server/alignment_index.h"
#include "reference_server/barcode_kits.h"
#include "reference_server/signal_model.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace reference_server {

/// The identifying fields of a read as the client sent them.
struct ReadIdentity {
    std::uint32_t read_tag = 0;
    std::uint32_t sub_tag = 0;
    std::string read_id;
    std::string strand_id;
    std::uint32_t duration = 0;
    float daq_offset = 0.0F;
    float daq_scaling = 0.0F;
    std::uint64_t start_time = 0;
    std::uint64_t num_dravik_events = 0;
};

/// One read basecalled by the server, waiting to be returned.
struct CalledRead {
    ReadIdentity identity;
    CalledSequence called;
    std::uint32_t model_stride = 0;
    std::string model_version_id;
    std::uint32_t num_blocks = 1;                    ///< blocks it is returned in
    std::vector<AlignmentHit> alignments;            ///< empty without an index
    std::optional<BarcodeClassification> barcoding;  ///< set when the client asked for kits
    /// Parts split from the read (sub_tag 1..k), returned besides it; empty for a whole read.
    std::vector<CalledRead> sub_reads;
};

/// What one called block carries besides the sequence.
struct BlockContent {
    bool with_moves_and_trace = false;
    bool with_state_data = false;
};

/// Corruptions a fault rule can apply to a returned read.
struct ReadCorruption {
    bool unknown_tag = false;
    bool zero_duration = false;
    bool oversized_genome_name = false;
    // A GET_NEXT_CALLED_BLOCK is answered with the later block sent before (as a reply repeated on
    // its way would be); the block asked for stays next. Leaves the first reply alone.
    bool repeated_block = false;
    // The first reply is changed.
    bool any() const { return unknown_tag || zero_duration || oversized_genome_name; }
};

}  // namespace reference_server
