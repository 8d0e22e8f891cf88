#include "bam/base_mod_context.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

using bass::bam::BaseModContext;
using bass::data_wrappers::VecView;

namespace {

TEST(BaseModContextTest, DefaultHasNoMotifs) {
    const BaseModContext context;
    for (const char base : std::string("ACGT")) {
        EXPECT_EQ(context.motif(base), "");
        EXPECT_EQ(context.motif_offset(base), 0u);
    }
    EXPECT_EQ(context.encode(), "_:_:_:_");
    EXPECT_THROW(context.motif('N'), std::out_of_range);
    EXPECT_THROW(context.motif_offset('c'), std::out_of_range);
}

TEST(BaseModContextTest, DecodeAndEncodeRoundTrip) {
    BaseModContext context;
    ASSERT_TRUE(context.decode("_:XG:_:_"));
    EXPECT_EQ(context.motif('C'), "CG");
    EXPECT_EQ(context.motif_offset('C'), 0u);
    EXPECT_EQ(context.encode(), "_:XG:_:_");

    ASSERT_TRUE(context.decode("GAXC:_:_:TXA"));
    EXPECT_EQ(context.motif('A'), "GAAC");
    EXPECT_EQ(context.motif_offset('A'), 2u);
    EXPECT_EQ(context.motif('C'), "");
    EXPECT_EQ(context.motif('T'), "TTA");
    EXPECT_EQ(context.encode(), "GAXC:_:_:TXA");

    ASSERT_TRUE(context.decode("_:GX:_:_"));
    EXPECT_EQ(context.motif('C'), "GC");
    EXPECT_EQ(context.motif_offset('C'), 1u);
}

TEST(BaseModContextTest, DecodeOfMalformedTextReportsFalse) {
    BaseModContext context;
    ASSERT_TRUE(context.decode("XA:XG:_:_"));
    EXPECT_FALSE(context.decode("_:XG:_"));
    EXPECT_FALSE(context.decode("_:XG:_:_:_"));
    EXPECT_EQ(context.encode(), "XA:XG:_:_");

    // A field without a marker stops decoding: A is already cleared, C keeps its motif.
    EXPECT_FALSE(context.decode("_:CG:_:_"));
    EXPECT_EQ(context.motif('A'), "");
    EXPECT_EQ(context.motif('C'), "CG");
}

TEST(BaseModContextTest, SingleLetterMotifs) {
    BaseModContext context;
    ASSERT_TRUE(context.decode("_:X:_:_"));
    EXPECT_EQ(context.motif('C'), "C");
    EXPECT_EQ(context.encode(), "_:X:_:_");

    BaseModContext other;
    other.set_context("C", 0);
    EXPECT_EQ(other.motif('C'), "");
}

TEST(BaseModContextTest, SetContext) {
    BaseModContext context;
    context.set_context("GCA", 1);
    EXPECT_EQ(context.motif('C'), "GCA");
    EXPECT_EQ(context.motif_offset('C'), 1u);
    EXPECT_THROW(context.set_context("GC", 2), std::out_of_range);
    try {
        context.set_context("GNA", 1);
        FAIL() << "accepted N";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid motif string 'GNA'.");
    }
    EXPECT_EQ(context.motif('C'), "GCA");
}

TEST(BaseModContextTest, SequenceMaskMatchesMotifsAtBothEnds) {
    BaseModContext context;
    ASSERT_TRUE(context.decode("_:XG:_:_"));
    EXPECT_EQ(context.get_sequence_mask("CGACG"), (std::vector<int32_t>{1, 0, 0, 1, 0}));
    // A C at the end cannot start a CG.
    EXPECT_EQ(context.get_sequence_mask("CGAC"), (std::vector<int32_t>{1, 0, 0, 0}));
    EXPECT_TRUE(context.get_sequence_mask("").empty());
    // N and other IUPAC codes are no sites, and do not end a read's tags.
    EXPECT_EQ(context.get_sequence_mask("CGNCGRc"), (std::vector<int32_t>{1, 0, 0, 1, 0, 0, 0}));

    ASSERT_TRUE(context.decode("_:GX:_:_"));
    EXPECT_EQ(context.get_sequence_mask("CGCAGC"), (std::vector<int32_t>{0, 0, 1, 0, 0, 1}));
}

TEST(BaseModContextTest, UpdateMaskUsesThresholdForBasesWithoutMotif) {
    const BaseModContext context;
    const std::string sequence = "ACGCA";
    const std::string alphabet = "ACZGT";
    std::vector<uint8_t> probs(sequence.size() * alphabet.size(), 0);
    probs[1 * alphabet.size() + 2] = 200;
    probs[3 * alphabet.size() + 2] = 127;
    // A high value in a canonical column of a C position means nothing.
    probs[3 * alphabet.size() + 1] = 255;
    const auto view = VecView<uint8_t>::view(probs.data(), probs.size(), 1);

    auto mask = context.get_sequence_mask(sequence);
    context.update_mask(mask, sequence, alphabet, view, 128);
    EXPECT_EQ(mask, (std::vector<int32_t>{0, 1, 0, 0, 0}));

    mask = context.get_sequence_mask(sequence);
    context.update_mask(mask, sequence, alphabet, view, 0);
    EXPECT_EQ(mask, (std::vector<int32_t>{0, 1, 0, 1, 0}));

    mask = context.get_sequence_mask(sequence);
    context.update_mask(mask, sequence, "", view, 0);
    EXPECT_EQ(mask, (std::vector<int32_t>{0, 0, 0, 0, 0}));
}

TEST(BaseModContextTest, UpdateMaskReadsAtViewStrideAndKeepsMotifMask) {
    BaseModContext context;
    ASSERT_TRUE(context.decode("_:XG:_:_"));
    const std::string sequence = "CGCA";
    const std::string alphabet = "ACmG";
    // Every value followed by a filler byte: the view's stride is 2.
    std::vector<uint8_t> storage(sequence.size() * alphabet.size() * 2, 0);
    storage[(2 * alphabet.size() + 2) * 2] = 250;  // the C not in CG, channel m
    storage[(2 * alphabet.size() + 2) * 2 + 1] = 0;
    storage[(0 * alphabet.size() + 2) * 2 + 1] = 255;  // filler, must not be read
    const auto view = VecView<uint8_t>::view(storage.data(), sequence.size() * alphabet.size(), 2);
    auto mask = context.get_sequence_mask(sequence);
    context.update_mask(mask, sequence, alphabet, view, 200);
    // C has a motif: only CG positions count, whatever the probabilities.
    EXPECT_EQ(mask, (std::vector<int32_t>{1, 0, 0, 0}));
}

TEST(BaseModContextTest, UpdateMaskRefusesBadInput) {
    const BaseModContext context;
    std::vector<uint8_t> probs(8, 0);
    const auto view = VecView<uint8_t>::view(probs.data(), probs.size(), 1);
    std::vector<int32_t> mask(4, 0);
    EXPECT_THROW(context.update_mask(mask, "ACGT", "mC", view, 0), std::out_of_range);
    // Probabilities shorter than sequence x alphabet are refused, never read past.
    std::vector<int32_t> long_mask(5, 0);
    EXPECT_THROW(context.update_mask(long_mask, "ACGTA", "Cm", view, 0), std::out_of_range);
}

}  // namespace
