#include "bam/sam_line.h"

#include "sam_test_utils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

using namespace bass::bam;
using bass::bam::util::parse_sam_line_to_bam_record;
using bass::bam::util::update_sam_line;

namespace {

const std::vector<RefSeq> REFS{{"chr1", 1000000}, {"chr2", 1000000}, {"chr3", 1000000}};

BamRecord parse_ok(const std::string& line) {
    BamRecord record;
    std::string error;
    EXPECT_TRUE(parse_sam_line_to_bam_record(line, record, REFS, error)) << error << " for " << line;
    return record;
}

std::string round_trip(const std::string& line) {
    BamRecord record = parse_ok(line);
    std::string error;
    EXPECT_TRUE(update_sam_line(REFS, record, error)) << error;
    return record.sam_line;
}

std::string parse_error(const std::string& line) {
    BamRecord record;
    std::string error;
    EXPECT_FALSE(parse_sam_line_to_bam_record(line, record, REFS, error)) << line;
    return error;
}

}  // namespace

TEST(SamLineParse, UnmappedLineFields) {
    const std::string line = "r1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t!!!!";
    const BamRecord record = parse_ok(line);
    EXPECT_EQ("r1", record.read_name);
    EXPECT_EQ(4, record.flag);
    EXPECT_EQ(-1, record.ref_id);
    EXPECT_EQ(-1, record.pos);
    EXPECT_EQ(4680, record.bin);
    EXPECT_TRUE(record.cigar.empty());
    EXPECT_EQ(1U, record.ref_length);
    EXPECT_EQ(4, record.l_seq);
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0}), record.qual);
    EXPECT_EQ(-1, record.next_ref_id);
    EXPECT_EQ(-1, record.next_pos);
    EXPECT_TRUE(record.aux.empty());
    EXPECT_EQ(line, record.sam_line);
    EXPECT_EQ(line, round_trip(line));
}

TEST(SamLineParse, MappedLineFieldsAndBin) {
    const BamRecord record = parse_ok("r2\t99\tchr2\t101\t60\t5M2I3M\t=\t301\t150\tACGTACGTAC\t!!!!!!!!!!");
    EXPECT_EQ(1, record.ref_id);
    EXPECT_EQ(100, record.pos);
    EXPECT_EQ(60, record.mapq);
    EXPECT_EQ(8U, record.ref_length);
    EXPECT_EQ(4681, record.bin);
    EXPECT_EQ(1, record.next_ref_id);
    EXPECT_EQ(300, record.next_pos);
    EXPECT_EQ(150, record.tlen);
    EXPECT_EQ((std::vector<uint32_t>{(5U << 4) | 0, (2U << 4) | 1, (3U << 4) | 0}), record.cigar);
    // A name that is not listed resolves to -1.
    EXPECT_EQ(-1, parse_ok("r\t0\tchrX\t1\t0\t1M\tchr1\t1\t0\tA\t!").ref_id);
}

TEST(SamLineParse, MalformedMandatoryFields) {
    for (const std::string line : {
                 "r1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT",            // no QUAL
                 "r1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t!!!",       // QUAL shorter than SEQ
                 "r1\tx\t*\t0\t0\t*\t*\t0\t0\tACGT\t!!!!",      // FLAG not a number
                 "r1\t70000\t*\t0\t0\t*\t*\t0\t0\tACGT\t!!!!",  // FLAG too wide
                 "r1\t4\t*\t3000000000\t0\t*\t*\t0\t0\tA\t!",   // POS too wide
                 "r1\t4\t*\t-5\t0\t*\t*\t0\t0\tA\t!",           // negative POS
                 "r1\t4\t*\t1x\t0\t*\t*\t0\t0\tA\t!",           // trailing garbage
                 "",
         }) {
        EXPECT_EQ("Malformed SAM line detected", parse_error(line)) << line;
    }
    EXPECT_EQ("Invalid cigar op detected: 'Q'", parse_error("r\t0\tchr1\t1\t0\t1Q\t*\t0\t0\tA\t!"));
    EXPECT_EQ("Invalid sequence code detected", parse_error("r\t0\tchr1\t1\t0\t1M\t*\t0\t0\t-\t!"));
}

