#include "common/diagnostics/tracing/trace_file_writer.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
// GCC 12 reports std::regex internals as maybe-uninitialized under the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <stdexcept>

namespace {

namespace fs = boost::filesystem;
using common::diagnostics::tracing::details::TraceFileWriter;

class TraceFileWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = fs::temp_directory_path() / fs::unique_path("trace-files-%%%%-%%%%");
        fs::create_directories(m_folder);
    }
    void TearDown() override { fs::remove_all(m_folder); }

    std::vector<std::string> file_names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    static std::string read(const fs::path& path) {
        std::ifstream in(path.string(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // In a child that cannot write files: the warnings are sent out through a descriptor opened
    // before the limit bites (opening needs no room).
    void write_lines_and_report() {
        const int out = ::open((m_folder / "warnings").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        TraceFileWriter writer(
                TraceFileWriter::DEFAULT_MAX_FILE_SIZE, [] { return std::string("app"); }, warnings());
        writer.set_folder_if_empty(m_folder.string());
        for (int i = 0; i < 1000; ++i) {
            writer.write("line");
        }
        ::setrlimit(RLIMIT_FSIZE, &m_file_size_limit);
        for (const auto& warning : m_warnings) {
            const std::string text = warning + "\n";
            EXPECT_EQ(static_cast<ssize_t>(text.size()), ::write(out, text.data(), text.size()));
        }
        ::close(out);
    }
    rlimit m_file_size_limit{};

    fs::path m_folder;
    std::vector<std::string> m_warnings;
    TraceFileWriter::WarningSink warnings() {
        return [this](const std::string& text) { m_warnings.push_back(text); };
    }
};

TEST_F(TraceFileWriterTest, NamesFromStemIdTimeAndCounter) {
    TraceFileWriter writer(
            TraceFileWriter::DEFAULT_MAX_FILE_SIZE, [] { return std::string("client-app"); }, warnings());
    writer.set_folder_if_empty(m_folder.string());
    writer.set_folder_if_empty("/somewhere/else");  // the first folder stays
    writer.set_file_id("client1");
    writer.write("first line");
    writer.write("second line");

    const auto names = file_names();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(std::regex_match(names[0],
                                 std::regex(R"(client-app_client1_\d{4}-\d\d-\d\d_T\d\d-\d\d-\d\d_\d+_0\.trace)")))
            << names[0];
    EXPECT_EQ(read(m_folder / names[0]), "first line\nsecond line\n");
    EXPECT_EQ(writer.file_counter(), 1u);
    EXPECT_TRUE(m_warnings.empty());
}

TEST_F(TraceFileWriterTest, RealExecutableStem) {
    EXPECT_EQ(TraceFileWriter::executable_stem(), "common_diagnostics_trace_file_writer_test");
    TraceFileWriter writer;
    writer.set_folder_if_empty(m_folder.string());
    writer.write("x");
    const auto names = file_names();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(std::regex_match(
            names[0],
            std::regex(R"(common_diagnostics_trace_file_writer_test_\d{4}-\d\d-\d\d_T\d\d-\d\d-\d\d_\d+_0\.trace)")))
            << names[0];
}

// A file that has reached the limit takes no further line; the line that crosses it is its last.
TEST_F(TraceFileWriterTest, RollsOverAtLimitWithSameBaseName) {
    TraceFileWriter writer(
            TraceFileWriter::DEFAULT_MAX_FILE_SIZE, [] { return std::string("app"); }, warnings());
    writer.set_folder_if_empty(m_folder.string());
    const std::string mebibyte_line(1048575, 'x');  // with its newline exactly 1 MiB
    for (int i = 0; i < 7; ++i) {
        writer.write(mebibyte_line);
    }
    EXPECT_EQ(file_names().size(), 1u);
    writer.write("next");
    auto names = file_names();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(fs::file_size(m_folder / names[0]), 7340032u);
    EXPECT_EQ(read(m_folder / names[1]), "next\n");
    const std::string base = writer.base_name();
    EXPECT_EQ(names[0], base + "0.trace");
    EXPECT_EQ(names[1], base + "1.trace");

    // A line that crosses the limit still goes into the current file.
    const std::string big(7340040, 'y');
    writer.write(big);
    writer.write("after");
    names = file_names();
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(fs::file_size(m_folder / names[1]), 5u + big.size() + 1u);
    EXPECT_EQ(read(m_folder / names[2]), "after\n");
}

TEST_F(TraceFileWriterTest, SmallLimit) {
    TraceFileWriter writer(
            10, [] { return std::string("app"); }, warnings());
    writer.set_folder_if_empty(m_folder.string());
    for (const char* line : {"12345", "6789", "abc", "d"}) {
        writer.write(line);
    }
    const auto names = file_names();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(read(m_folder / names[0]), "12345\n6789\n");
    EXPECT_EQ(read(m_folder / names[1]), "abc\nd\n");
}

TEST_F(TraceFileWriterTest, NoFolderNoFilesAndCounterStays) {
    TraceFileWriter writer(
            TraceFileWriter::DEFAULT_MAX_FILE_SIZE, [] { return std::string("app"); }, warnings());
    writer.write("dropped");
    writer.write("dropped");
    EXPECT_EQ(writer.file_counter(), 0u);
    EXPECT_FALSE(writer.is_open());
    EXPECT_TRUE(m_warnings.empty());
}

// A folder that does not exist: lines are dropped, one warning naming the folder and the reason, and
// the next attempt waits rather than coming with the next line.
TEST_F(TraceFileWriterTest, UnopenableFileDropsLinesWithOneWarning) {
    TraceFileWriter writer(
            TraceFileWriter::DEFAULT_MAX_FILE_SIZE, [] { return std::string("app"); }, warnings());
    writer.set_folder_if_empty((m_folder / "missing" / "deeper").string());
    writer.write("a");
    writer.write("b");
    EXPECT_EQ(writer.file_counter(), 1u);
    EXPECT_FALSE(writer.is_open());
    EXPECT_FALSE(fs::exists(m_folder / "missing"));
    ASSERT_EQ(m_warnings.size(), 1u);
    EXPECT_NE(m_warnings[0].find("Could not create a trace file in " + (m_folder / "missing" / "deeper").string() +
                                 ": No such file or directory"),
              std::string::npos)
            << m_warnings[0];
}

// An executable path that cannot be resolved (a replaced binary) must not stop tracing.
TEST_F(TraceFileWriterTest, UnresolvableExecutableFallsBackToNameWithoutStem) {
    TraceFileWriter writer(
            TraceFileWriter::DEFAULT_MAX_FILE_SIZE,
            []() -> std::string { throw std::runtime_error("/opt/app (deleted)"); }, warnings());
    writer.set_folder_if_empty(m_folder.string());
    writer.set_file_id("run7");
    writer.write("line");
    writer.write("line");
    const auto names = file_names();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(run7_\d{4}-\d\d-\d\d_T\d\d-\d\d-\d\d_\d+_0\.trace)")))
            << names[0];
    ASSERT_EQ(m_warnings.size(), 1u);
    EXPECT_NE(m_warnings[0].find("(deleted)"), std::string::npos);

    TraceFileWriter without_id(
            TraceFileWriter::DEFAULT_MAX_FILE_SIZE, []() -> std::string { throw 1; }, warnings());
    without_id.set_folder_if_empty(m_folder.string());
    without_id.write("line");
    EXPECT_TRUE(std::regex_match(without_id.base_name(), std::regex(R"(\d{4}-\d\d-\d\d_T\d\d-\d\d-\d\d_\d+_)")))
            << without_id.base_name();
}

TEST_F(TraceFileWriterTest, IdGivenAfterFirstFileAffectsOnlyLaterBaseNames) {
    TraceFileWriter writer(
            10, [] { return std::string("app"); }, warnings());
    writer.set_folder_if_empty(m_folder.string());
    writer.write("0123456789");
    writer.set_file_id("late");
    writer.write("rolled");  // rollover keeps the base name
    const auto names = file_names();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].substr(0, 4), "app_");
    EXPECT_EQ(names[1].substr(0, 4), "app_");
    EXPECT_EQ(names[1].find("late"), std::string::npos);
    writer.set_file_id("");  // an empty id keeps the suffix
}

// Two processes of one name started in the same second each get a file of their own, every long
// line whole.
TEST_F(TraceFileWriterTest, ProcessesKeepFilesApartAndLongLinesWhole) {
    const auto write_lines = [this](char letter) {
        TraceFileWriter writer(
                TraceFileWriter::DEFAULT_MAX_FILE_SIZE, [] { return std::string("app"); }, warnings());
        writer.set_folder_if_empty(m_folder.string());
        writer.set_file_id("same");
        for (int i = 0; i < 300; ++i) {
            writer.write(std::string(5000 + i, letter));
        }
    };
    std::vector<pid_t> children;
    for (const char letter : {'a', 'b'}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            write_lines(letter);
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto names = file_names();
    ASSERT_EQ(names.size(), 2u);
    for (const auto& name : names) {
        std::istringstream lines(read(m_folder / name));
        int count = 0;
        for (std::string line; std::getline(lines, line); ++count) {
            ASSERT_EQ(line, std::string(5000 + count, line[0])) << name << " line " << count;
        }
        EXPECT_EQ(count, 300) << name;
    }
}

// A disk that takes no byte (a file size limit of 0 stands in for a full disk): the file that took no
// line is removed, and a thousand lines make one warning with the system's reason.
TEST_F(TraceFileWriterTest, UnwritableFileLeavesNoEmptyFileAndOneWarning) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        m_file_size_limit = limit;
        limit.rlim_cur = 0;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        write_lines_and_report();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto names = file_names();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], "warnings");
    const auto text = read(m_folder / "warnings");
    EXPECT_EQ(text, "Could not write to a trace file in " + m_folder.string() +
                            ": File too large; trace lines are dropped until one can be written\n");
}

}  // namespace
