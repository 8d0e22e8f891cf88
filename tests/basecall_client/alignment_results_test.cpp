#include "basecall_client/alignment_results.h"

#include "interfaces/read_alignment_helper.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using basecall_service::ConnectionError;
using basecall_service::ErrorState;
using bass::data_wrappers::DataTable;
using interfaces::ReadAlignmentHelper;
using interfaces::ReadHolder;

struct Alignment {
    std::string genome;
    uint32_t start = 0;
    char direction = '+';
    std::string sam;
    uint32_t bed_hits = 0;
    std::string bed;
    bool secondary = false;
};

flatbuffers::DetachedBuffer alignments(const std::vector<Alignment>& entries) {
    flatbuffers::FlatBufferBuilder fbb;
    std::vector<flatbuffers::Offset<vexil_ipc::AlignmentResults>> tables;
    for (const auto& entry : entries) {
        const auto genome = fbb.CreateString(entry.genome);
        const auto sam = fbb.CreateString(entry.sam);
        const auto bed = fbb.CreateString(entry.bed);
        vexil_ipc::AlignmentResultsBuilder builder(fbb);
        builder.add_Genome(genome);
        builder.add_GenomeStart(entry.start);
        builder.add_GenomeEnd(entry.start + 100);
        builder.add_Coverage(0.5F);
        builder.add_StrandScore(0xFFFFFFF0U);
        builder.add_sam_record(sam);
        builder.add_BedHits(entry.bed_hits);
        builder.add_bed_lines(bed);
        builder.add_Direction(static_cast<uint8_t>(entry.direction));
        builder.add_IsSecondary(entry.secondary);
        tables.push_back(builder.Finish());
    }
    fbb.Finish(fbb.CreateVector(tables));
    return fbb.Release();
}

const basecall_service::AlignmentResultsVector* vector_of(const flatbuffers::DetachedBuffer& buffer) {
    return flatbuffers::GetRoot<basecall_service::AlignmentResultsVector>(buffer.data());
}

TEST(AlignmentResults, FillsOneRowPerAlignmentWithSamAndBedTexts) {
    const auto buffer = alignments({{"chr1", 1050, '+', "r\t0\tchr1", 2, "chr1\t1\t2\ta\nchr1\t3\t4\tb\n"},
                                    {"chr2", 7, '-', "r\t256\tchr2", 0, "", true},
                                    {"chr3", 9, '+', "r\t2048\tchr3", 1, "chr3\t5\t6\tc"}});
    ReadHolder read;
    ErrorState error;
    ASSERT_TRUE(basecall_service::write_alignment_results(vector_of(buffer), read, error));
    EXPECT_EQ(ConnectionError::no_error, error.code);

    const DataTable table = ReadAlignmentHelper::create_alignment_table_from_read_holder(read);
    ASSERT_EQ(3U, table.num_rows());
    EXPECT_EQ("chr1", table.get_string(table.get_field_index("Genome"), 0));
    EXPECT_EQ("chr2", table.get_string(table.get_field_index("Genome"), 1));
    EXPECT_EQ(1050, table.view_field<int32_t>("GenomeStart")[0]);
    EXPECT_EQ('-', table.view_field<int8_t>("Direction")[1]);
    EXPECT_EQ(1, table.view_field<uint8_t>("IsSecondary")[1]);
    EXPECT_EQ(0, table.view_field<uint8_t>("IsSecondary")[0]);
    EXPECT_FLOAT_EQ(0.5F, table.view_field<float>("Coverage")[2]);
    // Unsigned wire values are stored bit for bit.
    EXPECT_EQ(static_cast<int32_t>(0xFFFFFFF0U), table.view_field<int32_t>("StrandScore")[0]);

    EXPECT_EQ("r\t0\tchr1\nr\t256\tchr2\nr\t2048\tchr3", read.metadata.get_value<std::string>("alignment_sam_record"));
    // The alignment without hits adds no line, so each alignment's lines stay its own.
    EXPECT_EQ("chr1\t1\t2\ta\nchr1\t3\t4\tb\nchr3\t5\t6\tc",
              read.metadata.get_value<std::string>("alignment_bed_lines"));
    const auto split = ReadAlignmentHelper::extract_alignment_sam_and_bed_lines_from_read_holder(read);
    ASSERT_EQ(3U, split.size());
    EXPECT_EQ(2U, split[0].bed_lines.size());
    EXPECT_TRUE(split[1].bed_lines.empty());
    ASSERT_EQ(1U, split[2].bed_lines.size());
    EXPECT_EQ("chr3\t5\t6\tc", split[2].bed_lines[0]);
    // Summary keys come from the first row.
    EXPECT_EQ("chr1", read.metadata.get_value<std::string>("alignment_genome"));
    EXPECT_TRUE(read.metadata.exists("alignment_num_secondary_alignments"));
}