TEST(SamLineParse, RecordsOfNoReferenceLengthAreBinnedAsOneBase) {
    // A mapped 4I in the second leaf bin, and an unmapped 4M that would cross into it.
    EXPECT_EQ(4682, parse_ok("r\t0\tchr1\t16385\t60\t4I\t*\t0\t0\tACGT\t*").bin);
    EXPECT_EQ(4681, parse_ok("r\t4\tchr1\t16383\t0\t4M\t*\t0\t0\tACGT\t*").bin);
    EXPECT_EQ(585, parse_ok("r\t0\tchr1\t16383\t60\t4M\t*\t0\t0\tACGT\t*").bin);
}

TEST(SamLineParse, QualitiesAbsentAndSequenceAbsent) {
    const std::string line = "r1\t0\tchr1\t5\t0\t4M\t*\t0\t0\tACGT\t*";
    const BamRecord record = parse_ok(line);
    EXPECT_EQ((std::vector<uint8_t>{255, 255, 255, 255}), record.qual);
    EXPECT_EQ(line, round_trip(line));

    const std::string no_seq = "r1\t0\tchr1\t5\t0\t4M\t*\t0\t0\t*\t*";
    const BamRecord empty = parse_ok(no_seq);
    EXPECT_EQ(0, empty.l_seq);
    EXPECT_TRUE(empty.qual.empty());
    EXPECT_EQ(no_seq, round_trip(no_seq));
}

TEST(SamLineUpdate, TlenIsZeroAndMateNames) {
    EXPECT_EQ("r2\t99\tchr2\t101\t60\t10M\t=\t301\t0\tACGTACGTAC\t*",
              round_trip("r2\t99\tchr2\t101\t60\t10M\t=\t301\t150\tACGTACGTAC\t*"));
    EXPECT_EQ("r2\t99\tchr2\t101\t60\t10M\tchr3\t301\t0\tACGTACGTAC\t*",
              round_trip("r2\t99\tchr2\t101\t60\t10M\tchr3\t301\t0\tACGTACGTAC\t*"));

    BamRecord out_of_range = parse_ok("r\t0\tchr1\t1\t0\t1M\t*\t0\t0\tA\t!");
    out_of_range.ref_id = 5;
    out_of_range.sam_line = "kept";
    std::string error;
    EXPECT_FALSE(update_sam_line(REFS, out_of_range, error));
    EXPECT_EQ("kept", out_of_range.sam_line);
    EXPECT_EQ("", error);
}

TEST(SamLineAux, ParsesEveryTextType) {
    const BamRecord record = parse_ok(
            "r\t0\tchr1\t1\t0\t2M\t*\t0\t0\tAC\t!!\tXA:A:q\tNM:i:-3\tXF:f:2.0\tXZ:Z:\tXH:H:1AE3\t"
            "ML:B:C,1,2,255\tXS:B:s,-2,300\tXB:B:C");
    ASSERT_EQ(8U, record.aux.size());
    EXPECT_EQ('q', boost::any_cast<char>(record.aux[0].value));
    EXPECT_EQ(-3, boost::any_cast<int8_t>(record.aux[1].value));
    EXPECT_FLOAT_EQ(2.0F, boost::any_cast<float>(record.aux[2].value));
    EXPECT_EQ("", boost::any_cast<std::string>(record.aux[3].value));
    EXPECT_EQ("1AE3", boost::any_cast<std::string>(record.aux[4].value));
    const auto& ml = boost::any_cast<const AuxNumericalArray&>(record.aux[5].value);
    EXPECT_EQ('C', ml.type);
    EXPECT_EQ(3U, ml.count);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 255}), ml.data);
    const auto& xs = boost::any_cast<const AuxNumericalArray&>(record.aux[6].value);
    int16_t second = 0;
    std::memcpy(&second, xs.data.data() + 2, 2);
    EXPECT_EQ(300, second);
    EXPECT_EQ(0U, boost::any_cast<const AuxNumericalArray&>(record.aux[7].value).count);

    BamRecord copy = record;
    std::string error;
    ASSERT_TRUE(update_sam_line(REFS, copy, error)) << error;
    EXPECT_EQ(
            "r\t0\tchr1\t1\t0\t2M\t*\t0\t0\tAC\t!!\tXA:A:q\tNM:i:-3\tXF:f:2\tXZ:Z:\tXH:H:1AE3\t"
            "ML:B:C,1,2,255\tXS:B:s,-2,300\tXB:B:C",
            copy.sam_line);
}

