#include "common/read_id_whitelist.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <unordered_set>

namespace {

class ReadIdWhitelistFile : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("whitelist-%%%%-%%%%");
        boost::filesystem::create_directories(m_folder);
    }
    void TearDown() override { boost::filesystem::remove_all(m_folder); }

    std::string write(const std::string& content) const {
        const auto path = (m_folder / "ids.txt").string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    boost::filesystem::path m_folder;
};

using Set = std::unordered_set<std::string>;

}  // namespace

TEST_F(ReadIdWhitelistFile, ReadsIdsWithoutWhiteSpace) {
    EXPECT_EQ(common::getReadIdWhitelist(write("r1\n r2\nr1\n\n")), (Set{"r1", "r2", ""}));
    EXPECT_EQ(common::getReadIdWhitelist(write("read 7\n")), (Set{"read7"}));
    EXPECT_EQ(common::getReadIdWhitelist(write("a\r\nb\r\nc")), (Set{"a", "b", "c"}));
    EXPECT_TRUE(common::getReadIdWhitelist(write("")).empty());
}

TEST_F(ReadIdWhitelistFile, MissingFileIsReported) {
    const auto missing = (m_folder / "nope.txt").string();
    try {
        common::getReadIdWhitelist(missing);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Could not load readIdWhitelist file: '" + missing + "'");
    }
}

TEST(ChunkDistribution, Examples) {
    using Chunks = std::vector<std::pair<std::size_t, std::size_t>>;
    EXPECT_EQ(common::distribute_chunks(10, 4, 1), (Chunks{{0, 3}, {3, 6}, {6, 9}}));
    EXPECT_EQ(common::distribute_chunks(10, 4, 0), (Chunks{{0, 3}, {4, 6}, {7, 9}}));
    EXPECT_EQ(common::distribute_chunks(3, 5, 0), (Chunks{{0, 2}}));
    EXPECT_EQ(common::distribute_chunks(5, 5, 2), (Chunks{{0, 4}}));
    EXPECT_TRUE(common::distribute_chunks(0, 5, 2).empty());
    EXPECT_EQ(common::count_chunks(0, 5, 2), 0u);
    EXPECT_EQ(common::count_chunks(5, 5, 2), 1u);
    EXPECT_EQ(common::count_chunks(10, 4, 1), 3u);
}

TEST(ChunkDistribution, ChunksCoverTheRangeWithTheirOverlap) {
    for (std::size_t total = 0; total <= 60; ++total) {
        for (std::size_t chunk_size = 1; chunk_size <= 12; ++chunk_size) {
            for (std::size_t overlap = 0; overlap < chunk_size; ++overlap) {
                const auto chunks = common::distribute_chunks(total, chunk_size, overlap);
                ASSERT_EQ(chunks.size(), common::count_chunks(total, chunk_size, overlap));
                if (total == 0) {
                    continue;
                }
                EXPECT_EQ(chunks.front().first, 0u);
                EXPECT_EQ(chunks.back().second, total - 1);
                for (std::size_t i = 0; i < chunks.size(); ++i) {
                    ASSERT_LE(chunks[i].first, chunks[i].second);
                    EXPECT_LE(chunks[i].second - chunks[i].first + 1, chunk_size);
                    if (i > 0) {
                        EXPECT_EQ(chunks[i - 1].second + 1 - chunks[i].first, overlap)
                                << total << " " << chunk_size << " " << overlap;
                    }
                }
            }
        }
    }
}

TEST(ChunkDistribution, BadArgumentsAreRefused) {
    EXPECT_THROW(common::count_chunks(10, 4, 4), std::invalid_argument);
    EXPECT_THROW(common::count_chunks(10, 4, 9), std::invalid_argument);
    EXPECT_THROW(common::count_chunks(10, 0, 0), std::invalid_argument);
    EXPECT_THROW(common::distribute_chunks(10, 4, 5), std::invalid_argument);
    // The items counted once per chunk would not fit size_t.
    const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2;
    EXPECT_THROW(common::distribute_chunks(huge, 4, 3), std::overflow_error);
}

TEST(ChunkDistribution, LargeCountsAreExact) {
    // 2^53 + 1 items past the first chunk: a double quotient rounds this down by one.
    const std::size_t beyond = (std::size_t{1} << 53) + 1;
    EXPECT_EQ(common::count_chunks(beyond + 1, 1, 0), beyond + 1);
    EXPECT_EQ(common::count_chunks(std::numeric_limits<std::size_t>::max(), 2, 0),
              std::numeric_limits<std::size_t>::max() / 2 + 1);
}
