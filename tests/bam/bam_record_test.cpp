#include "bam/bam_record.h"
#include "bam/bam_utils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

using namespace bass::bam;
using namespace bass::bam::util::internal;

TEST(BamConstants, MagicWordsAndCodeTables) {
    EXPECT_EQ(std::string("BAM\x01", 4), util::BAM_MAGIC_WORD);
    EXPECT_EQ(std::string("BAI\x01", 4), util::BAI_MAGIC_WORD);
    EXPECT_EQ(util::CIGAR_OP_CODES.find('X'), 8U);
    EXPECT_EQ(util::SEQ_CODES.find('N'), 15U);
    const auto codes = fillmap("ABA");
    EXPECT_EQ(256U, codes.size());
    EXPECT_EQ(2, codes.at('A'));  // a repeated letter keeps its last position
    EXPECT_EQ(-1, codes.at('Z'));
}

TEST(BamRefs, LookupByNameAndIndex) {
    const std::vector<RefSeq> refs{{"chr1", 10}, {"chr2", 20}, {"chr1", 30}};
    EXPECT_EQ(0, get_ref_index(refs, "chr1"));
    EXPECT_EQ(1, get_ref_index(refs, "chr2"));
    EXPECT_EQ(-1, get_ref_index(refs, "CHR1"));
    EXPECT_EQ(-1, get_ref_index(refs, "*"));

    std::string name = "unchanged";
    EXPECT_TRUE(get_ref_name(refs, -1, name));
    EXPECT_EQ("*", name);
    EXPECT_TRUE(get_ref_name(refs, 1, name));
    EXPECT_EQ("chr2", name);
    name = "unchanged";
    EXPECT_FALSE(get_ref_name(refs, -2, name));
    EXPECT_FALSE(get_ref_name(refs, 3, name));
    EXPECT_EQ("unchanged", name);
}

TEST(BamBins, SingleBinAndOverlappingBins) {
    EXPECT_EQ(4681, reg_to_bin(0, 1));
    EXPECT_EQ(4680, reg_to_bin(-1, 0));
    EXPECT_EQ(4681 + 1, reg_to_bin(16384, 16385));
    EXPECT_EQ(585, reg_to_bin(16383, 16385));
    EXPECT_EQ(0, reg_to_bin(0, (1 << 26) + 1));
    // The smallest end must not overflow when decremented.
    EXPECT_NO_THROW(reg_to_bin(0, std::numeric_limits<int32_t>::min()));

    std::vector<uint16_t> bins{99};
    reg_to_bins(16383, 16385, bins);
    EXPECT_EQ((std::vector<uint16_t>{99, 0, 1, 9, 73, 585, 4681, 4682}), bins);
}

TEST(BamFloatText, SixDecimalsWithoutTrailingZerosOrPoint) {
    EXPECT_EQ("2.5", float_to_stripped_string(2.5F));
    // SAM's float syntax has no trailing point.
    EXPECT_EQ("3", float_to_stripped_string(3.0F));
    EXPECT_EQ("100", float_to_stripped_string(100.0F));
    EXPECT_EQ("0", float_to_stripped_string(0.0F));
    EXPECT_EQ("0", float_to_stripped_string(1e-7F));
    EXPECT_EQ("-2", float_to_stripped_string(-2.0F));
    EXPECT_EQ("0.25", float_to_stripped_string(0.25F));
    EXPECT_EQ("-1.125", float_to_stripped_string(-1.125F));
    EXPECT_EQ("0.333333", float_to_stripped_string(1.0F / 3.0F));
    EXPECT_EQ("inf", float_to_stripped_string(std::numeric_limits<float>::infinity()));
}

