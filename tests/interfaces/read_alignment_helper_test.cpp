#include "interfaces/read_alignment_helper.h"

#include "tests/bam/sam_test_utils.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using bass::data_wrappers::DataSetType;
using bass::data_wrappers::DataTable;
using bass::data_wrappers::DataView;
using bass::data_wrappers::MatView;
using interfaces::ReadAlignmentHelper;
using interfaces::ReadHolder;
using vexil_test::mm_and_ml_agree;
using vexil_test::samtools_accepts;

namespace {

std::vector<std::string> sam_lines_of(const std::vector<ReadAlignmentHelper::AlignmentSamLine>& lines) {
    std::vector<std::string> result;
    for (const auto& line : lines) {
        result.push_back(line.sam_line);
    }
    return result;
}

template <typename T>
void set_cell(DataTable& table, const std::string& column, std::size_t row, T value) {
    table.view_field<T>(table.m_field_index.at(column))[row] = value;
}

void add_string(ReadHolder& read, dataset id, std::string text) {
    read.datasets.emplace(id, DataView(std::move(text)));
}

void add_alignment_table(ReadHolder& read, DataTable table) {
    read.datasets.emplace(dataset::align_results, DataView(table, true));
}

ReadHolder make_called_read(const std::string& sequence = "ACGTACGT", const std::string& qstring = "++++5555") {
    ReadHolder read;
    read.metadata.insert("read_id", std::string("read-0001"));
    read.metadata.insert("strand_id", std::string("strand-0001"));
    add_string(read, dataset::sequence, sequence);
    add_string(read, dataset::qstring, qstring);
    return read;
}

std::string runtime_error_text(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no error>";
}

// Table layout and copies -----------------------------------------------------------------------

TEST(AlignmentTableTest, LayoutOfNineteenColumnsIn320ByteRows) {
    const DataTable empty = ReadAlignmentHelper::create_alignment_table(0);
    ASSERT_EQ(empty.m_fields.size(), 19u);
    EXPECT_EQ(empty.m_row_size, 320u);
    EXPECT_EQ(empty.m_num_rows, 0u);
    EXPECT_TRUE(empty.m_data.empty());

    const std::vector<std::pair<std::string, uint64_t>> expected{
            {"Genome", 0},           {"Direction", 254},   {"GenomeStart", 256},     {"GenomeEnd", 260},
            {"StrandStart", 264},    {"StrandEnd", 268},   {"NumEvents", 272},       {"NumInsertions", 276},
            {"NumDeletions", 280},   {"NumAligned", 284},  {"NumCorrect", 288},      {"Coverage", 292},
            {"Identity", 296},       {"Accuracy", 300},    {"StrandScore", 304},     {"BedHits", 308},
            {"MappingQuality", 312}, {"IsSecondary", 316}, {"IsSupplementary", 317},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(empty.m_fields[i].name, expected[i].first);
        EXPECT_EQ(empty.m_fields[i].offset, expected[i].second) << expected[i].first;
    }
    EXPECT_EQ(empty.m_fields[0].type, DataSetType::fixed_string);
    EXPECT_EQ(empty.m_fields[0].size, 253u);
    EXPECT_EQ(empty.m_fields[1].type, DataSetType::int8);
    EXPECT_EQ(empty.m_fields[11].type, DataSetType::float32);
    EXPECT_EQ(empty.m_fields[18].type, DataSetType::uint8);

    const DataTable two = ReadAlignmentHelper::create_alignment_table(2);
    EXPECT_EQ(two.m_data, std::vector<uint8_t>(640, 0));
}

TEST(AlignmentTableTest, CopyFromReadEqualsOriginal) {
    DataTable table = ReadAlignmentHelper::create_alignment_table(3);
    table.set_string(table.m_field_index.at("Genome"), 2, "chr2");
    set_cell<int32_t>(table, "GenomeEnd", 1, 777);
    set_cell<float>(table, "Accuracy", 0, 0.5f);
    const DataTable original = table;

    ReadHolder read;
    EXPECT_EQ(runtime_error_text([&] { ReadAlignmentHelper::create_alignment_table_from_read_holder(read); }),
              "Could not find align results in read holder");
    EXPECT_FALSE(ReadAlignmentHelper::read_holder_contains_alignment_data(read));
    add_alignment_table(read, std::move(table));
    EXPECT_TRUE(ReadAlignmentHelper::read_holder_contains_alignment_data(read));

    const DataTable copy = ReadAlignmentHelper::create_alignment_table_from_read_holder(read);
    EXPECT_EQ(copy.m_fields, original.m_fields);
    EXPECT_EQ(copy.m_field_index, original.m_field_index);
    EXPECT_EQ(copy.m_row_size, 320u);
    EXPECT_EQ(copy.m_num_rows, 3u);
    EXPECT_EQ(copy.m_data, original.m_data);
}

TEST(AlignmentTableTest, ViewsThatMisdescribeTheirRowsAreRefused) {
    {
        ReadHolder read;
        add_alignment_table(read, ReadAlignmentHelper::create_alignment_table(2));
        read.datasets.at(dataset::align_results).m_info.size = 5;  // more rows than the table holds
        EXPECT_THROW(ReadAlignmentHelper::create_alignment_table_from_read_holder(read), std::runtime_error);
        EXPECT_THROW(ReadAlignmentHelper::copy_alignment_results_to_metadata(read), std::runtime_error);
        EXPECT_TRUE(read.metadata.empty());
    }
    {
        ReadHolder read;
        add_alignment_table(read, ReadAlignmentHelper::create_alignment_table(2));
        read.datasets.at(dataset::align_results).m_info.type_size = 640;
        EXPECT_THROW(ReadAlignmentHelper::create_alignment_table_from_read_holder(read), std::runtime_error);
    }
    {
        // A borrowed table view with rows but no data.
        ReadHolder read;
        DataTable table = ReadAlignmentHelper::create_alignment_table(0);
        add_alignment_table(read, std::move(table));
        auto& view = read.datasets.at(dataset::align_results);
        view.m_info.size = 1;
        view.m_info.type_size = 320;
        EXPECT_THROW(ReadAlignmentHelper::create_alignment_table_from_read_holder(read), std::runtime_error);
    }
    {
        ReadHolder read;
        add_string(read, dataset::align_results, "not a table");
        EXPECT_THROW(ReadAlignmentHelper::create_alignment_table_from_read_holder(read), std::runtime_error);
    }
}

TEST(AlignmentMetadataTest, RowZeroValuesAndCounts) {
    DataTable table = ReadAlignmentHelper::create_alignment_table(3);
    table.set_string(table.m_field_index.at("Genome"), 0, "chr1");
    table.set_string(table.m_field_index.at("Genome"), 1, "chr9");
    set_cell<int8_t>(table, "Direction", 0, '-');
    set_cell<int32_t>(table, "GenomeStart", 0, 0);  // not counted, yet copied
    set_cell<int32_t>(table, "GenomeStart", 1, 1000);
    const char* int_columns[] = {"GenomeEnd",     "StrandStart",  "StrandEnd",     "NumEvents",
                                 "NumInsertions", "NumDeletions", "NumAligned",    "NumCorrect",
                                 "StrandScore",   "BedHits",      "MappingQuality"};
    int32_t value = 10;
    for (const char* name : int_columns) {
        set_cell<int32_t>(table, name, 0, value++);
    }
    set_cell<float>(table, "Coverage", 0, 0.75f);
    set_cell<float>(table, "Identity", 0, 0.875f);
    set_cell<float>(table, "Accuracy", 0, 0.5f);
    set_cell<uint8_t>(table, "IsSecondary", 1, 1);
    set_cell<uint8_t>(table, "IsSecondary", 2, 7);
    set_cell<uint8_t>(table, "IsSupplementary", 2, 1);

    ReadHolder read;
    add_alignment_table(read, std::move(table));
    ReadAlignmentHelper::copy_alignment_results_to_metadata(read);
    const auto first = read.metadata;
    ReadAlignmentHelper::copy_alignment_results_to_metadata(read);
    EXPECT_EQ(read.metadata, first);
    EXPECT_EQ(read.metadata.size(), 20u);

    const auto& md = read.metadata;
    EXPECT_EQ(md.get_value<std::string>("alignment_genome"), "chr1");
    EXPECT_EQ(md.get_value<std::string>("alignment_direction"), "-");
    EXPECT_EQ(md.get_value<int32_t>("alignment_genome_start"), 0);
    EXPECT_EQ(md.get_value<int32_t>("alignment_genome_end"), 10);
    EXPECT_EQ(md.get_value<int32_t>("alignment_strand_start"), 11);
    EXPECT_EQ(md.get_value<int32_t>("alignment_strand_end"), 12);
    EXPECT_EQ(md.get_value<int32_t>("alignment_num_events"), 13);
    EXPECT_EQ(md.get_value<int32_t>("alignment_num_insertions"), 14);
    EXPECT_EQ(md.get_value<int32_t>("alignment_num_deletions"), 15);
    EXPECT_EQ(md.get_value<int32_t>("alignment_num_aligned"), 16);
    EXPECT_EQ(md.get_value<int32_t>("alignment_num_correct"), 17);
    EXPECT_EQ(md.get_value<int32_t>("alignment_score"), 18);
    EXPECT_EQ(md.get_value<int32_t>("alignment_bed_hits"), 19);
    EXPECT_EQ(md.get_value<int32_t>("alignment_mapping_quality"), 20);
    EXPECT_FLOAT_EQ(md.get_value<float>("alignment_coverage"), 0.75f);
    EXPECT_FLOAT_EQ(md.get_value<float>("alignment_identity"), 0.875f);
    EXPECT_FLOAT_EQ(md.get_value<float>("alignment_accuracy"), 0.5f);
    EXPECT_EQ(md.get_value<int32_t>("alignment_num_alignments"), 1);
    EXPECT_EQ(md.get_value<int32_t>("alignment_num_secondary_alignments"), 2);
    EXPECT_EQ(md.get_value<int32_t>("alignment_num_supplementary_alignments"), 1);
}

TEST(AlignmentMetadataTest, GenomeNameIsBoundedByItsColumn) {
    DataTable table = ReadAlignmentHelper::create_alignment_table(1);
    const std::string full(253, 'G');
    table.set_string(table.m_field_index.at("Genome"), 0, full);
    ReadHolder read;
    add_alignment_table(read, std::move(table));
    ReadAlignmentHelper::copy_alignment_results_to_metadata(read);
    EXPECT_EQ(read.metadata.get_value<std::string>("alignment_genome"), full);

    // A name that fills its terminator byte too must not run on into the next columns.
    auto& view = read.datasets.at(dataset::align_results);
    std::memset(view.m_data, 'G', 254);
    static_cast<uint8_t*>(view.m_data)[254] = 'x';
    ReadAlignmentHelper::copy_alignment_results_to_metadata(read);
    EXPECT_EQ(read.metadata.get_value<std::string>("alignment_genome"), full);
}

TEST(AlignmentMetadataTest, TableWithoutRowsYieldsNoAlignment) {
    ReadHolder read;
    add_alignment_table(read, ReadAlignmentHelper::create_alignment_table(0));
    ReadAlignmentHelper::copy_alignment_results_to_metadata(read);
    EXPECT_FALSE(read.metadata.exists("alignment_genome"));
    EXPECT_FALSE(read.metadata.exists("alignment_genome_start"));
    EXPECT_EQ(read.metadata.get_value<int32_t>("alignment_num_alignments"), 0);
    EXPECT_EQ(read.metadata.get_value<int32_t>("alignment_num_secondary_alignments"), 0);
    EXPECT_EQ(read.metadata.get_value<int32_t>("alignment_num_supplementary_alignments"), 0);
    EXPECT_EQ(read.metadata.size(), 3u);
}

TEST(AlignmentMetadataTest, MissingColumnIsOutOfRange) {
    DataTable table;
    table.add_field("Genome", DataSetType::fixed_string, 253);
    table.allocate_rows(1);
    ReadHolder read;
    add_alignment_table(read, std::move(table));
    EXPECT_THROW(ReadAlignmentHelper::copy_alignment_results_to_metadata(read), std::out_of_range);
}

TEST(AlignmentMetadataTest, ColumnOfWrongWidthIsRefusedBeforeAnythingIsWritten) {
    DataTable table;
    table.add_field("Genome", DataSetType::fixed_string, 253);
    table.add_field("Direction", DataSetType::int32, 0);
    table.allocate_rows(1);
    ReadHolder read;
    add_alignment_table(read, std::move(table));
    EXPECT_EQ(runtime_error_text([&] { ReadAlignmentHelper::copy_alignment_results_to_metadata(read); }),
              "VecView type not compatible with field type.");
    EXPECT_TRUE(read.metadata.empty());
}

TEST(AlignmentTableTest, RowsWithoutColumnsCopyNoBytes) {
    DataTable table;
    table.allocate_rows(3);
    ReadHolder read;
    add_alignment_table(read, std::move(table));
    // Even a view that points at some data must not make a copy of zero-byte rows divide by zero.
    static uint8_t unused_byte = 0;
    read.datasets.at(dataset::align_results).m_data = &unused_byte;
    const DataTable copy = ReadAlignmentHelper::create_alignment_table_from_read_holder(read);
    EXPECT_TRUE(copy.m_fields.empty());
    EXPECT_EQ(copy.m_num_rows, 3u);
    EXPECT_EQ(copy.m_row_size, 0u);
    EXPECT_TRUE(copy.m_data.empty());
}

// SAM and BED lines ------------------------------------------------------------------------------

TEST(SamLinesTest, UnmappedReadGetsLocalLineAndDuplexTagOnly) {
    const ReadHolder read = make_called_read();
    const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 128, true);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].sam_line, "strand-0001\t4\t*\t0\t0\t*\t*\t0\t0\tACGTACGT\t++++5555\tdx:i:0");
    EXPECT_TRUE(lines[0].bed_lines.empty());
    EXPECT_TRUE(samtools_accepts(sam_lines_of(lines)));
}

