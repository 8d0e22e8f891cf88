#include "bam/bam_utils.h"

#include "tests/bam/sam_test_utils.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace util = bass::bam::util;
using bass::data_wrappers::VecView;
using vexil_test::mm_and_ml_agree;
using vexil_test::samtools_accepts;

namespace {

VecView<uint8_t> view_of(const std::vector<uint8_t>& values) {
    return VecView<uint8_t>::view(values.data(), values.size(), 1);
}

// Probabilities of a sequence over an alphabet, all zero except the given (position, channel).
struct Probs {
    Probs(std::size_t positions, const std::string& alphabet)
        : channels(alphabet.size()), values(positions * alphabet.size(), 0) {}
    Probs& set(std::size_t position, std::size_t channel, uint8_t value) {
        values[position * channels + channel] = value;
        return *this;
    }
    std::size_t channels;
    std::vector<uint8_t> values;
};

TEST(UnmappedSamLineTest, ElevenFieldsAcceptedBySamtools) {
    std::string line;
    std::string error;
    ASSERT_TRUE(util::make_unmapped_sam_line(line, "read_1", "ACGTA", "#%&+5", error));
    EXPECT_EQ(line, "read_1\t4\t*\t0\t0\t*\t*\t0\t0\tACGTA\t#%&+5");
    EXPECT_TRUE(samtools_accepts({line}));

    ASSERT_TRUE(util::make_unmapped_sam_line(line, "read_2", "", "", error));
    EXPECT_EQ(line, "read_2\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*");
    EXPECT_TRUE(samtools_accepts({line}));

    ASSERT_TRUE(util::make_unmapped_sam_line(line, "read_3", "ACGTA", "", error));
    EXPECT_EQ(line, "read_3\t4\t*\t0\t0\t*\t*\t0\t0\tACGTA\t*");
    EXPECT_TRUE(samtools_accepts({line}));
}

TEST(UnmappedSamLineTest, LengthCheckComesBeforeNameCheckAndLineIsKept) {
    std::string line = "unchanged";
    std::string error;
    EXPECT_FALSE(util::make_unmapped_sam_line(line, "", "ACGTA", "####", error));
    EXPECT_EQ(error, "sequence and qscore do not match size!");
    EXPECT_FALSE(util::make_unmapped_sam_line(line, "", "ACGT", "####", error));
    EXPECT_EQ(error, "Empty read_name string provided!");
    EXPECT_EQ(line, "unchanged");
}

TEST(ModbaseChannelNameTest, KnownNamesDigitsAndUnknown) {
    std::string code;
    std::string error;
    const std::pair<const char*, const char*> known[] = {
            {"6mA", "a"},   {"5mC", "m"},  {"5hmC", "h"}, {"5fc", "f"},  {"5caC", "c"},
            {"8oxoG", "o"}, {"5hmU", "g"}, {"5fU", "e"},  {"5caU", "b"},
    };
    for (const auto& [name, expected] : known) {
        ASSERT_TRUE(util::get_modbase_channel_name(code, name, error)) << name;
        EXPECT_EQ(code, expected);
    }
    ASSERT_TRUE(util::get_modbase_channel_name(code, "123", error));
    EXPECT_EQ(code, "123");
    code = "kept";
    EXPECT_FALSE(util::get_modbase_channel_name(code, "5fC", error));
    EXPECT_EQ(error, "Unknown modified base abbreviation: 5fC");
    EXPECT_EQ(code, "kept");
}

TEST(ModbaseStringTest, WorkedExample) {
    const std::string sequence = "ACGCA";
    const std::string alphabet = "ACZGT";
    Probs probs(sequence.size(), alphabet);
    probs.set(1, 2, 200).set(3, 2, 50);
    std::string out;
    std::string error;
    ASSERT_TRUE(util::generate_modbase_string(out, sequence, alphabet, "5mC", view_of(probs.values), 128, error))
            << error;
    EXPECT_EQ(out, "MM:Z:C+m.,0;\tML:B:C,200");
    EXPECT_TRUE(mm_and_ml_agree(out));
    EXPECT_TRUE(samtools_accepts({"r1\t4\t*\t0\t0\t*\t*\t0\t0\t" + sequence + "\t*\t" + out}));
}

TEST(ModbaseStringTest, SkipCountsAndThresholdBoundary) {
    const std::string sequence = "CCACCTC";
    const std::string alphabet = "Cm";
    Probs probs(sequence.size(), alphabet);
    // C positions 0, 1, 3, 4, 6: report 1 (at threshold) and 6, skip the others.
    probs.set(1, 1, 128).set(3, 1, 127).set(6, 1, 255);
    std::string out;
    std::string error;
    ASSERT_TRUE(util::generate_modbase_string(out, sequence, alphabet, "5mC", view_of(probs.values), 128, error));
    EXPECT_EQ(out, "MM:Z:C+m.,1,2;\tML:B:C,128,255");
    EXPECT_TRUE(mm_and_ml_agree(out));
    EXPECT_TRUE(samtools_accepts({"r1\t4\t*\t0\t0\t*\t*\t0\t0\t" + sequence + "\t*\t" + out}));
}

TEST(ModbaseStringTest, TwoChannelsOfOneBaseShareTheMask) {
    const std::string sequence = "ACGTC";
    const std::string alphabet = "ACmhGT";
    Probs probs(sequence.size(), alphabet);
    probs.set(1, 2, 10).set(1, 3, 230).set(4, 2, 180).set(4, 3, 5);
    std::string out;
    std::string error;
    ASSERT_TRUE(util::generate_modbase_string(out, sequence, alphabet, "5mC 5hmC", view_of(probs.values), 128, error));
    EXPECT_EQ(out, "MM:Z:C+m.,0,0;C+h.,0,0;\tML:B:C,10,180,230,5");
    EXPECT_TRUE(mm_and_ml_agree(out));
    EXPECT_TRUE(samtools_accepts({"r1\t4\t*\t0\t0\t*\t*\t0\t0\t" + sequence + "\t*\t" + out}));
}

TEST(ModbaseStringTest, ContextMakesBaseExplicitAndReportsEveryMotif) {
    const std::string sequence = "CGACGTCA";
    const std::string alphabet = "AaCmGT";
    Probs probs(sequence.size(), alphabet);
    probs.set(0, 3, 3).set(3, 3, 240).set(6, 3, 250).set(2, 1, 200).set(7, 1, 10);
    std::string out;
    std::string error;
    ASSERT_TRUE(util::generate_modbase_string(out, sequence, alphabet, "6mA 5mC", "_:XG:_:_", view_of(probs.values),
                                              128, error))
            << error;
    // A has no motif: only the A at 2 passes. C is called in CG only: positions 0 and 3, never 6.
    EXPECT_EQ(out, "MM:Z:A+a.,0;C+m?,0,0;\tML:B:C,200,3,240");
    EXPECT_TRUE(mm_and_ml_agree(out));
    EXPECT_TRUE(samtools_accepts({"r1\t4\t*\t0\t0\t*\t*\t0\t0\t" + sequence + "\t*\t" + out}));
}

TEST(ModbaseStringTest, OtherLettersAreNoSitesAndCaseIsIgnored) {
    const std::string alphabet = "ACmGT";
    // N and IUPAC codes are skipped by the count as SAM readers skip them; a lower-case c and a U
    // are a C and a T to those readers.
    const std::string sequence = "NCRcGU";
    Probs probs(sequence.size(), alphabet);
    probs.set(1, 2, 200).set(3, 2, 180);
    std::string out;
    std::string error;
    ASSERT_TRUE(util::generate_modbase_string(out, sequence, alphabet, "5mC", view_of(probs.values), 128, error));
    EXPECT_EQ(out, "MM:Z:C+m.,0,0;\tML:B:C,200,180");
    // With a motif the N breaks no match around it and is never one.
    const std::string with_n = "CGNCG";
    Probs motif_probs(with_n.size(), alphabet);
    ASSERT_TRUE(util::generate_modbase_string(out, with_n, alphabet, "5mC", "_:XG:_:_", view_of(motif_probs.values),
                                              128, error));
    EXPECT_EQ(out, "MM:Z:C+m?,0,0;\tML:B:C,0,0");
    EXPECT_TRUE(samtools_accepts({"r1\t4\t*\t0\t0\t*\t*\t0\t0\t" + with_n + "\t*\t" + out}));
}

TEST(ModbaseStringTest, AlphabetWithoutModificationsGivesEmptyTags) {
    const std::string sequence = "ACGT";
    std::vector<uint8_t> probs(sequence.size() * 4, 255);
    std::string out;
    std::string error;
    ASSERT_TRUE(util::generate_modbase_string(out, sequence, "ACGT", "", view_of(probs), 0, error));
    EXPECT_EQ(out, "MM:Z:\tML:B:C");
    EXPECT_TRUE(samtools_accepts({"r1\t4\t*\t0\t0\t*\t*\t0\t0\t" + sequence + "\t*\t" + out}));
}

TEST(ModbaseStringTest, NumericLongNameIsItsOwnCode) {
    const std::string sequence = "AC";
    const std::string alphabet = "ACx";
    Probs probs(sequence.size(), alphabet);
    probs.set(1, 2, 129);
    std::string out;
    std::string error;
    ASSERT_TRUE(util::generate_modbase_string(out, sequence, alphabet, "  76792 ", view_of(probs.values), 128, error));
    EXPECT_EQ(out, "MM:Z:C+76792.,0;\tML:B:C,129");
    EXPECT_TRUE(samtools_accepts({"r1\t4\t*\t0\t0\t*\t*\t0\t0\t" + sequence + "\t*\t" + out}));
}

TEST(ModbaseStringTest, FailuresReportTheirReason) {
    const std::string sequence = "ACGT";
    std::string out;
    std::string error;

    std::vector<uint8_t> short_probs(sequence.size() * 5 - 1, 0);
    EXPECT_FALSE(util::generate_modbase_string(out, sequence, "ACmGT", "5mC", view_of(short_probs), 0, error));
    EXPECT_EQ(error, "Mismatch between modbase_probs size and sequence length * num channels in modbase_alphabet!");

    std::vector<uint8_t> probs(sequence.size() * 5, 0);
    EXPECT_FALSE(util::generate_modbase_string(out, sequence, "ACmGT", "5MC", view_of(probs), 0, error));
    EXPECT_EQ(error, "Unknown modified base abbreviation: 5MC");

    try {
        util::generate_modbase_string(out, sequence, "ACmGT", "5mC", "_:CG:_:_", view_of(probs), 0, error);
        FAIL() << "bad context accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid base modification context string.");
    }
    EXPECT_THROW(util::generate_modbase_string(out, sequence, "mACGT", "5mC", view_of(probs), 0, error),
                 std::out_of_range);
}