TEST(BamCigar, PacksOperationsAndSpan) {
    BamRecord record;
    uint64_t span = 0;
    std::string error;
    ASSERT_TRUE(pack_cigar_string("10M2I5D3S", record, span, 20, error));
    EXPECT_EQ(15U, span);
    EXPECT_EQ((std::vector<uint32_t>{(10U << 4) | 0, (2U << 4) | 1, (5U << 4) | 2, (3U << 4) | 4}), record.cigar);

    BamRecord star;
    ASSERT_TRUE(pack_cigar_string("*", star, span, 0, error));
    EXPECT_EQ(1U, span);
    EXPECT_TRUE(star.cigar.empty());

    BamRecord empty;
    ASSERT_TRUE(pack_cigar_string("", empty, span, 0, error));
    EXPECT_EQ(0U, span);
    EXPECT_TRUE(empty.cigar.empty());
}

TEST(BamCigar, RejectsBadLettersTrailingCountsAndOversizedLengths) {
    BamRecord record;
    uint64_t span = 0;
    std::string error;
    EXPECT_FALSE(pack_cigar_string("10Q", record, span, 0, error));
    EXPECT_EQ("Invalid cigar op detected: 'Q'", error);
    EXPECT_FALSE(pack_cigar_string("10M5", record, span, 0, error));
    EXPECT_EQ(std::string("Invalid cigar op detected: '\0'", 30), error);
    // Lengths that do not fit 28 bits would corrupt the operation code.
    EXPECT_FALSE(pack_cigar_string("268435456M", record, span, 0, error));
    EXPECT_EQ("Invalid cigar op length detected: 268435456", error);
    EXPECT_FALSE(pack_cigar_string("-5M", record, span, 0, error));
    EXPECT_FALSE(pack_cigar_string("99999999999999999999999M", record, span, 0, error));
    EXPECT_TRUE(pack_cigar_string("268435455M", record, span, 0, error));
    EXPECT_EQ(268435455U, span);
}

TEST(BamCigar, LongCigarMovesToCgField) {
    std::string below;
    for (int i = 0; i < 65535; ++i) {
        below += i % 2 == 0 ? "1M" : "1I";
    }
    BamRecord short_record;
    uint64_t span = 0;
    std::string error;
    ASSERT_TRUE(pack_cigar_string(below, short_record, span, 0, error));
    EXPECT_EQ(65535U, short_record.cigar.size());
    EXPECT_TRUE(short_record.aux.empty());

    const std::string at_limit = below + "1M";
    BamRecord record;
    ASSERT_TRUE(pack_cigar_string(at_limit, record, span, 32768, error));
    EXPECT_EQ(32769U, span);
    EXPECT_EQ((std::vector<uint32_t>{(32768U << 4) | 4, (32769U << 4) | 3}), record.cigar);
    ASSERT_EQ(1U, record.aux.size());
    EXPECT_EQ("CG", record.aux[0].tag);
    EXPECT_EQ('B', record.aux[0].type);
    const auto& array = boost::any_cast<const AuxNumericalArray&>(record.aux[0].value);
    EXPECT_EQ('I', array.type);
    ASSERT_EQ(65536U, array.count);
    ASSERT_EQ(65536U * 4, array.data.size());
    uint32_t second = 0;
    std::memcpy(&second, array.data.data() + 4, 4);
    EXPECT_EQ((1U << 4) | 1, second);

    std::string text;
    bool is_placeholder = false;
    unpack_cigar_string(record.cigar.data(), record.cigar.size(), text, 32768, is_placeholder);
    EXPECT_EQ("32768S32769N", text);
    EXPECT_TRUE(is_placeholder);
}

TEST(BamCigar, UnpackAndPlaceholderDetection) {
    std::string text = "old";
    bool is_placeholder = true;
    unpack_cigar_string(nullptr, 0, text, 0, is_placeholder);
    EXPECT_EQ("*", text);
    EXPECT_FALSE(is_placeholder);

    for (const auto& [clip, expected] : std::vector<std::pair<uint32_t, bool>>{{100, true}, {150, true}, {99, false}}) {
        const std::vector<uint32_t> ops{(clip << 4) | 4, (20U << 4) | 3};
        unpack_cigar_string(ops.data(), ops.size(), text, 100, is_placeholder);
        EXPECT_EQ(std::to_string(clip) + "S20N", text);
        EXPECT_EQ(expected, is_placeholder) << clip;
    }
    // A code beyond the letter table must not index past it.
    const std::vector<uint32_t> bad{(3U << 4) | 15};
    unpack_cigar_string(bad.data(), bad.size(), text, 0, is_placeholder);
    EXPECT_EQ("3?", text);
}