TEST(SamLinesTest, EveryReadTagInOrder) {
    ReadHolder read = make_called_read();
    auto& md = read.metadata;
    md.insert("mean_qscore", 12.5f);
    md.insert("mux", uint32_t{3});
    md.insert("channel", int32_t{-7});
    md.insert("read_number", uint32_t{42});
    md.insert("time_stamp", std::string("2023-01-02T03:04:05Z"));
    md.insert("filename", std::string("/data/run 1/batch_0.fast5"));
    md.insert("duration", uint64_t{4000});
    md.insert("trimmed_samples", uint64_t{120});
    md.insert("scaling_median", 1.5f);
    md.insert("scaling_med_abs_dev", 0.25f);
    md.insert("sampling_rate", 4000.0f);

    const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].sam_line,
              "strand-0001\t4\t*\t0\t0\t*\t*\t0\t0\tACGTACGT\t++++5555\t"
              "qs:i:13\tmx:i:3\tch:i:-7\trn:i:42\tst:Z:2023-01-02T03:04:05Z\tf5:Z:batch_0.fast5\t"
              "ns:i:4000\tts:i:120\tsm:f:1.5\tsd:f:0.25\tsv:Z:med_mad\tdu:f:1\tdx:i:0");
    EXPECT_TRUE(samtools_accepts(sam_lines_of(lines)));

    md.insert("mean_qscore", 12.49f);
    md.insert("scaling_version", std::string("quantile"));
    md.insert("sampling_rate", 3000.0f);
    md.insert("filename", std::string("/data/run/"));
    const auto again = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false);
    EXPECT_EQ(again[0].sam_line,
              "strand-0001\t4\t*\t0\t0\t*\t*\t0\t0\tACGTACGT\t++++5555\t"
              "qs:i:12\tmx:i:3\tch:i:-7\trn:i:42\tst:Z:2023-01-02T03:04:05Z\tf5:Z:.\t"
              "ns:i:4000\tts:i:120\tsm:f:1.5\tsd:f:0.25\tsv:Z:quantile\tdu:f:1.33333\tdx:i:0");
    EXPECT_TRUE(samtools_accepts(sam_lines_of(again)));
}

