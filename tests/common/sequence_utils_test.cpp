#include "common/sequence_utils.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

TEST(SequenceUtils, CodesAndText) {
    EXPECT_EQ(common::seq_vector_to_string(std::vector<int8_t>{0, 1, 2, 3, 3}), "ACGTT");
    EXPECT_EQ(common::seq_vector_to_string(std::vector<int8_t>{}), "");
    const int8_t codes[] = {2, 0};
    EXPECT_EQ(common::seq_vector_to_string(codes, 2), "GA");
    EXPECT_EQ(common::string_to_seq_vector("ACGTNacgt-"), (std::vector<int32_t>{0, 1, 2, 3, -1, 0, 1, 2, 3, -1}));
    EXPECT_EQ(common::string_to_seq_vector("\xC3"), (std::vector<int32_t>{-1}));
}

TEST(SequenceUtils, InvalidCodesAreRefused) {
    EXPECT_THROW(common::seq_vector_to_string(std::vector<int8_t>{0, 4}), std::out_of_range);
    EXPECT_THROW(common::seq_vector_to_string(std::vector<int8_t>{-1}), std::out_of_range);
    EXPECT_THROW(common::reverse_complement_strand(std::vector<int8_t>{0, 7}), std::out_of_range);
}

TEST(SequenceUtils, BuildLabels) {
    std::vector<std::string> labels{"stale"};
    std::map<std::string, int> index{{"stale", 9}};
    common::build_labls(labels, index, 1);
    EXPECT_EQ(labels, (std::vector<std::string>{"A", "C", "G", "T"}));
    EXPECT_EQ(index, (std::map<std::string, int>{{"A", 0}, {"C", 1}, {"G", 2}, {"T", 3}}));

    common::build_labls(labels, index, 3);
    ASSERT_EQ(labels.size(), 64u);
    EXPECT_EQ(labels[1], "AAC");
    EXPECT_EQ(labels[6], "ACG");
    EXPECT_EQ(labels[27], "CGT");
    EXPECT_EQ(labels[63], "TTT");
    EXPECT_EQ(index.at("CGT"), 27);

    common::build_labls(labels, index, 0);
    EXPECT_TRUE(labels.empty());
    EXPECT_TRUE(index.empty());

    labels = {"x"};
    index = {{"x", 0}};
    EXPECT_THROW(common::build_labls(labels, index, -1), std::length_error);
    EXPECT_TRUE(labels.empty());
    EXPECT_TRUE(index.empty());

    // More labels than a 32-bit count: refused before anything is allocated.
    labels = {"kept"};
    EXPECT_THROW(common::build_labls(labels, index, 16), std::out_of_range);
    EXPECT_EQ(labels, std::vector<std::string>{"kept"});
}

TEST(SequenceUtils, ReverseComplementKmerValue) {
    EXPECT_EQ(common::rev_comp_kmer_value(6, 3), 27u);  // ACG -> CGT
    EXPECT_EQ(common::rev_comp_kmer_value(0, 0), 0u);
    EXPECT_EQ(common::rev_comp_kmer_value(0xFF06, 3), 27u);  // bits above the k-mer are ignored
    EXPECT_EQ(common::rev_comp_kmer_value(0, 32), ~uint64_t{0});
    for (const std::size_t k : {1u, 5u, 16u, 31u, 32u}) {
        const uint64_t mask = k == 32 ? ~uint64_t{0} : (uint64_t{1} << (2 * k)) - 1;
        for (const uint64_t kmer : {uint64_t{0}, uint64_t{0x123456789ABCDEF0} & mask, mask}) {
            EXPECT_EQ(common::rev_comp_kmer_value(common::rev_comp_kmer_value(kmer, k), k), kmer) << k;
        }
    }
    EXPECT_THROW(common::rev_comp_kmer_value(1, 33), std::out_of_range);
}

TEST(SequenceUtils, ReverseComplementStrand) {
    EXPECT_EQ(common::reverse_complement_strand("ACGTN", "N"), "NACGT");
    EXPECT_EQ(common::reverse_complement_strand("ACGTN", ""), "XACGT");
    EXPECT_EQ(common::reverse_complement_strand("BDHKMRSVWY", ""), "RWBSYKMDHV");
    EXPECT_EQ(common::reverse_complement_strand("acg\xF0", ""), "XXXX");
    EXPECT_EQ(common::reverse_complement_strand("", "N"), "");
    EXPECT_EQ(common::reverse_complement_strand(std::vector<int8_t>{0, 0, 1}), (std::vector<int8_t>{2, 3, 3}));
    EXPECT_TRUE(common::reverse_complement_strand(std::vector<int8_t>{}).empty());
}

TEST(SequenceUtils, ReduceState) {
    // ACGTA = 0b00'01'10'11'00, centre CGT = 27.
    EXPECT_EQ(common::reduce_state(0b0001101100, 5, 3, true), 27);
    EXPECT_EQ(common::reduce_state(0b0001101100, 5, 3, false), 27);
    // ACGT: CGT with the flag, ACG without.
    EXPECT_EQ(common::reduce_state(27, 4, 3, true), 27);
    EXPECT_EQ(common::reduce_state(27, 4, 3, false), 6);
    EXPECT_EQ(common::reduce_state(123, 3, 3, true), 123);
    EXPECT_EQ(common::reduce_state(123, 4, 0, true), 0);
    // A 16-base state with its top bit set keeps its centre bases (not sign-extended).
    EXPECT_EQ(common::reduce_state(-1, 16, 15, false), (1 << 30) - 1);
    EXPECT_EQ(common::reduce_state(-1, 16, 14, true), (1 << 28) - 1);
    EXPECT_THROW(common::reduce_state(0, 17, 3, true), std::out_of_range);
}