TEST(AlignmentResults, GenomeNameLimitIs252Characters) {
    const std::string longest(252, 'g');
    const auto accepted = alignments({{longest, 1, '+', "sam", 0, ""}});
    ReadHolder read;
    ErrorState error;
    ASSERT_TRUE(basecall_service::write_alignment_results(vector_of(accepted), read, error));
    const DataTable table = ReadAlignmentHelper::create_alignment_table_from_read_holder(read);
    EXPECT_EQ(longest, table.get_string(table.get_field_index("Genome"), 0));

    const std::string too_long(253, 'g');
    const auto refused = alignments({{"chr1", 1, '+', "sam1", 1, "bed"}, {too_long, 1, '+', "sam2", 0, ""}});
    ReadHolder other;
    other.metadata.insert("alignment_sam_record", std::string("earlier"));
    EXPECT_FALSE(basecall_service::write_alignment_results(vector_of(refused), other, error));
    EXPECT_EQ(ConnectionError::bad_reply, error.code);
    EXPECT_EQ("Alignment genome name " + too_long + " exceeds maximum allowed size of 253", error.message);
    // Nothing of the refused alignments is kept, not even the row that was fine.
    EXPECT_FALSE(other.has_dataset(dataset::align_results));
    EXPECT_EQ("earlier", other.metadata.get_value<std::string>("alignment_sam_record"));
    EXPECT_FALSE(other.metadata.exists("alignment_bed_lines"));
    EXPECT_FALSE(other.metadata.exists("alignment_genome"));
}

TEST(AlignmentResults, NoAlignmentsWriteNothing) {
    const auto empty = alignments({});
    ReadHolder read;
    ErrorState error;
    EXPECT_TRUE(basecall_service::write_alignment_results(vector_of(empty), read, error));
    EXPECT_TRUE(basecall_service::write_alignment_results(nullptr, read, error));
    EXPECT_TRUE(read.metadata.empty());
    EXPECT_TRUE(read.datasets.empty());
}

TEST(AlignmentResults, EmptySamLinesWriteNoTextAndALaterResultReplacesTheTable) {
    const auto first = alignments({{"chrA", 5, '+', "", 0, ""}, {"chrB", 6, '+', "", 0, ""}});
    ReadHolder read;
    ErrorState error;
    ASSERT_TRUE(basecall_service::write_alignment_results(vector_of(first), read, error));
    EXPECT_FALSE(read.metadata.exists("alignment_sam_record"));
    EXPECT_FALSE(read.metadata.exists("alignment_bed_lines"));

    // A later result set replaces the table, as it replaces the keys: no row of the earlier stays.
    const auto second = alignments({{"chrZ", 9, '-', "z", 0, ""}});
    ASSERT_TRUE(basecall_service::write_alignment_results(vector_of(second), read, error));
    const DataTable table = ReadAlignmentHelper::create_alignment_table_from_read_holder(read);
    ASSERT_EQ(1U, table.num_rows());
    EXPECT_EQ("chrZ", table.get_string(table.get_field_index("Genome"), 0));
    EXPECT_EQ("z", read.metadata.get_value<std::string>("alignment_sam_record"));
}

}  // namespace