TEST(SamLinesTest, TagsNeedTheirCompanionKeys) {
    ReadHolder read = make_called_read();
    read.metadata.insert("scaling_median", 1.5f);
    read.metadata.insert("sampling_rate", 4000.0f);
    read.metadata.insert("filename", std::string(""));
    const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false);
    EXPECT_EQ(lines[0].sam_line, "strand-0001\t4\t*\t0\t0\t*\t*\t0\t0\tACGTACGT\t++++5555\tdx:i:0");
}

TEST(SamLinesTest, DuplexReadNamesBothStrands) {
    ReadHolder read = make_called_read("", "");
    read.metadata.insert("duplex_strand_1", std::string("strand-a"));
    read.metadata.insert("duplex_strand_2", std::string("strand-b"));
    const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].sam_line, "strand-a;strand-b\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\tdx:i:1");
    EXPECT_TRUE(samtools_accepts(sam_lines_of(lines)));
}

TEST(SamLinesTest, BaseModificationAndMoveTagsComeBeforeReadTags) {
    ReadHolder read = make_called_read("ACGCA", "+++++");
    const std::string alphabet = "ACZGT";
    std::vector<uint8_t> probs(5 * alphabet.size(), 0);
    probs[1 * alphabet.size() + 2] = 200;
    probs[3 * alphabet.size() + 2] = 50;
    const auto matrix = MatView<uint8_t>::view(probs.data(), 5, alphabet.size(), alphabet.size(), 1);
    read.datasets.emplace(dataset::base_mod_probs, DataView(matrix, std::move(probs)));
    read.datasets.emplace(dataset::movement, DataView(std::vector<uint8_t>{1, 0, 1, 1, 200, 1}));
    read.metadata.insert("base_mod_alphabet", alphabet);
    read.metadata.insert("base_mod_long_names", std::string("5mC"));
    read.metadata.insert("model_stride", uint64_t{5 + 256});  // only the low byte counts
    read.metadata.insert("channel", int32_t{12});

    const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 128, true);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].sam_line,
              "strand-0001\t4\t*\t0\t0\t*\t*\t0\t0\tACGCA\t+++++\t"
              "MM:Z:C+m.,0;\tML:B:C,200\tmv:B:c,5,1,0,1,1,127,73,1\tch:i:12\tdx:i:0");
    EXPECT_TRUE(mm_and_ml_agree(lines[0].sam_line));
    EXPECT_TRUE(samtools_accepts(sam_lines_of(lines)));

    const auto without_moves = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false);
    EXPECT_EQ(without_moves[0].sam_line,
              "strand-0001\t4\t*\t0\t0\t*\t*\t0\t0\tACGCA\t+++++\t"
              "MM:Z:C+m.,0,0;\tML:B:C,200,50\tch:i:12\tdx:i:0");
    EXPECT_TRUE(mm_and_ml_agree(without_moves[0].sam_line));
    EXPECT_TRUE(samtools_accepts(sam_lines_of(without_moves)));

    read.datasets.erase(dataset::movement);
    read.datasets.emplace(dataset::movement, DataView(std::vector<uint8_t>{}));
    const auto empty_moves = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 255, true);
    EXPECT_EQ(empty_moves[0].sam_line,
              "strand-0001\t4\t*\t0\t0\t*\t*\t0\t0\tACGCA\t+++++\tMM:Z:C+m.;\tML:B:C\tch:i:12\tdx:i:0");
    EXPECT_TRUE(samtools_accepts(sam_lines_of(empty_moves)));
}

