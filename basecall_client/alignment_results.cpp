#include "basecall_client/alignment_results.h"

#include "interfaces/read_alignment_helper.h"

#include <cstdint>
#include <string>
#include <utility>

namespace basecall_service {

namespace {

using bass::data_wrappers::DataTable;
using bass::data_wrappers::DataView;
using interfaces::ReadAlignmentHelper;

std::string text_of(const flatbuffers::String* text) { return text == nullptr ? std::string() : text->str(); }

// Writes one cell of a numeric column, located by name.
template <typename T>
void set_cell(const DataTable& table, const char* column, std::size_t row, T value) {
    table.view_field<T>(table.get_field_index(column))[row] = value;
}

// Unsigned wire values are stored unchanged in the table's int32 cells.
int32_t as_int32(uint32_t value) { return static_cast<int32_t>(value); }

void fill_row(DataTable& table, std::size_t row, const vexil_ipc::AlignmentResults& entry, const std::string& genome) {
    table.set_string(table.get_field_index("Genome"), row, genome);
    set_cell<int8_t>(table, "Direction", row, static_cast<int8_t>(entry.Direction()));
    set_cell<int32_t>(table, "GenomeStart", row, as_int32(entry.GenomeStart()));
    set_cell<int32_t>(table, "GenomeEnd", row, as_int32(entry.GenomeEnd()));
    set_cell<int32_t>(table, "StrandStart", row, as_int32(entry.StrandStart()));
    set_cell<int32_t>(table, "StrandEnd", row, as_int32(entry.StrandEnd()));
    set_cell<int32_t>(table, "NumEvents", row, as_int32(entry.NumEvents()));
    set_cell<int32_t>(table, "NumInsertions", row, as_int32(entry.NumInsertions()));
    set_cell<int32_t>(table, "NumDeletions", row, as_int32(entry.NumDeletions()));
    set_cell<int32_t>(table, "NumAligned", row, as_int32(entry.NumAligned()));
    set_cell<int32_t>(table, "NumCorrect", row, as_int32(entry.NumCorrect()));
    set_cell<float>(table, "Coverage", row, entry.Coverage());
    set_cell<float>(table, "Identity", row, entry.Identity());
    set_cell<float>(table, "Accuracy", row, entry.Accuracy());
    set_cell<int32_t>(table, "StrandScore", row, as_int32(entry.StrandScore()));
    set_cell<int32_t>(table, "BedHits", row, as_int32(entry.BedHits()));
    set_cell<int32_t>(table, "MappingQuality", row, as_int32(entry.MappingQuality()));
    set_cell<uint8_t>(table, "IsSecondary", row, entry.IsSecondary() ? 1 : 0);
    set_cell<uint8_t>(table, "IsSupplementary", row, entry.IsSupplementary() ? 1 : 0);
}

}  // namespace

bool write_alignment_results(const AlignmentResultsVector* alignments, interfaces::ReadHolder& holder,
                             ErrorState& error_state) {
    if (alignments == nullptr || alignments->size() == 0) {
        return true;
    }

    DataTable table = ReadAlignmentHelper::create_alignment_table(alignments->size());
    std::string sam_record;
    std::string bed_lines;
    for (flatbuffers::uoffset_t row = 0; row < alignments->size(); ++row) {
        const auto& entry = *alignments->Get(row);
        const std::string genome = text_of(entry.Genome());
        if (genome.size() >= MAX_ALIGNMENT_GENOME_NAME_SIZE) {
            error_state = {ConnectionError::bad_reply, "Alignment genome name " + genome +
                                                               " exceeds maximum allowed size of " +
                                                               std::to_string(MAX_ALIGNMENT_GENOME_NAME_SIZE)};
            return false;
        }
        fill_row(table, row, entry, genome);

        if (row > 0) {
            sam_record += '\n';
        }
        sam_record += text_of(entry.sam_record());
        // Each alignment's BED lines must stay findable by its BedHits count, so texts are joined
        // only between non-empty entries: an alignment without hits adds no empty line.
        ReadAlignmentHelper::append_bed_text(bed_lines, text_of(entry.bed_lines()));
    }

    // Only separators: every entry's SAM line was empty.
    if (sam_record.find_first_not_of('\n') != std::string::npos) {
        holder.metadata.insert("alignment_sam_record", sam_record);
    }
    if (!bed_lines.empty()) {
        holder.metadata.insert("alignment_bed_lines", bed_lines);
    }
    holder.set_dataset(dataset::align_results, table, true);
    ReadAlignmentHelper::copy_alignment_results_to_metadata(holder);
    return true;
}

}  // namespace basecall_service
