#pragma once

#include <cstddef>
#include <cstdint>

namespace apps {

/// One row of the alignment table (dataset align_results) exactly as the table lays it out, so that
/// a row copies byte for byte into a numpy record of this type.
struct AlignResults {
    char genome[254];
    char direction[2];
    int32_t genome_start;
    int32_t genome_end;
    int32_t strand_start;
    int32_t strand_end;
    int32_t num_events;
    int32_t num_insertions;
    int32_t num_deletions;
    int32_t num_aligned;
    int32_t num_correct;
    float coverage;
    float identity;
    float accuracy;
    int32_t score;
    int32_t bed_hits;
    int32_t mapping_quality;
    uint8_t secondary_alignment;
    uint8_t supplementary_alignment;
};

static_assert(sizeof(AlignResults) == 320, "an alignment record is one 320-byte table row");
static_assert(offsetof(AlignResults, genome_start) == 256, "alignment record layout");
static_assert(offsetof(AlignResults, coverage) == 292, "alignment record layout");
static_assert(offsetof(AlignResults, secondary_alignment) == 316, "alignment record layout");

/// Registers the numpy record type of AlignResults; called once from the module body.
void register_align_results_dtype();

}  // namespace apps