TEST(SamLinesTest, ReadWithNAndUnusualScoresKeepsItsLineInSamText) {
    ReadHolder read = make_called_read("ACGTNCGT", "++++5555");
    const std::string alphabet = "ACmGT";
    std::vector<uint8_t> probs(8 * alphabet.size(), 0);
    probs[1 * alphabet.size() + 2] = 200;
    probs[5 * alphabet.size() + 2] = 180;
    const auto matrix = MatView<uint8_t>::view(probs.data(), 8, alphabet.size(), alphabet.size(), 1);
    read.datasets.emplace(dataset::base_mod_probs, DataView(matrix, std::move(probs)));
    read.metadata.insert("base_mod_alphabet", alphabet);
    read.metadata.insert("base_mod_long_names", std::string("5mC"));
    const std::string start =
            "strand-0001\t4\t*\t0\t0\t*\t*\t0\t0\tACGTNCGT\t++++5555\tMM:Z:C+m.,0,0;\tML:B:C,200,180\t";

    // SAM's i type is an integer: a large score is no float text, one that is not finite no tag.
    std::vector<std::string> written;
    for (const auto& [score, tag] :
         std::vector<std::pair<float, std::string>>{{999999.5F, "qs:i:1000000\t"},
                                                    {-2.5F, "qs:i:-3\t"},
                                                    {std::numeric_limits<float>::quiet_NaN(), ""},
                                                    {std::numeric_limits<float>::infinity(), ""},
                                                    {1e20F, ""}}) {
        read.metadata.insert("mean_qscore", score);
        const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 128, false);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].sam_line, start + tag + "dx:i:0") << score;
        written.push_back(lines[0].sam_line);
    }
    EXPECT_TRUE(samtools_accepts(written));
}