TEST(BamSeq, PacksNibblesAndRoundTrips) {
    BamRecord record;
    std::string error;
    ASSERT_TRUE(pack_seq_string("ACGTN", record, error));
    EXPECT_EQ(5, record.l_seq);
    EXPECT_EQ((std::vector<uint8_t>{0x12, 0x48, 0xF0}), record.seq);
    std::string text;
    ASSERT_TRUE(unpack_seq_string(record, text));
    EXPECT_EQ("ACGTN", text);

    BamRecord rna;
    ASSERT_TRUE(pack_seq_string("ACGU", rna, error));
    EXPECT_EQ((std::vector<uint8_t>{0x12, 0x48}), rna.seq);

    BamRecord all_codes;
    ASSERT_TRUE(pack_seq_string(util::SEQ_CODES, all_codes, error));
    text.clear();
    ASSERT_TRUE(unpack_seq_string(all_codes, text));
    EXPECT_EQ(util::SEQ_CODES, text);

    BamRecord absent;
    ASSERT_TRUE(pack_seq_string("*", absent, error));
    EXPECT_EQ(0, absent.l_seq);
    text.clear();
    unpack_seq_string(absent, text);
    EXPECT_EQ("*", text);

    // SAM sequences are case-insensitive and '.' is an unknown base.
    for (const auto& [text, packed] : std::vector<std::pair<std::string, std::vector<uint8_t>>>{
                 {"acgtn", {0x12, 0x48, 0xF0}}, {"AC.T", {0x12, 0xF8}}, {"u", {0x80}}}) {
        BamRecord record_of_text;
        ASSERT_TRUE(pack_seq_string(text, record_of_text, error)) << text;
        EXPECT_EQ(packed, record_of_text.seq) << text;
    }

    for (const std::string bad : {"ACGTx", "AC-T", ""}) {
        BamRecord rejected;
        error.clear();
        EXPECT_FALSE(pack_seq_string(bad, rejected, error)) << bad;
        EXPECT_EQ("Invalid sequence code detected", error);
    }
}

TEST(BamSeq, UnpackRefusesSequenceDataShorterThanLength) {
    BamRecord record;
    record.l_seq = 10;
    record.seq = {0x12};
    std::string text;
    EXPECT_FALSE(unpack_seq_string(record, text));
    EXPECT_TRUE(text.empty());
}

TEST(BamQual, PacksPhredAndAbsentQualities) {
    BamRecord record;
    std::string error;
    ASSERT_TRUE(pack_seq_string("ACG", record, error));
    pack_phred_string("*", record);
    EXPECT_EQ((std::vector<uint8_t>{255, 255, 255}), record.qual);
    std::string text;
    unpack_phred_string(record, text);
    EXPECT_EQ("*", text);

    pack_phred_string("!5I", record);
    EXPECT_EQ((std::vector<uint8_t>{0, 20, 40}), record.qual);
    unpack_phred_string(record, text);
    EXPECT_EQ("!5I", text);

    // Text shorter than the sequence would be read past its end; it counts as absent.
    pack_phred_string("!!", record);
    EXPECT_EQ((std::vector<uint8_t>{255, 255, 255}), record.qual);

    // Qualities shorter than l_seq are not read past their end either.
    record.qual = {30};
    unpack_phred_string(record, text);
    EXPECT_EQ("*", text);
}

TEST(BamVirtualOffset, SplitsFileAndBlockOffsets) {
    uint64_t file_offset = 0;
    uint16_t block_offset = 0;
    unpack_virtual_offset(65538ULL * 65536 + 3, file_offset, block_offset);
    EXPECT_EQ(65538U, file_offset);
    EXPECT_EQ(3U, block_offset);
}
