#pragma once

#include "data_wrappers/data_table.h"
#include "interfaces/read_holder.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace interfaces {

/// Prefixes of the read tags written on the first SAM line of a read.
namespace bam_file_tags {
extern const std::string QSCORE_TAG;
extern const std::string MUX_TAG;
extern const std::string CHANNEL_TAG;
extern const std::string READ_NUMBER_TAG;
extern const std::string READ_START_TIME_TAG;
extern const std::string FAST5_FILE_TAG;
extern const std::string NUM_SAMPLES_TAG;
extern const std::string TRIMMED_SAMPLES_TAG;
extern const std::string SCALING_MEDIAN_TAG;
extern const std::string SCALING_DISPERSION_TAG;
extern const std::string SCALING_VERSION_TAG;
extern const std::string DURATION_SECONDS_TAG;
extern const std::string DUPLEX_TAG;
}  // namespace bam_file_tags

/// The alignment results of a read (a 19-column table of 320-byte rows in dataset align_results,
/// one row per alignment), their summary in the read's metadata, and the read's SAM and BED lines.
/// Stateless; nothing here changes a read except copy_alignment_results_to_metadata.
class ReadAlignmentHelper {
public:
    /// One alignment of a read: its SAM record line and the BED lines the server produced for it,
    /// all without line terminators.
    struct AlignmentSamLine {
        std::string sam_line;
        std::vector<std::string> bed_lines;
    };

    /// The alignment table with `rows` zero-filled rows.
    static bass::data_wrappers::DataTable create_alignment_table(std::size_t rows);

    /// A copy of the read's align_results table. Throws std::runtime_error when the read has none,
    /// when the dataset is not a table, or when its rows do not match its column layout.
    static bass::data_wrappers::DataTable create_alignment_table_from_read_holder(const ReadHolder& read);

    /// Writes the "alignment_" summary keys: the values of the first alignment and the counts of
    /// primary, secondary and supplementary alignments. A table without rows writes only the
    /// three counts, as 0.
    static void copy_alignment_results_to_metadata(ReadHolder& read);

    /// True when the read holds the align_results dataset.
    static bool read_holder_contains_alignment_data(const ReadHolder& read);

    /// The server's SAM lines ("alignment_sam_record") and BED lines ("alignment_bed_lines")
    /// split per alignment, using each row's "BedHits" count; empty without align_results.
    static std::vector<AlignmentSamLine> extract_alignment_sam_and_bed_lines_from_read_holder(const ReadHolder& read);

    /// The complete SAM lines of a read: the server's alignment lines, or one unmapped line when
    /// the read has no usable alignment. The first line carries the MM/ML tags (probabilities at
    /// or above `threshold`, 0-255), the mv tag when `with_moves` is set, and the read tags.
    static std::vector<AlignmentSamLine> extract_sam_and_bed_lines_from_read_holder(const ReadHolder& read,
                                                                                    uint8_t threshold, bool with_moves);

    /// Appends the BED text of one alignment to the BED lines of a read ("alignment_bed_lines").
    /// A line feed separates non-empty texts only, and trailing line feeds of a text are dropped,
    /// so that splitting by each alignment's BED line count gives every alignment its own lines.
    static void append_bed_text(std::string& bed_lines, const std::string& alignment_bed_text);
};

}  // namespace interfaces