ReadHolder make_aligned_read(const std::vector<int32_t>& bed_hits, const std::string& sam_record,
                             const std::string& bed_lines) {
    ReadHolder read = make_called_read();
    DataTable table = ReadAlignmentHelper::create_alignment_table(bed_hits.size());
    for (std::size_t row = 0; row < bed_hits.size(); ++row) {
        set_cell<int32_t>(table, "BedHits", row, bed_hits[row]);
        set_cell<int32_t>(table, "GenomeStart", row, 100);
    }
    add_alignment_table(read, std::move(table));
    read.metadata.insert("alignment_sam_record", sam_record);
    if (!bed_lines.empty()) {
        read.metadata.insert("alignment_bed_lines", bed_lines);
    }
    return read;
}

const std::string PRIMARY = "read-0001\t0\tchr1\t101\t60\t8M\t*\t0\t0\tACGTACGT\t++++5555";
const std::string SECONDARY = "read-0001\t256\tchr2\t51\t0\t8M\t*\t0\t0\t*\t*";
const std::string SUPPLEMENTARY = "read-0001\t2048\tchr1\t901\t10\t4M4S\t*\t0\t0\tACGTACGT\t++++5555";

TEST(SamLinesTest, ServerLinesAreSplitByBedHitsAndOnlyTheFirstGetsTags) {
    const ReadHolder read = make_aligned_read({2, 0, 1}, PRIMARY + "\n" + SECONDARY + "\n" + SUPPLEMENTARY,
                                              "chr1\t0\t10\tb1\nchr1\t20\t30\tb2\nchr1\t40\t50\tb3");
    const auto split = ReadAlignmentHelper::extract_alignment_sam_and_bed_lines_from_read_holder(read);
    ASSERT_EQ(split.size(), 3u);
    EXPECT_EQ(split[0].sam_line, PRIMARY);
    EXPECT_EQ(split[0].bed_lines, (std::vector<std::string>{"chr1\t0\t10\tb1", "chr1\t20\t30\tb2"}));
    EXPECT_TRUE(split[1].bed_lines.empty());
    EXPECT_EQ(split[2].bed_lines, (std::vector<std::string>{"chr1\t40\t50\tb3"}));

    const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, true);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].sam_line, PRIMARY + "\tdx:i:0");
    EXPECT_EQ(lines[1].sam_line, SECONDARY);
    EXPECT_EQ(lines[2].sam_line, SUPPLEMENTARY);
    EXPECT_EQ(lines[0].bed_lines, split[0].bed_lines);
    EXPECT_EQ(lines[2].bed_lines, split[2].bed_lines);
    EXPECT_TRUE(samtools_accepts(sam_lines_of(lines)));
}

