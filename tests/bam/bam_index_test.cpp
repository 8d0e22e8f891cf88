#include "bam/bam_index.h"
#include "bam/bam_record.h"
#include "bam/bam_utils.h"

#include "sam_test_utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using bass::bam::util::print_index_from_file;

namespace {

// Builds index file contents item by item, little-endian.
class IndexBytes {
public:
    IndexBytes& magic(const std::string& word = bass::bam::util::BAI_MAGIC_WORD) {
        m_bytes += word;
        return *this;
    }
    IndexBytes& i32(int32_t value) { return put(static_cast<uint32_t>(value), 4); }
    IndexBytes& u32(uint32_t value) { return put(value, 4); }
    IndexBytes& u64(uint64_t value) { return put(value, 8); }
    IndexBytes& raw(const std::string& bytes) {
        m_bytes += bytes;
        return *this;
    }
    const std::string& bytes() const { return m_bytes; }

private:
    IndexBytes& put(uint64_t value, int width) {
        for (int i = 0; i < width; ++i) {
            m_bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
        }
        return *this;
    }
    std::string m_bytes;
};

struct PrintResult {
    bool ok;
    std::string text;
    std::string error;
};

PrintResult print_bytes(const std::string& bytes) {
    vexil_test::TempFile file;
    {
        std::ofstream out(file.path(), std::ios::binary);
        out << bytes;
    }
    std::ostringstream text;
    std::string error;
    const bool ok = print_index_from_file(file.path(), text, error);
    if (!error.empty()) {
        // Messages name the file; replace it so expectations can be fixed texts.
        const auto at = error.find(file.path());
        if (at != std::string::npos) {
            error.replace(at, file.path().size(), "FILE");
        }
    }
    return {ok, text.str(), error};
}

IndexBytes one_bin_index() {
    return IndexBytes()
            .magic()
            .i32(1)
            .i32(1)
            .u32(4681)
            .i32(1)
            .u64(65536ULL * 100 + 5)
            .u64(65536ULL * 200 + 7)
            .i32(2)
            .u64(65536ULL * 100 + 5)
            .u64(65536ULL * 300);
}

}  // namespace

TEST(BamIndexPrint, EmptyIndexAndTrailingCount) {
    auto result = print_bytes(IndexBytes().magic().i32(0).bytes());
    EXPECT_TRUE(result.ok);
    EXPECT_EQ("n_ref is 0\n", result.text);

    result = print_bytes(IndexBytes().magic().i32(0).u64(7).bytes());
    EXPECT_TRUE(result.ok);
    EXPECT_EQ("n_ref is 0\nGot n_no_coor 7\n", result.text);

    result = print_bytes(IndexBytes().magic().i32(0).u64(7).u32(1).bytes());
    EXPECT_TRUE(result.ok);
    EXPECT_EQ("n_ref is 0\nGot n_no_coor 7\nError: more bytes available in the index file!\n", result.text);

    // A few bytes too short for n_no_coor are trailing garbage as well.
    result = print_bytes(IndexBytes().magic().i32(0).raw("ab").bytes());
    EXPECT_TRUE(result.ok);
    EXPECT_EQ("n_ref is 0\nError: more bytes available in the index file!\n", result.text);
}

TEST(BamIndexPrint, BinsChunksAndLinearIntervals) {
    const auto result = print_bytes(one_bin_index().bytes());
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(
            "n_ref is 1\n"
            "\n"
            "Ref 0 has 1 bins\n"
            "Ref 0 bin 4681 has 1 chunks\n"
            "Start is file offset 100 block offset 5\n"
            "End is file offset 200 block offset 7\n"
            "Ref 0 has 1 total real chunks\n"
            "Ref 0 has 2 linear intervals\n"
            "Linear file offset 100 block offset 5 (0 - 16383)\n"
            "Linear file offset 300 block offset 0 (16384 - 32767)\n",
            result.text);
}

TEST(BamIndexPrint, PseudoBin) {
    const auto good = print_bytes(IndexBytes()
                                          .magic()
                                          .i32(1)
                                          .i32(1)
                                          .u32(37450)
                                          .i32(2)
                                          .u64(65536ULL * 9 + 1)
                                          .u64(65536ULL * 10 + 2)
                                          .u64(12)
                                          .u64(3)
                                          .i32(0)
                                          .bytes());
    ASSERT_TRUE(good.ok) << good.error;
    EXPECT_EQ(
            "n_ref is 1\n\nRef 0 has 1 bins\nRef 0 bin 37450 has 2 chunks\n"
            "Magic bin says placed unmapped begin 9,1 end 10,2, num mapped 12, unmapped 3\n"
            "Ref 0 has 0 total real chunks\nRef 0 has 0 linear intervals\n",
            good.text);

    const auto bad = print_bytes(
            IndexBytes().magic().i32(1).i32(1).u32(37450).i32(3).u64(0).u64(0).u64(0).u64(0).u64(0).u64(0).bytes());
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ("Encountered malformed magic bin in index file FILE", bad.error);
    EXPECT_EQ("n_ref is 1\n\nRef 0 has 1 bins\nRef 0 bin 37450 has 3 chunks\n", bad.text);
}

