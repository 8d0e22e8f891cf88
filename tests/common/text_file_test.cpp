#include "common/text_file.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

class TextFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("textfile-%%%%-%%%%");
        boost::filesystem::create_directories(m_folder);
    }
    void TearDown() override { boost::filesystem::remove_all(m_folder); }

    std::string write(const std::string& content, const std::string& name = "table.tsv") const {
        const auto path = (m_folder / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    std::string error_of(const std::string& content) const {
        try {
            common::TextFile file(write(content));
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "no error";
    }

    boost::filesystem::path m_folder;
};

using Names = std::vector<std::string>;

}  // namespace

TEST_F(TextFileTest, ReadsColumnsAfterComments) {
    const auto path = write("\xEF\xBB\xBF# comment\r\n#another\nx\ty\r\n1\t2\n#3\t4");
    const common::TextFile file(path);
    EXPECT_EQ(file.m_filename, path);
    EXPECT_EQ(file.m_column_names, (Names{"x", "y"}));
    EXPECT_EQ(file.m_columns, (std::vector<Names>{{"1", "#3"}, {"2", "4"}}));
    EXPECT_EQ(file.m_column_index.at("y"), 1);
}

TEST_F(TextFileTest, HeaderEdgeCases) {
    for (const std::string content : {"", "# only\n#comments\n"}) {
        const common::TextFile file(write(content));
        EXPECT_EQ(file.m_column_names, Names{""});
        ASSERT_EQ(file.m_columns.size(), 1u);
        EXPECT_TRUE(file.m_columns[0].empty());
    }
    const common::TextFile gaps(write("a\t\tb\na\t\t\n"));
    EXPECT_EQ(gaps.m_column_names, (Names{"a", "", "b"}));
    EXPECT_EQ(gaps.m_columns[2], Names{""});
    const common::TextFile repeated(write("a\tb\ta\n"));
    EXPECT_EQ(repeated.m_column_index.at("a"), 2);
}

TEST_F(TextFileTest, IncompleteRowsAreReported) {
    EXPECT_EQ(error_of("#c1\n#c2\na\tb\n1\t2\n3\n"), "Error: Incomplete row in line 3: expecting 2 columns but got 1");
    EXPECT_EQ(error_of("a\tb\n1\t2\t3\n"), "Error: Incomplete row in line 2: expecting 2 columns but got 3");
    // The rows before the bad one are kept when parsing directly.
    common::TextFile file(write("a\n"));
    std::stringstream content("a\tb\n1\t2\n3\n");
    EXPECT_THROW(file.read_input(content), std::runtime_error);
    EXPECT_EQ(file.m_columns, (std::vector<Names>{{"1"}, {"2"}}));
}

TEST_F(TextFileTest, UnopenableFilesAreReported) {
    const auto missing = (m_folder / "missing.tsv").string();
    try {
        common::TextFile file(missing);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Error: Failed to open file \"" + missing + "\"");
    }
    EXPECT_THROW(common::TextFile(m_folder.string()), std::runtime_error);
}

TEST_F(TextFileTest, LoadColumn) {
    const common::TextFile file(write("v\tw\n1.5\t\r\n\t\n 2e1x\t\nabc\t\n"));
    std::vector<float> values{9.f, 9.f, 9.f, 9.f, 9.f, 9.f};
    EXPECT_EQ(file.LoadColumn(0, values, 7.f), 1);
    EXPECT_EQ(values, (std::vector<float>{1.5f, 7.f, 20.f, 0.f}));
    EXPECT_EQ(file.LoadColumn(1, values, 7.f), 4);
    EXPECT_EQ(values, (std::vector<float>{7.f, 7.f, 7.f, 7.f}));
    EXPECT_THROW(file.LoadColumn(2, values, 0.f), std::out_of_range);
    EXPECT_THROW(file.LoadColumn(-1, values, 0.f), std::out_of_range);
}

TEST_F(TextFileTest, LoadModel) {
    std::ostringstream table;
    table << "kmer\tlevel_mean\tlevel_stdv\tsd_mean\tsd_stdv\r\n";
    for (int i = 0; i < 1024; ++i) {
        table << "K" << i << "\t" << 80 + i << "\t2.5\t2\t" << (i % 2 == 0 ? "4" : "") << "\r\n";
    }
    std::vector<float> level_mean, level_stdv, sd_mean, sd_stdv;
    EXPECT_EQ(common::load_model(write(table.str()), level_mean, level_stdv, sd_mean, sd_stdv), 5);
    ASSERT_EQ(sd_stdv.size(), 1024u);
    EXPECT_EQ(level_mean[1023], 1103.f);
    EXPECT_EQ(level_stdv[0], 2.5f);
    EXPECT_FLOAT_EQ(sd_stdv[0], 0.5f);    // 2^3 / 4^2
    EXPECT_TRUE(std::isinf(sd_stdv[1]));  // an empty cell reads as 0
}

TEST_F(TextFileTest, LoadModelRejectsBadTables) {
    std::vector<float> a, b, c, d;
    const auto short_model = write("level_mean\tlevel_stdv\tsd_mean\tsd_stdv\n1\t1\t1\t1\n");
    try {
        common::load_model(short_model, a, b, c, d);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Invalid model length.");
    }
    EXPECT_EQ(a, std::vector<float>{1.f});  // filled before the length is judged
    const auto missing_column = write("level_mean\tlevel_stdv\tsd_mean\n1\t1\t1\n");
    EXPECT_THROW(common::load_model(missing_column, a, b, c, d), std::runtime_error);
}