TEST(SamLinesTest, MissingServerLinesReadAsEmpty) {
    const ReadHolder read = make_aligned_read({1, 3}, PRIMARY, "only\none");
    const auto split = ReadAlignmentHelper::extract_alignment_sam_and_bed_lines_from_read_holder(read);
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[0].bed_lines, (std::vector<std::string>{"only"}));
    EXPECT_EQ(split[1].sam_line, "");
    // Hits beyond the BED text get no lines, however many the server claims.
    EXPECT_EQ(split[1].bed_lines, (std::vector<std::string>{"one"}));
    const ReadHolder claims = make_aligned_read({2147483647}, PRIMARY, "chr1\t0\t10\tb1");
    EXPECT_EQ(ReadAlignmentHelper::extract_alignment_sam_and_bed_lines_from_read_holder(claims)[0].bed_lines,
              (std::vector<std::string>{"chr1\t0\t10\tb1"}));
}

TEST(SamLinesTest, FirstLineNeedsElevenFields) {
    const std::string ten_tabs = "r\t0\tchr1\t1\t60\t8M\t*\t0\t0\tACGTACGT\t++++5555";
    const auto accepted = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(
            make_aligned_read({0}, ten_tabs, ""), 0, false);
    EXPECT_EQ(accepted[0].sam_line, ten_tabs + "\tdx:i:0");
    EXPECT_TRUE(samtools_accepts(sam_lines_of(accepted)));

    const std::string nine_tabs = "r\t0\tchr1\t1\t60\t8M\t*\t0\t0\tACGTACGT";
    const ReadHolder bad = make_aligned_read({0}, nine_tabs, "");
    EXPECT_EQ(
            runtime_error_text([&] { ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(bad, 0, false); }),
            "Malformed alignment SAM line: \n" + nine_tabs);
}

TEST(SamLinesTest, UnmappedServerLineIsReplacedAndItsBedLinesDropped) {
    const ReadHolder read = make_aligned_read(
            {1, 1}, "read-0001\t4\t*\t0\t0\t*\t*\t0\t0\tACGTACGT\t++++5555\tXY:i:1\n" + SECONDARY, "b1\nb2");
    const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].sam_line, "strand-0001\t4\t*\t0\t0\t*\t*\t0\t0\tACGTACGT\t++++5555\tdx:i:0");
    EXPECT_TRUE(lines[0].bed_lines.empty());
    EXPECT_TRUE(samtools_accepts(sam_lines_of(lines)));

    // Only an RNAME of exactly "*" means unmapped. (This server line is not valid SAM, so it is not
    // handed to samtools: we pass server lines on as they came.)
    const std::string starred = "read-0001\t0\t*chr\t1\t60\t8M\t*\t0\t0\tACGTACGT\t++++5555";
    const auto kept = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(
            make_aligned_read({0}, starred, ""), 0, false);
    EXPECT_EQ(kept[0].sam_line, starred + "\tdx:i:0");
}

