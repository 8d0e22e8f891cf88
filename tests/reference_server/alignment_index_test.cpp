#include "reference_server/alignment_index.h"
#include "reference_server/signal_model.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace reference_server;

namespace {

class TempFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vexil_aligner_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string write(const std::string& name, const std::string& content) {
        const auto path = (m_dir / name).string();
        std::ofstream(path) << content;
        return path;
    }
    std::filesystem::path m_dir;
};

using AlignmentIndexTest = TempFiles;
using BedFileTest = TempFiles;

}  // namespace

TEST_F(AlignmentIndexTest, LoadsMultiLineLowerCaseFasta) {
    const auto index = AlignmentIndex::load_fasta(write("ref.fa", ">chr1 first one\nacgt\nACGT\r\n\n>chr2\nGGGG\n"));
    ASSERT_EQ(2U, index.references().size());
    EXPECT_EQ("chr1", index.references()[0].name);
    EXPECT_EQ("ACGTACGT", index.references()[0].sequence);
    EXPECT_EQ("GGGG", index.references()[1].sequence);
    EXPECT_EQ(
            "@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:chr1\tLN:8\n@SQ\tSN:chr2\tLN:4\n"
            "@PG\tID:reference_aligner\tPN:reference_aligner\tVN:1.0\n",
            index.sam_header());
}

TEST_F(AlignmentIndexTest, MissingOrNonFastaFilesAreRefused) {
    EXPECT_THROW(AlignmentIndex::load_fasta((m_dir / "absent.fa").string()), std::runtime_error);
    EXPECT_THROW(AlignmentIndex::load_fasta(write("bad.fa", "ACGT\n>x\nAC\n")), std::runtime_error);
    EXPECT_THROW(AlignmentIndex::load_fasta(write("noname.fa", ">\nAC\n")), std::runtime_error);
    EXPECT_TRUE(AlignmentIndex::load_fasta(write("empty.fa", "")).empty());
}

TEST_F(AlignmentIndexTest, FindsExactPositionOnEitherStrand) {
    const AlignmentIndex index(
            std::vector<AlignmentIndex::Reference>{{"chrA", "TTTTTTTTTTACGGATCCAGTTTTTTTT"}, {"chrB", "CCCCCCCCCC"}});
    const auto forward = index.align("read1", "ACGGATCCAG", "IIIIIIIIII");
    ASSERT_EQ(1U, forward.size());
    EXPECT_EQ("chrA", forward[0].genome);
    EXPECT_EQ('+', forward[0].direction);
    EXPECT_EQ(10U, forward[0].genome_start);
    EXPECT_EQ(20U, forward[0].genome_end);
    EXPECT_EQ(60U, forward[0].mapping_quality);
    EXPECT_EQ("read1\t0\tchrA\t11\t60\t10M\t*\t0\t0\tACGGATCCAG\tIIIIIIIIII\tNM:i:0", forward[0].sam_record);

    const auto reverse = index.align("read2", reverse_complement("ACGGATCCAG"), "ABCDEFGHIJ");
    ASSERT_EQ(1U, reverse.size());
    EXPECT_EQ('-', reverse[0].direction);
    EXPECT_EQ(10U, reverse[0].genome_start);
    // SAM shows the reference strand: reverse-complemented bases and reversed qualities.
    EXPECT_EQ("read2\t16\tchrA\t11\t60\t10M\t*\t0\t0\tACGGATCCAG\tJIHGFEDCBA\tNM:i:0", reverse[0].sam_record);
}

TEST_F(AlignmentIndexTest, RepeatsGiveSecondaryHitsAndNoHitGivesUnmapped) {
    const AlignmentIndex index(std::vector<AlignmentIndex::Reference>{{"chr", "GATTACAxxGATTACA"}});
    const auto hits = index.align("r", "GATTACA", "");
    ASSERT_EQ(2U, hits.size());
    EXPECT_FALSE(hits[0].is_secondary);
    EXPECT_TRUE(hits[1].is_secondary);
    EXPECT_EQ(9U, hits[1].genome_start);
    EXPECT_EQ(0U, hits[0].mapping_quality);
    EXPECT_NE(std::string::npos, hits[1].sam_record.find("\t256\t"));

    const auto none = index.align("r", "CCCCCC", "IIIIII");
    ASSERT_EQ(1U, none.size());
    EXPECT_EQ("*", none[0].genome);
    EXPECT_EQ("r\t4\t*\t0\t0\t*\t*\t0\t0\tCCCCCC\tIIIIII", none[0].sam_record);
}

TEST_F(BedFileTest, ReportsOverlappingEntriesOnTheSameGenome) {
    const auto bed = BedFile::load(write("t.bed",
                                         "track name=x\n# comment\nchrA\t5\t12\tgene1\nchrA 18 30 gene2\n"
                                         "chrA\t20\t25\tgene3\nchrB\t0\t100\tother\n"));
    AlignmentHit hit;
    hit.genome = "chrA";
    hit.genome_start = 10;
    hit.genome_end = 20;
    bed.annotate(hit);
    EXPECT_EQ(2U, hit.bed_hits);
    EXPECT_EQ("chrA\t5\t12\tgene1\nchrA 18 30 gene2", hit.bed_lines);
    EXPECT_TRUE(bed.hits("chrA", 12, 18).empty());  // half-open intervals do not touch
}

TEST_F(BedFileTest, MalformedOrMissingFilesAreRefused) {
    EXPECT_THROW(BedFile::load((m_dir / "absent.bed").string()), std::runtime_error);
    EXPECT_THROW(BedFile::load(write("bad.bed", "chrA\tten\t20\n")), std::runtime_error);
    EXPECT_THROW(BedFile::load(write("backwards.bed", "chrA\t20\t10\n")), std::runtime_error);
}
