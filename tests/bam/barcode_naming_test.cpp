#include "bam/barcode_naming.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace bn = bass::util::barcode_naming;

namespace {

const std::string PATTERN = "barcode%02i";

TEST(BarcodeNamingTest, NormalisedIdPadsAndAppendsSuffixOnlyForTwelve) {
    EXPECT_EQ(bn::generate_normalised_id(PATTERN, 5, false), "barcode05");
    EXPECT_EQ(bn::generate_normalised_id(PATTERN, 12, true), "barcode12a");
    EXPECT_EQ(bn::generate_normalised_id(PATTERN, 12, false), "barcode12");
    EXPECT_EQ(bn::generate_normalised_id(PATTERN, 5, true), "barcode05");
    EXPECT_EQ(bn::generate_normalised_id(PATTERN, 123, false), "barcode123");
}

TEST(BarcodeNamingTest, DirectiveWidthAndSurroundingText) {
    EXPECT_EQ(bn::generate_normalised_id("BC%i", 7, false), "BC7");
    EXPECT_EQ(bn::generate_normalised_id("BC%3i", 7, false), "BC  7");
    EXPECT_EQ(bn::generate_normalised_id("RB%02i_x", 3, false), "RB03_x");
}

TEST(BarcodeNamingTest, InvalidPatternsAreRefusedWithPatternInMessage) {
    for (const std::string pattern : {"barcode", "bc%02i%02i", "barcode%02d", "barcode%", "bc%%i", "%-2i"}) {
        try {
            bn::generate_normalised_id(pattern, 1, false);
            FAIL() << "accepted " << pattern;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "Invalid normalised pattern: " + pattern);
        }
    }
}

TEST(BarcodeNamingTest, DualIdUsesLastTwoCharactersOfEachName) {
    EXPECT_EQ(bn::generate_dual_normalised_id("barcode05", "barcode12"), "barcode_external05_internal12");
    EXPECT_EQ(bn::generate_dual_normalised_id("05", "12"), "barcode_external05_internal12");
    EXPECT_THROW(bn::generate_dual_normalised_id("5", "barcode12"), std::out_of_range);
    EXPECT_THROW(bn::generate_dual_normalised_id("barcode05", ""), std::out_of_range);
}

TEST(BarcodeNamingTest, ExtractDualBarcodesRoundTrip) {
    const std::string combined = bn::generate_dual_normalised_id("barcode05", "barcode12");
    std::string outer;
    std::string inner;
    ASSERT_TRUE(bn::extract_dual_barcodes(combined, nullptr, outer, inner));
    EXPECT_EQ(outer, "external05");
    EXPECT_EQ(inner, "internal12");

    ASSERT_TRUE(bn::extract_dual_barcodes(combined, &PATTERN, outer, inner));
    EXPECT_EQ(outer, "barcode05");
    EXPECT_EQ(inner, "barcode12");

    ASSERT_TRUE(bn::extract_dual_barcodes("barcode_external05_internal12a", &PATTERN, outer, inner));
    EXPECT_EQ(outer, "barcode05");
    EXPECT_EQ(inner, "barcode12a");
}

TEST(BarcodeNamingTest, ExtractDualBarcodesNumberIsSignedDecimalOnly) {
    std::string outer;
    std::string inner;
    ASSERT_TRUE(bn::extract_dual_barcodes("barcode_external-5_internal007", &PATTERN, outer, inner));
    EXPECT_EQ(outer, "barcode-5");
    EXPECT_EQ(inner, "barcode07");
    for (const std::string name : {"barcode_external+5_internal12", "barcode_external-_internal12",
                                   "barcode_external0x1_internal12", "barcode_external5aa_internal12"}) {
        EXPECT_FALSE(bn::extract_dual_barcodes(name, &PATTERN, outer, inner)) << name;
    }
}

TEST(BarcodeNamingTest, ExtractDualBarcodesRejectsMalformedNamesAndKeepsOutputs) {
    const std::string bad_names[] = {
            "barcode__external05_internal12",  // doubled separator
            "barcodes_external05_internal12",
            "barcode_external_internal12",  // second token exactly "external"
            "barcode_external05",
            "barcode_internal05_external12",
            "barcode_external05_internal12_x",
    };
    for (const auto& name : bad_names) {
        std::string outer = "keep_o";
        std::string inner = "keep_i";
        EXPECT_FALSE(bn::extract_dual_barcodes(name, nullptr, outer, inner)) << name;
        EXPECT_EQ(outer, "keep_o");
        EXPECT_EQ(inner, "keep_i");
    }
    for (const std::string name : {"barcode_external5x_internal12", "barcode_externala_internal12",
                                   "barcode_external05_internal1 2", "barcode_external05_internal99999999999"}) {
        std::string outer = "keep_o";
        std::string inner = "keep_i";
        EXPECT_FALSE(bn::extract_dual_barcodes(name, &PATTERN, outer, inner)) << name;
        EXPECT_EQ(outer, "keep_o");
        EXPECT_EQ(inner, "keep_i");
    }
}

TEST(BarcodeNamingTest, ExtractDualBarcodesWithBadPatternThrowsAndKeepsOutputs) {
    const std::string bad_pattern = "barcode%02d";
    std::string outer = "keep_o";
    std::string inner = "keep_i";
    EXPECT_THROW(bn::extract_dual_barcodes("barcode_external05_internal12", &bad_pattern, outer, inner),
                 std::runtime_error);
    EXPECT_EQ(outer, "keep_o");
    EXPECT_EQ(inner, "keep_i");
}

}  // namespace