TEST(SamLinesTest, TableWithoutRowsGivesTheUnmappedLine) {
    const ReadHolder read = make_aligned_read({}, PRIMARY, "b1");
    EXPECT_TRUE(ReadAlignmentHelper::extract_alignment_sam_and_bed_lines_from_read_holder(read).empty());
    const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].sam_line, "strand-0001\t4\t*\t0\t0\t*\t*\t0\t0\tACGTACGT\t++++5555\tdx:i:0");
    EXPECT_TRUE(samtools_accepts(sam_lines_of(lines)));
}

TEST(SamLinesTest, BedTextsJoinedWithoutShiftingLinesBetweenAlignments) {
    // Four alignments whose BED line counts are 0, 2, 0 and 1; the first and third have no text.
    const std::vector<std::string> texts{"", "chr1\t0\t10\tb1\nchr1\t20\t30\tb2", "", "chr2\t5\t9\tc1\n"};
    std::string joined;
    for (const auto& text : texts) {
        ReadAlignmentHelper::append_bed_text(joined, text);
    }
    EXPECT_EQ(joined, "chr1\t0\t10\tb1\nchr1\t20\t30\tb2\nchr2\t5\t9\tc1");

    const ReadHolder read = make_aligned_read(
            {0, 2, 0, 1}, PRIMARY + "\n" + SECONDARY + "\n" + SECONDARY + "\n" + SUPPLEMENTARY, joined);
    const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[0].bed_lines.empty());
    EXPECT_EQ(lines[1].bed_lines, (std::vector<std::string>{"chr1\t0\t10\tb1", "chr1\t20\t30\tb2"}));
    EXPECT_TRUE(lines[2].bed_lines.empty());
    EXPECT_EQ(lines[3].bed_lines, (std::vector<std::string>{"chr2\t5\t9\tc1"}));
    EXPECT_TRUE(samtools_accepts(sam_lines_of(lines)));
}

TEST(SamLinesTest, AlignedReadGetsEveryTagOnItsFirstLineOnly) {
    ReadHolder read = make_aligned_read({1, 1}, PRIMARY + "\n" + SUPPLEMENTARY, "chr1\t0\t10\tb1\nchr1\t900\t910\tb2");
    const std::string alphabet = "ACmGT";
    std::vector<uint8_t> probs(8 * alphabet.size(), 0);
    probs[1 * alphabet.size() + 2] = 200;
    probs[5 * alphabet.size() + 2] = 10;
    const auto matrix = MatView<uint8_t>::view(probs.data(), 8, alphabet.size(), alphabet.size(), 1);
    read.datasets.emplace(dataset::base_mod_probs, DataView(matrix, std::move(probs)));
    read.datasets.emplace(dataset::movement, DataView(std::vector<uint8_t>{1, 0, 1}));
    read.metadata.insert("base_mod_alphabet", alphabet);
    read.metadata.insert("base_mod_long_names", std::string("5mC"));
    read.metadata.insert("model_stride", uint64_t{6});
    read.metadata.insert("mean_qscore", 9.6f);

    const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 128, true);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].sam_line, PRIMARY + "\tMM:Z:C+m.,0;\tML:B:C,200\tmv:B:c,6,1,0,1\tqs:i:10\tdx:i:0");
    EXPECT_EQ(lines[1].sam_line, SUPPLEMENTARY);
    EXPECT_EQ(lines[0].bed_lines, (std::vector<std::string>{"chr1\t0\t10\tb1"}));
    EXPECT_EQ(lines[1].bed_lines, (std::vector<std::string>{"chr1\t900\t910\tb2"}));
    EXPECT_TRUE(mm_and_ml_agree(lines[0].sam_line));
    EXPECT_TRUE(samtools_accepts(sam_lines_of(lines)));
}

TEST(SamLinesTest, AlphabetWithoutModificationsStillAppendsEmptyTags) {
    ReadHolder read = make_called_read("ACGT", "++++");
    read.datasets.emplace(dataset::base_mod_probs, DataView(std::vector<uint8_t>(4 * 4, 255)));
    read.metadata.insert("base_mod_alphabet", std::string("ACGT"));
    const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].sam_line, "strand-0001\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t++++\tMM:Z:\tML:B:C\tdx:i:0");
    EXPECT_TRUE(samtools_accepts(sam_lines_of(lines)));
}

