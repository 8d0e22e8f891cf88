#include "python/align_results.h"

#include <pybind11/numpy.h>

namespace apps {

void register_align_results_dtype() {
    PYBIND11_NUMPY_DTYPE(AlignResults, genome, direction, genome_start, genome_end, strand_start, strand_end,
                         num_events, num_insertions, num_deletions, num_aligned, num_correct, coverage, identity,
                         accuracy, score, bed_hits, mapping_quality, secondary_alignment, supplementary_alignment);
}

}  // namespace apps