TEST(BamIndexPrint, HeaderAndOpenFailures) {
    auto result = print_bytes(IndexBytes().magic(bass::bam::util::BAM_MAGIC_WORD).i32(0).bytes());
    EXPECT_FALSE(result.ok);
    EXPECT_EQ("Encountered malformed BAI header in file FILE", result.error);
    EXPECT_TRUE(result.text.empty());

    result = print_bytes("BA");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ("Encountered malformed BAI header in file FILE", result.error);

    std::string error;
    std::ostringstream text;
    EXPECT_FALSE(print_index_from_file("/nonexistent/dir/x.bai", text, error));
    EXPECT_EQ("Cannot open index file /nonexistent/dir/x.bai", error);
}

TEST(BamIndexPrint, TruncatedFilesStopWithAnError) {
    const std::string full = one_bin_index().bytes();
    // Every cut inside the per-reference data must end cleanly, never loop on garbage counts.
    for (std::size_t length = 4; length < full.size(); ++length) {
        const auto result = print_bytes(full.substr(0, length));
        EXPECT_FALSE(result.ok) << length;
        EXPECT_EQ("Unexpected end of index file FILE", result.error) << length;
    }
    // A huge bin count with no data behind it.
    const auto result = print_bytes(IndexBytes().magic().i32(1).i32(2000000000).bytes());
    EXPECT_FALSE(result.ok);
    EXPECT_EQ("Unexpected end of index file FILE", result.error);
}

TEST(BamIndexPrint, IndexWrittenBySamtools) {
    namespace fs = std::filesystem;
    std::string dir_template = (fs::temp_directory_path() / "vexil_bai_XXXXXX").string();
    ASSERT_NE(nullptr, ::mkdtemp(dir_template.data()));
    const fs::path dir(dir_template);
    struct Cleanup {
        fs::path path;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } cleanup{dir};

    {
        std::ofstream sam(dir / "reads.sam");
        sam << "@HD\tVN:1.6\tSO:coordinate\n"
               "@SQ\tSN:chr1\tLN:100000\n@SQ\tSN:chr2\tLN:100000\n@SQ\tSN:chr3\tLN:100000\n"
               "a\t0\tchr1\t100\t60\t50M\t*\t0\t0\t*\t*\n"
               "b\t0\tchr2\t20000\t60\t10M\t*\t0\t0\t*\t*\n"
               "c\t4\tchr2\t20000\t0\t*\t*\t0\t0\t*\t*\n"
               "d\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t!!!!\n"
               "e\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t!!!!\n";
    }
    const std::string bam = (dir / "reads.bam").string();
    const std::string command =
            "samtools view -b -o " + bam + " " + (dir / "reads.sam").string() + " && samtools index " + bam;
    ASSERT_EQ(0, std::system(command.c_str()));

    std::ostringstream text;
    std::string error;
    ASSERT_TRUE(print_index_from_file(bam + ".bai", text, error)) << error;
    const std::string printed = text.str();
    EXPECT_EQ(0U, printed.find("n_ref is 3\n")) << printed;
    // The leaf bins of the placed reads are those our bin arithmetic gives them.
    using bass::bam::util::internal::reg_to_bin;
    EXPECT_NE(std::string::npos, printed.find("Ref 0 bin " + std::to_string(reg_to_bin(99, 149)) + " has 1 chunks"))
            << printed;
    EXPECT_NE(std::string::npos,
              printed.find("Ref 1 bin " + std::to_string(reg_to_bin(19999, 20009)) + " has 1 chunks"))
            << printed;
    EXPECT_NE(std::string::npos, printed.find(", num mapped 1, unmapped 0\n")) << printed;
    EXPECT_NE(std::string::npos, printed.find(", num mapped 1, unmapped 1\n")) << printed;
    EXPECT_NE(std::string::npos, printed.find("\nRef 2 has 0 bins\n")) << printed;
    EXPECT_NE(std::string::npos, printed.find("Ref 1 has 2 linear intervals\n")) << printed;
    EXPECT_NE(std::string::npos, printed.find("Got n_no_coor 2\n")) << printed;
    EXPECT_EQ(std::string::npos, printed.find("more bytes")) << printed;
}

TEST(BamIndexPrint, DefaultOverloadWritesToStandardOutput) {
    vexil_test::TempFile file;
    {
        std::ofstream out(file.path(), std::ios::binary);
        out << IndexBytes().magic().i32(0).u64(4).bytes();
    }
    std::string error;
    ::testing::internal::CaptureStdout();
    const bool ok = print_index_from_file(file.path(), error);
    EXPECT_EQ("n_ref is 0\nGot n_no_coor 4\n", ::testing::internal::GetCapturedStdout());
    EXPECT_TRUE(ok) << error;
}
