#include "interfaces/read_alignment_helper.h"

#include "bam/bam_utils.h"
#include "data_wrappers/data_view.h"

#include <boost/filesystem/path.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace interfaces {

namespace bam_file_tags {
const std::string QSCORE_TAG = "qs:i:";
const std::string MUX_TAG = "mx:i:";
const std::string CHANNEL_TAG = "ch:i:";
const std::string READ_NUMBER_TAG = "rn:i:";
const std::string READ_START_TIME_TAG = "st:Z:";
const std::string FAST5_FILE_TAG = "f5:Z:";
const std::string NUM_SAMPLES_TAG = "ns:i:";
const std::string TRIMMED_SAMPLES_TAG = "ts:i:";
const std::string SCALING_MEDIAN_TAG = "sm:f:";
const std::string SCALING_DISPERSION_TAG = "sd:f:";
const std::string SCALING_VERSION_TAG = "sv:Z:";
const std::string DURATION_SECONDS_TAG = "du:f:";
const std::string DUPLEX_TAG = "dx:i:";
}  // namespace bam_file_tags

namespace {

using bass::data_wrappers::DataSetType;
using bass::data_wrappers::DataTable;
using bass::data_wrappers::DataView;
using bass::data_wrappers::Metadata;
using bass::data_wrappers::VecView;

constexpr std::size_t GENOME_NAME_SIZE = 253;
constexpr std::size_t SAM_MANDATORY_FIELD_SEPARATORS = 10;

// The alignment table's columns in layout order; size 0 means the type's own element size.
struct ColumnSpec {
    const char* name;
    DataSetType type;
    std::size_t size;
};

const ColumnSpec ALIGNMENT_COLUMNS[] = {
        {"Genome", DataSetType::fixed_string, GENOME_NAME_SIZE},
        {"Direction", DataSetType::int8, 0},
        {"GenomeStart", DataSetType::int32, 0},
        {"GenomeEnd", DataSetType::int32, 0},
        {"StrandStart", DataSetType::int32, 0},
        {"StrandEnd", DataSetType::int32, 0},
        {"NumEvents", DataSetType::int32, 0},
        {"NumInsertions", DataSetType::int32, 0},
        {"NumDeletions", DataSetType::int32, 0},
        {"NumAligned", DataSetType::int32, 0},
        {"NumCorrect", DataSetType::int32, 0},
        {"Coverage", DataSetType::float32, 0},
        {"Identity", DataSetType::float32, 0},
        {"Accuracy", DataSetType::float32, 0},
        {"StrandScore", DataSetType::int32, 0},
        {"BedHits", DataSetType::int32, 0},
        {"MappingQuality", DataSetType::int32, 0},
        {"IsSecondary", DataSetType::uint8, 0},
        {"IsSupplementary", DataSetType::uint8, 0},
};

// Columns copied from row 0 with their metadata keys, in the order the keys are written.
const std::pair<const char*, const char*> ROW_ZERO_INT_KEYS_BEFORE_FLOATS[] = {
        {"GenomeStart", "alignment_genome_start"},   {"GenomeEnd", "alignment_genome_end"},
        {"StrandStart", "alignment_strand_start"},   {"StrandEnd", "alignment_strand_end"},
        {"NumEvents", "alignment_num_events"},       {"NumInsertions", "alignment_num_insertions"},
        {"NumDeletions", "alignment_num_deletions"}, {"NumAligned", "alignment_num_aligned"},
        {"NumCorrect", "alignment_num_correct"},
};
const std::pair<const char*, const char*> ROW_ZERO_FLOAT_KEYS[] = {
        {"Coverage", "alignment_coverage"},
        {"Identity", "alignment_identity"},
        {"Accuracy", "alignment_accuracy"},
};
const std::pair<const char*, const char*> ROW_ZERO_INT_KEYS_AFTER_FLOATS[] = {
        {"StrandScore", "alignment_score"},
        {"MappingQuality", "alignment_mapping_quality"},
        {"BedHits", "alignment_bed_hits"},
};

template <typename T>
VecView<T> column(const DataTable& table, const std::string& name) {
    return table.view_field<T>(table.m_field_index.at(name));
}

std::string string_or_empty(const Metadata& metadata, const std::string& key) {
    const std::string* value = nullptr;
    return metadata.extract(key, value) ? *value : std::string();
}

// Float text as a default-formatted standard stream writes it: precision 6, shortest of fixed
// and scientific.
std::string float_text(float value) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value;
    return text.str();
}

std::string next_line(std::istringstream& stream) {
    std::string line;
    if (!std::getline(stream, line)) {
        line.clear();
    }
    return line;
}