TEST(SamLineAux, IntegersTakeTheSmallestTypeAndEveryValueSamAllows) {
    const std::string base = "r\t0\tchr1\t1\t0\t1M\t*\t0\t0\tA\t!";
    const std::string tags =
            "\tXa:i:-128\tXb:i:-129\tXc:i:-32769\tXd:i:255\tXe:i:65535\tXf:i:65536\tXg:i:2147483648"
            "\tXh:i:4294967295\tXi:i:-2147483648\tXB:B:I,4294967295,0\tXC:B:c,-128,127\tXS:B:S,65535";
    const BamRecord record = parse_ok(base + tags);
    std::string types;
    for (const auto& aux : record.aux) {
        types += aux.type;
    }
    EXPECT_EQ("csiCSiIIiBBB", types);
    EXPECT_EQ(4294967295U, boost::any_cast<uint32_t>(record.aux[7].value));
    EXPECT_EQ(base + tags, round_trip(base + tags));

    // A float too small for its type is 0, as SAM readers take it.
    EXPECT_EQ(base + "\tXF:f:0\tXG:B:f,0,1.5", round_trip(base + "\tXF:f:1e-50\tXG:B:f,1e-50,1.5"));

    for (const std::string bad : {"XI:i:4294967296", "XI:i:-2147483649", "XI:i:99999999999999999999", "XI:B:c,128",
                                  "XI:B:C,-1", "XI:B:S,65536", "XI:B:i,2147483648", "XI:f:1e50", "XI:B:f,-1e50"}) {
        BamRecord refused;
        std::string error;
        try {
            parse_sam_line_to_bam_record(base + "\t" + bad, refused, REFS, error);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const std::out_of_range& e) {
            EXPECT_TRUE(boost::algorithm::ends_with(e.what(), "in aux field XI")) << e.what();
        }
    }
}

TEST(SamLineAux, RejectsBadFields) {
    const std::string base = "r\t0\tchr1\t1\t0\t1M\t*\t0\t0\tA\t!";
    EXPECT_EQ("Invalid aux data detected: ", parse_error(base + "\t"));
    EXPECT_EQ("Invalid aux data detected: \n", parse_error(base + "\n"));
    EXPECT_EQ("Invalid aux data detected: NM-i:1", parse_error(base + "\tNM-i:1"));
    EXPECT_EQ("Invalid auxiliary data type) 'c' found in alignment record", parse_error(base + "\tXC:c:5"));
    // An array without a known subtype has no element width.
    EXPECT_EQ("Invalid auxiliary array type 'q' found in alignment record", parse_error(base + "\tXB:B:q,1"));
    EXPECT_EQ(std::string("Invalid auxiliary array type '\0' found in alignment record", 58),
              parse_error(base + "\tXB:B:"));

    BamRecord record;
    std::string error;
    EXPECT_THROW(parse_sam_line_to_bam_record(base + "\tNM:i:abc", record, REFS, error), std::invalid_argument);
    BamRecord wide;
    EXPECT_THROW(parse_sam_line_to_bam_record(base + "\tXI:B:I,4294967296", wide, REFS, error), std::out_of_range);
    BamRecord overfull;
    EXPECT_THROW(parse_sam_line_to_bam_record(base + "\tXB:B:C12,3", overfull, REFS, error), std::runtime_error);

    // A line feed after a last optional field is part of its value.
    const BamRecord with_newline = parse_ok(base + "\tXZ:Z:ab\n");
    EXPECT_EQ("ab\n", boost::any_cast<std::string>(with_newline.aux[0].value));
}