TEST(ModbaseStringTest, RunningOutOfLongNamesIsAnError) {
    const std::string sequence = "ACGT";
    const std::string alphabet = "AaCmGT";
    std::vector<uint8_t> probs(sequence.size() * alphabet.size(), 255);
    std::string out;
    std::string error;
    // Two modification letters, one name: the second channel must not become "C+." with no code.
    EXPECT_FALSE(util::generate_modbase_string(out, sequence, alphabet, "6mA", view_of(probs), 0, error));
    EXPECT_NE(error.find("Missing base modification long name"), std::string::npos) << error;
    EXPECT_NE(error.find("'m'"), std::string::npos) << error;
    EXPECT_FALSE(util::generate_modbase_string(out, sequence, alphabet, "", view_of(probs), 0, error));
    EXPECT_NE(error.find("'a'"), std::string::npos) << error;
}

TEST(MoveTableStringTest, StrideAndValuesSplitAt127) {
    const std::vector<uint8_t> moves{1, 0, 127, 200, 254, 126};
    std::string out;
    std::string error;
    ASSERT_TRUE(util::generate_move_table_string(out, view_of(moves), 5, error));
    EXPECT_EQ(out, "mv:B:c,5,1,0,127,0,127,73,127,127,0,126");
    EXPECT_TRUE(samtools_accepts({"r1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t*\t" + out}));
}

TEST(MoveTableStringTest, StridedViewAndNegativeStride) {
    const std::vector<uint8_t> storage{1, 99, 0, 99, 1};
    const auto view = VecView<uint8_t>::view(storage.data(), 3, 2);
    std::string out;
    std::string error;
    ASSERT_TRUE(util::generate_move_table_string(out, view, -6, error));
    EXPECT_EQ(out, "mv:B:c,-6,1,0,1");
}

TEST(MoveTableStringTest, EmptyMovesFail) {
    const std::vector<uint8_t> moves;
    std::string out = "kept";
    std::string error;
    EXPECT_FALSE(util::generate_move_table_string(out, view_of(moves), 5, error));
    EXPECT_EQ(error, "Zero length move table provided to generate_move_table_string");
    EXPECT_EQ(out, "kept");
}

}  // namespace