const std::string& read_sequence(const ReadHolder& read) {
    const auto found = read.datasets.find(dataset::sequence);
    if (found == read.datasets.end()) {
        throw std::runtime_error("Read " + read.metadata.get<read_data::read_id>() +
                                 " does not contain a sequence! Cannot generate SAM line.");
    }
    return found->second.get_string();
}

const std::string& read_qstring(const ReadHolder& read) {
    const auto found = read.datasets.find(dataset::qstring);
    if (found == read.datasets.end()) {
        throw std::runtime_error("Read " + read.metadata.get<read_data::read_id>() +
                                 " does not contain a qstring! Cannot generate SAM line.");
    }
    return found->second.get_string();
}

// The third tab-separated field of a SAM line, or an empty text when there are fewer fields.
std::string rname_of(const std::string& sam_line) {
    const auto first = sam_line.find('\t');
    if (first == std::string::npos) {
        return {};
    }
    const auto second = sam_line.find('\t', first + 1);
    if (second == std::string::npos) {
        return {};
    }
    const auto third = sam_line.find('\t', second + 1);
    return sam_line.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1);
}

ReadAlignmentHelper::AlignmentSamLine make_unmapped_line(const ReadHolder& read) {
    const Metadata& metadata = read.metadata;
    std::string read_name = metadata.get<read_data::strand_id>();
    if (metadata.exists(read_data::duplex_strand_1::key)) {
        read_name = metadata.get<read_data::duplex_strand_1>() + ";" + metadata.get<read_data::duplex_strand_2>();
    }
    const std::string& sequence = read_sequence(read);
    const std::string& qstring = read_qstring(read);
    ReadAlignmentHelper::AlignmentSamLine line;
    std::string error;
    if (!bass::bam::util::make_unmapped_sam_line(line.sam_line, read_name, sequence, qstring, error)) {
        throw std::runtime_error("make_unmapped_sam_line failed: " + error);
    }
    return line;
}

std::string base_modification_tags(const ReadHolder& read, uint8_t threshold) {
    const Metadata& metadata = read.metadata;
    const std::string alphabet = string_or_empty(metadata, "base_mod_alphabet");
    const std::string long_names = string_or_empty(metadata, "base_mod_long_names");
    const std::string context = string_or_empty(metadata, "base_mod_context");
    const VecView<uint8_t> probs = read.datasets.at(dataset::base_mod_probs).get_vec_view<uint8_t>();
    const std::string& sequence = read_sequence(read);
    std::string tags;
    std::string error;
    if (!bass::bam::util::generate_modbase_string(tags, sequence, alphabet, long_names, context, probs, threshold,
                                                  error)) {
        throw std::runtime_error("generate_modbase_string failed: " + error);
    }
    return tags;
}

std::string move_table_tag(const ReadHolder& read) {
    const VecView<uint8_t> moves = read.datasets.at(dataset::movement).get_vec_view<uint8_t>();
    const auto stride = static_cast<int8_t>(read.metadata.get<basecall_data::model_stride>() & 0xFFu);
    std::string tag;
    std::string error;
    // An empty move table has no tag; that is not an error for the read.
    if (!bass::bam::util::generate_move_table_string(tag, moves, stride, error)) {
        return {};
    }
    return tag;
}

std::string read_tags(const Metadata& metadata) {
    namespace tags = bam_file_tags;
    std::ostringstream text;
    text.imbue(std::locale::classic());
    if (metadata.exists(basecall_data::mean_qscore::key)) {
        // SAM's i type is an integer in [-2^31, 2^32): a score that is not finite or beyond that
        // has no such text, and gets no tag.
        const double rounded = std::round(static_cast<double>(metadata.get<basecall_data::mean_qscore>()));
        if (std::isfinite(rounded) && rounded >= -2147483648.0 && rounded < 4294967296.0) {
            text << tags::QSCORE_TAG << static_cast<int64_t>(rounded) << '\t';
        }
    }
    if (metadata.exists(read_data::mux::key)) {
        text << tags::MUX_TAG << metadata.get<read_data::mux>() << '\t';
    }
    if (metadata.exists(read_data::channel::key)) {
        text << tags::CHANNEL_TAG << metadata.get<read_data::channel>() << '\t';
    }
    if (metadata.exists(read_data::read_number::key)) {
        text << tags::READ_NUMBER_TAG << metadata.get<read_data::read_number>() << '\t';
    }
    if (metadata.exists(read_data::time_stamp::key)) {
        text << tags::READ_START_TIME_TAG << metadata.get<read_data::time_stamp>() << '\t';
    }
    if (metadata.exists(read_data::filename::key)) {
        const std::string& filename = metadata.get<read_data::filename>();
        if (!filename.empty()) {
            text << tags::FAST5_FILE_TAG << boost::filesystem::path(filename).filename().string() << '\t';
        }
    }
    if (metadata.exists(read_data::duration::key)) {
        text << tags::NUM_SAMPLES_TAG << metadata.get<read_data::duration>() << '\t';
    }
    if (metadata.exists(read_data::trimmed_samples::key)) {
        text << tags::TRIMMED_SAMPLES_TAG << metadata.get<read_data::trimmed_samples>() << '\t';
    }
    if (metadata.exists(basecall_data::scaling_median::key) &&
        metadata.exists(basecall_data::scaling_med_abs_dev::key)) {
        text << tags::SCALING_MEDIAN_TAG << float_text(metadata.get<basecall_data::scaling_median>()) << '\t';
        text << tags::SCALING_DISPERSION_TAG << float_text(metadata.get<basecall_data::scaling_med_abs_dev>()) << '\t';
        const std::string* version = nullptr;
        text << tags::SCALING_VERSION_TAG
             << (metadata.extract("scaling_version", version) ? *version : std::string("med_mad")) << '\t';
    }
    if (metadata.exists(read_data::duration::key) && metadata.exists(read_data::sampling_rate::key)) {
        const float seconds =
                static_cast<float>(metadata.get<read_data::duration>()) / metadata.get<read_data::sampling_rate>();
        text << tags::DURATION_SECONDS_TAG << float_text(seconds) << '\t';
    }
    const bool is_duplex =
            metadata.exists(read_data::duplex_strand_1::key) && !metadata.get<read_data::duplex_strand_1>().empty();
    text << tags::DUPLEX_TAG << (is_duplex ? 1 : 0);
    return text.str();
}

}  // namespace