TEST(SamLineAux, WriterTypesAndFailures) {
    BamRecord record = parse_ok("r\t0\tchr1\t1\t0\t1M\t*\t0\t0\tA\t!");
    record.aux.push_back({"XC", 'C', uint8_t{200}});
    record.aux.push_back({"Xc", 'c', int8_t{-100}});
    record.aux.push_back({"XS", 'S', uint16_t{60000}});
    record.aux.push_back({"Xs", 's', int16_t{-3000}});
    record.aux.push_back({"XI", 'I', uint32_t{4000000000U}});
    record.aux.push_back({"XF", 'B', AuxNumericalArray{'f', 2, std::vector<uint8_t>(8, 0)}});
    std::string error;
    ASSERT_TRUE(update_sam_line(REFS, record, error)) << error;
    EXPECT_EQ(
            "r\t0\tchr1\t1\t0\t1M\t*\t0\t0\tA\t!\tXC:i:200\tXc:i:-100\tXS:i:60000\tXs:i:-3000\t"
            "XI:i:4000000000\tXF:B:f,0,0",
            record.sam_line);

    record.aux.push_back({"XQ", 'Q', std::string("x")});
    EXPECT_FALSE(update_sam_line(REFS, record, error));
    EXPECT_EQ("Invalid auxiliary data type encountered: Q", error);
    EXPECT_TRUE(boost::algorithm::ends_with(record.sam_line, "\tXQ:"));

    BamRecord short_array = parse_ok("r\t0\tchr1\t1\t0\t1M\t*\t0\t0\tA\t!");
    short_array.aux.push_back({"XB", 'B', AuxNumericalArray{'i', 3, std::vector<uint8_t>(8, 0)}});
    EXPECT_THROW(update_sam_line(REFS, short_array, error), std::runtime_error);

    BamRecord wrong_type = parse_ok("r\t0\tchr1\t1\t0\t1M\t*\t0\t0\tA\t!");
    wrong_type.aux.push_back({"NM", 'i', std::string("1")});
    EXPECT_THROW(update_sam_line(REFS, wrong_type, error), boost::bad_any_cast);
}

TEST(SamLineUpdate, RefusesRecordsThatWouldBeReadPastTheirData) {
    std::string error;
    BamRecord short_seq = parse_ok("r\t0\tchr1\t1\t0\t4M\t*\t0\t0\tACGT\t!!!!");
    short_seq.l_seq = 40;
    EXPECT_FALSE(update_sam_line(REFS, short_seq, error));
    EXPECT_EQ("Sequence data shorter than l_seq 40", error);

    BamRecord bad_op = parse_ok("r\t0\tchr1\t1\t0\t4M\t*\t0\t0\tACGT\t!!!!");
    bad_op.cigar.push_back((2U << 4) | 12);
    EXPECT_FALSE(update_sam_line(REFS, bad_op, error));
    EXPECT_EQ("Invalid cigar op code detected: 12", error);

    BamRecord bad_cg = parse_ok("r\t0\tchr1\t1\t0\t4S1N\t*\t0\t0\tACGT\t!!!!\tCG:B:I,16,16");
    boost::any_cast<AuxNumericalArray&>(bad_cg.aux[0].value).count = 50;
    EXPECT_FALSE(update_sam_line(REFS, bad_cg, error));
    EXPECT_EQ("Malformed CG auxiliary data detected", error);
}

// Found by fuzzing: the placeholder CIGAR with an empty CG array (its data has no address).
TEST(SamLineUpdate, EmptyCgFieldGivesNoOperations) {
    BamRecord record = parse_ok("r\t0\tchr1\t1\t0\t4S1N\t*\t0\t0\tACGT\t!!!!\tCG:B:I");
    std::string error;
    ASSERT_TRUE(update_sam_line(REFS, record, error)) << error;
    EXPECT_EQ("r\t0\tchr1\t1\t0\t*\t*\t0\t0\tACGT\t!!!!", record.sam_line);
}