TEST(SamLinesTest, MissingKeysAndBrokenDatasetsAreReported) {
    {
        ReadHolder read = make_called_read();
        read.metadata.insert("duplex_strand_1", std::string("strand-a"));
        EXPECT_EQ(runtime_error_text(
                          [&] { ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false); }),
                  "Key 'duplex_strand_2' not found.");
    }
    {
        ReadHolder read = make_called_read();
        read.metadata.remove("read_id");
        read.datasets.erase(dataset::sequence);
        EXPECT_EQ(runtime_error_text(
                          [&] { ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false); }),
                  "Key 'read_id' not found.");
    }
    {
        // A movement dataset that claims elements but holds no data.
        ReadHolder read = make_called_read();
        read.datasets.emplace(dataset::movement, DataView(std::vector<uint8_t>{}));
        read.datasets.at(dataset::movement).m_info.size = 4;
        read.metadata.insert("model_stride", uint64_t{5});
        EXPECT_EQ(runtime_error_text(
                          [&] { ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, true); }),
                  "Cannot view nullptr with size > 0");
    }
    {
        ReadHolder read = make_called_read();
        DataTable table;
        table.add_field("Genome", DataSetType::fixed_string, 253);
        table.allocate_rows(1);
        add_alignment_table(read, std::move(table));
        read.metadata.insert("alignment_sam_record", PRIMARY);
        EXPECT_THROW(ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false),
                     std::out_of_range);
    }
}

TEST(SamLinesTest, MissingOrWrongInputsAreReported) {
    {
        ReadHolder read = make_called_read();
        read.datasets.erase(dataset::sequence);
        EXPECT_EQ(runtime_error_text(
                          [&] { ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false); }),
                  "Read read-0001 does not contain a sequence! Cannot generate SAM line.");
    }
    {
        ReadHolder read = make_called_read();
        read.datasets.erase(dataset::qstring);
        EXPECT_EQ(runtime_error_text(
                          [&] { ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false); }),
                  "Read read-0001 does not contain a qstring! Cannot generate SAM line.");
    }
    {
        ReadHolder read = make_called_read();
        read.datasets.erase(dataset::sequence);
        read.datasets.emplace(dataset::sequence, DataView(std::vector<uint8_t>{1, 2}));
        EXPECT_EQ(runtime_error_text(
                          [&] { ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false); }),
                  "Data does not view string data.");
    }
    {
        const ReadHolder read = make_called_read("ACGTA", "++++");
        EXPECT_EQ(runtime_error_text(
                          [&] { ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false); }),
                  "make_unmapped_sam_line failed: sequence and qscore do not match size!");
    }
    {
        ReadHolder read = make_called_read();
        read.metadata.remove("strand_id");
        EXPECT_EQ(runtime_error_text(
                          [&] { ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false); }),
                  "Key 'strand_id' not found.");
    }
    {
        ReadHolder read = make_called_read();
        read.metadata.insert("channel", uint32_t{5});  // stored under the wrong type
        EXPECT_EQ(runtime_error_text(
                          [&] { ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false); }),
                  "Key 'channel' not found.");
    }
    {
        ReadHolder read = make_called_read();
        read.datasets.emplace(dataset::movement, DataView(std::vector<uint8_t>{1, 0}));
        EXPECT_EQ(runtime_error_text(
                          [&] { ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, true); }),
                  "Key 'model_stride' not found.");
    }
    {
        ReadHolder read = make_called_read();
        read.datasets.emplace(dataset::base_mod_probs, DataView(std::vector<float>(8 * 5, 0.0f)));
        read.metadata.insert("base_mod_alphabet", std::string("ACmGT"));
        EXPECT_EQ(runtime_error_text(
                          [&] { ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false); }),
                  "Invalid array type requested.");
    }
    {
        ReadHolder read = make_called_read();
        read.datasets.emplace(dataset::base_mod_probs, DataView(std::vector<uint8_t>(8 * 6, 0)));
        read.metadata.insert("base_mod_alphabet", std::string("ACmhGT"));
        read.metadata.insert("base_mod_long_names", std::string("5mC"));
        const std::string text = runtime_error_text(
                [&] { ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false); });
        EXPECT_EQ(text.rfind("generate_modbase_string failed: Missing base modification long name", 0), 0u) << text;
    }
    {
        ReadHolder read = make_called_read();
        read.datasets.emplace(dataset::base_mod_probs, DataView(std::vector<uint8_t>(8 * 5, 0)));
        read.metadata.insert("base_mod_alphabet", std::string("ACmGT"));
        read.metadata.insert("base_mod_long_names", std::string("5mC"));
        read.metadata.insert("base_mod_context", std::string("_:CG:_:_"));
        EXPECT_EQ(runtime_error_text(
                          [&] { ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false); }),
                  "Invalid base modification context string.");
    }
}

}  // namespace