DataTable ReadAlignmentHelper::create_alignment_table(std::size_t rows) {
    DataTable table;
    for (const auto& spec : ALIGNMENT_COLUMNS) {
        table.add_field(spec.name, spec.type, spec.size);
    }
    table.allocate_rows(rows);
    return table;
}

DataTable ReadAlignmentHelper::create_alignment_table_from_read_holder(const ReadHolder& read) {
    const auto found = read.datasets.find(dataset::align_results);
    if (found == read.datasets.end()) {
        throw std::runtime_error("Could not find align results in read holder");
    }
    const DataView& view = found->second;
    if (view.m_info.type != DataSetType::table) {
        throw std::runtime_error("Align results dataset does not hold a table.");
    }
    DataTable table;
    for (const auto& field : view.m_info.fields) {
        table.add_field(field.name, field.type, field.size);
    }
    const uint64_t rows = view.m_info.size;
    if (rows > 0) {
        // Rows are allocated at a multiple of 8 bytes.
        const uint64_t row_size = (table.m_row_size + 7) / 8 * 8;
        // The view's own description must match the layout rebuilt from its fields, or the copy
        // would read past the view's buffer.
        if (view.m_info.type_size != row_size) {
            throw std::runtime_error("Align results row size " + std::to_string(view.m_info.type_size) +
                                     " does not match its column layout (" + std::to_string(row_size) + " bytes).");
        }
        // Rows of no columns hold no bytes, so there is nothing to check or copy.
        if (row_size > 0 && (view.m_data == nullptr || rows > std::numeric_limits<uint64_t>::max() / row_size)) {
            throw std::runtime_error("Align results dataset claims " + std::to_string(rows) +
                                     " rows that it does not hold.");
        }
        const auto* owner = dynamic_cast<const DataView::OwnerType<DataTable>*>(view.m_owner.get());
        if (row_size > 0 && owner != nullptr) {
            const DataTable& source = const_cast<DataView::OwnerType<DataTable>*>(owner)->get();
            if (source.m_num_rows < rows || source.m_row_size != row_size || source.m_data.size() < rows * row_size) {
                throw std::runtime_error("Align results dataset claims " + std::to_string(rows) +
                                         " rows, its table holds " + std::to_string(source.m_num_rows) + ".");
            }
        }
    }
    table.allocate_rows(rows);
    const auto* bytes = static_cast<const uint8_t*>(view.m_data);
    if (rows > 0) {
        std::copy(bytes, bytes + rows * table.m_row_size, table.m_data.begin());
    }
    return table;
}