TEST(SamLineUpdate, LongCigarPlaceholderOfRecordWithoutSequence) {
    std::string cigar;
    for (int i = 0; i < 65536; ++i) {
        cigar += i % 2 == 0 ? "1M" : "1D";
    }
    const std::string line = "long\t0\tchr1\t1\t60\t" + cigar + "\t*\t0\t0\t*\t*";
    BamRecord record = parse_ok(line);
    EXPECT_EQ((std::vector<uint32_t>{(0U << 4) | 4, (65536U << 4) | 3}), record.cigar);
    std::string error;
    ASSERT_TRUE(update_sam_line(REFS, record, error)) << error;
    EXPECT_EQ(line, record.sam_line);
}

TEST(SamLineUpdate, LongCigarRoundTripsThroughCgField) {
    std::string cigar;
    std::string seq;
    for (int i = 0; i < 65536; ++i) {
        cigar += i % 2 == 0 ? "1M" : "1I";
        seq += 'A';
    }
    const std::string line = "long\t0\tchr1\t1\t60\t" + cigar + "\t*\t0\t0\t" + seq + "\t*\tNM:i:0";
    BamRecord record = parse_ok(line);
    EXPECT_EQ(2U, record.cigar.size());
    ASSERT_EQ(2U, record.aux.size());
    EXPECT_EQ("CG", record.aux[0].tag);
    EXPECT_EQ(32768U, record.ref_length);
    EXPECT_EQ(585, record.bin);  // 0..32767 spans two 16 kb leaf bins
    std::string error;
    ASSERT_TRUE(update_sam_line(REFS, record, error)) << error;
    EXPECT_EQ(line, record.sam_line);
    EXPECT_TRUE(vexil_test::samtools_accepts({record.sam_line}));
}

TEST(SamLineSamtools, WrittenLinesAreAcceptedUnchanged) {
    const std::vector<std::string> input{
            "u1\t4\t*\t0\t0\t*\t*\t0\t0\tACGTN\t!#%')",
            "m1\t0\tchr1\t100\t60\t3S5M1D2M\t*\t0\t0\tACGTACGTAC\tIIIIIIIIII\tNM:i:1\tMD:Z:5^A2",
            "m2\t16\tchr2\t5000\t12\t4M\t*\t0\t0\tACGU\t*\tML:B:C,1,2,255\tMM:Z:C+m?,0;",
            "p1\t99\tchr1\t200\t60\t4M\t=\t400\t0\tTTTT\t5555\tXS:B:s,-2,300\tXA:A:x",
            "p2\t147\tchr1\t400\t60\t4M\tchr2\t200\t0\tGGGG\t5555\tXI:B:i,-70000,5",
            // Values and letters every SAM reader accepts, and the float text written for them.
            "t1\t0\tchr1\t16385\t60\t4I\t*\t0\t0\tacgt\t*\tXI:i:3000000000\tXB:B:I,4294967295\tXF:f:3.0",
            "t2\t4\tchr1\t16383\t0\t4M\t*\t0\t0\tAC.T\t*\tXF:f:1e-50\tXG:B:f,0.0,2.5\tXc:i:-129",
    };
    std::vector<std::string> written;
    for (const auto& line : input) {
        written.push_back(round_trip(line));
    }
    std::vector<std::string> expected = input;
    expected[2] = "m2\t16\tchr2\t5000\t12\t4M\t*\t0\t0\tACGT\t*\tML:B:C,1,2,255\tMM:Z:C+m?,0;";
    expected[5] = "t1\t0\tchr1\t16385\t60\t4I\t*\t0\t0\tACGT\t*\tXI:i:3000000000\tXB:B:I,4294967295\tXF:f:3";
    expected[6] = "t2\t4\tchr1\t16383\t0\t4M\t*\t0\t0\tACNT\t*\tXF:f:0\tXG:B:f,0,2.5\tXc:i:-129";
    EXPECT_EQ(expected, written);
    EXPECT_TRUE(vexil_test::samtools_accepts(written));
}