void ReadAlignmentHelper::copy_alignment_results_to_metadata(ReadHolder& read) {
    const DataTable table = create_alignment_table_from_read_holder(read);
    Metadata& metadata = read.metadata;

    // Every column is found before anything is written.
    const std::size_t genome_index = table.m_field_index.at("Genome");
    const auto direction = column<int8_t>(table, "Direction");
    const auto genome_start = column<int32_t>(table, "GenomeStart");
    const auto secondary = column<uint8_t>(table, "IsSecondary");
    const auto supplementary = column<uint8_t>(table, "IsSupplementary");
    std::vector<std::pair<VecView<int32_t>, const char*>> ints_before;
    std::vector<std::pair<VecView<float>, const char*>> floats;
    std::vector<std::pair<VecView<int32_t>, const char*>> ints_after;
    for (const auto& [name, key] : ROW_ZERO_INT_KEYS_BEFORE_FLOATS) {
        ints_before.emplace_back(column<int32_t>(table, name), key);
    }
    for (const auto& [name, key] : ROW_ZERO_FLOAT_KEYS) {
        floats.emplace_back(column<float>(table, name), key);
    }
    for (const auto& [name, key] : ROW_ZERO_INT_KEYS_AFTER_FLOATS) {
        ints_after.emplace_back(column<int32_t>(table, name), key);
    }

    // Without rows there is no first alignment to describe; only the counts are written.
    if (table.m_num_rows > 0) {
        metadata.insert("alignment_genome", table.get_string(genome_index, 0));
        metadata.insert("alignment_direction", std::string(1, static_cast<char>(direction[0])));
        for (const auto& [values, key] : ints_before) {
            metadata.insert(key, values[0]);
        }
        for (const auto& [values, key] : floats) {
            metadata.insert(key, values[0]);
        }
        for (const auto& [values, key] : ints_after) {
            metadata.insert(key, values[0]);
        }
    }

    int32_t num_alignments = 0;
    int32_t num_secondary = 0;
    int32_t num_supplementary = 0;
    for (std::size_t row = 0; row < table.m_num_rows; ++row) {
        num_alignments += genome_start[row] != 0 ? 1 : 0;
        num_secondary += secondary[row] != 0 ? 1 : 0;
        num_supplementary += supplementary[row] != 0 ? 1 : 0;
    }
    metadata.insert("alignment_num_alignments", num_alignments);
    metadata.insert("alignment_num_secondary_alignments", num_secondary);
    metadata.insert("alignment_num_supplementary_alignments", num_supplementary);
}

bool ReadAlignmentHelper::read_holder_contains_alignment_data(const ReadHolder& read) {
    return read.datasets.count(dataset::align_results) != 0;
}

std::vector<ReadAlignmentHelper::AlignmentSamLine>
ReadAlignmentHelper::extract_alignment_sam_and_bed_lines_from_read_holder(const ReadHolder& read) {
    std::vector<AlignmentSamLine> lines;
    if (!read_holder_contains_alignment_data(read)) {
        return lines;
    }
    const DataTable table = create_alignment_table_from_read_holder(read);
    const auto bed_hits = column<int32_t>(table, "BedHits");
    std::istringstream sam_stream(string_or_empty(read.metadata, "alignment_sam_record"));
    std::istringstream bed_stream(string_or_empty(read.metadata, "alignment_bed_lines"));
    for (std::size_t row = 0; row < table.m_num_rows; ++row) {
        AlignmentSamLine line;
        line.sam_line = next_line(sam_stream);
        // The count is the server's word: it takes lines while the BED text has them, so a count
        // beyond them cannot make the list grow without bound.
        for (int32_t hit = 0; hit < bed_hits[row] && bed_stream.peek() != std::char_traits<char>::eof(); ++hit) {
            line.bed_lines.push_back(next_line(bed_stream));
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<ReadAlignmentHelper::AlignmentSamLine> ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(
        const ReadHolder& read, uint8_t threshold, bool with_moves) {
    std::vector<AlignmentSamLine> lines;
    if (read_holder_contains_alignment_data(read)) {
        lines = extract_alignment_sam_and_bed_lines_from_read_holder(read);
    }
    if (!lines.empty()) {
        const std::string& first = lines.front().sam_line;
        if (static_cast<std::size_t>(std::count(first.begin(), first.end(), '\t')) < SAM_MANDATORY_FIELD_SEPARATORS) {
            throw std::runtime_error("Malformed alignment SAM line: \n" + first);
        }
        // The server reports an unaligned read with RNAME "*"; it gets our own unmapped line.
        if (rname_of(first) == "*") {
            lines.clear();
        }
    }
    if (lines.empty()) {
        lines.push_back(make_unmapped_line(read));
    }
    std::string& first_line = lines.front().sam_line;

    if (read.datasets.count(dataset::base_mod_probs) != 0) {
        const std::string tags = base_modification_tags(read, threshold);
        if (!tags.empty()) {
            first_line += '\t' + tags;
        }
    }
    if (with_moves && read.datasets.count(dataset::movement) != 0) {
        const std::string tag = move_table_tag(read);
        if (!tag.empty()) {
            first_line += '\t' + tag;
        }
    }
    first_line += '\t' + read_tags(read.metadata);
    return lines;
}

void ReadAlignmentHelper::append_bed_text(std::string& bed_lines, const std::string& alignment_bed_text) {
    std::string text = alignment_bed_text;
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    if (text.empty()) {
        return;
    }
    if (!bed_lines.empty()) {
        bed_lines += '\n';
    }
    bed_lines += text;
}

}  // namespace interfaces
