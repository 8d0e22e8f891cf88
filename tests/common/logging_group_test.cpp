// The logger group's sinks, read back from string streams and from log files in a temporary folder.
#include "common/logger.h"

#include <boost/filesystem.hpp>
#include <boost/log/core/core.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace fs = boost::filesystem;

namespace {

using common::logging::LoggerGroup;
using common::logging::LoggerOptions;
using common::logging::LoggerOptionsUtils;
using common::logging::Loggers;
using common::logging::SeverityLevel;
using ::testing::HasSubstr;

}  // namespace

// Named, so that the records carry these functions' names.
namespace group_test {

void log_warning(const std::string& text) { ZEV_LOG(common::logging::warning) << text; }

void log_error(const std::string& text) { ZEV_LOG(common::logging::error) << text; }

void log_info(const std::string& text) { ZEV_LOG(common::logging::info) << text; }

void log_message(const std::string& text) {
    common::logging::detail::RecordWriter writer("void log_message()", SeverityLevel::message, "message");
    if (writer) {
        writer.stream() << text;
    }
}

void log_trace(const std::string& channel, const std::string& text) {
    common::logging::detail::RecordWriter writer("void tracer()", SeverityLevel::trace, channel);
    if (writer) {
        writer.stream() << text;
    }
}

}  // namespace group_test

namespace {

using namespace group_test;

// Whether `text` has the given shape, where each '9' stands for a digit.
bool has_shape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool matches =
                shape[i] == '9' ? std::isdigit(static_cast<unsigned char>(text[i])) != 0 : text[i] == shape[i];
        if (!matches) {
            return false;
        }
    }
    return true;
}

const std::string STAMP_SHAPE = "9999-99-99 99:99:99.999999 ";

// The lines of a log file with their time stamps checked and removed.
std::string without_stamps(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    std::string result;
    while (std::getline(lines, line)) {
        if (!has_shape(line.substr(0, STAMP_SHAPE.size()), STAMP_SHAPE)) {
            return "line without time stamp: " + line;
        }
        result += line.substr(STAMP_SHAPE.size()) + "\n";
    }
    return result;
}

std::string read_file(const fs::path& path) {
    std::ifstream stream(path.string(), std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

// The log files of a folder by name (their names sort by opening time).
std::map<std::string, std::string> log_files(const fs::path& folder) {
    std::map<std::string, std::string> files;
    if (!fs::is_directory(folder)) {
        return files;
    }
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (fs::is_regular_file(entry.path())) {
            files[entry.path().filename().string()] = read_file(entry.path());
        }
    }
    return files;
}

std::string all_text(const std::map<std::string, std::string>& files) {
    std::string text;
    for (const auto& file : files) {
        text += file.second;
    }
    return text;
}

class LoggerGroupTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = fs::temp_directory_path() / fs::unique_path("logging-group-%%%%-%%%%-%%%%");
        fs::create_directories(m_folder);
        m_group.SetStreams(&m_err, &m_out);
    }

    void TearDown() override {
        // The core keeps its own references to the sinks; detach them before the streams go.
        m_group.RemoveSinks();
        boost::log::core::get()->reset_filter();
        boost::log::core::get()->set_logging_enabled(true);
        fs::current_path(fs::temp_directory_path());
        fs::remove_all(m_folder);
    }

    LoggerOptions file_options(const std::string& folder) {
        auto options = LoggerOptionsUtils::GetDefaultVexilLogOptions(false, true, "");
        options.log_folder = folder;
        options.log_file_name = "main";
        options.verbose_log_file_name = "verbose";
        return options;
    }

    fs::path m_folder;
    std::ostringstream m_err;
    std::ostringstream m_out;
    LoggerGroup m_group;
};

}  // namespace

TEST_F(LoggerGroupTest, library_default_writes_warnings_to_standard_error_and_messages_to_standard_output) {
    m_group.SetLoggerOptions(LoggerOptionsUtils::GetLibraryDefaultOptions());
    EXPECT_TRUE(m_group.isLoggingActive());
    log_warning("careful");
    log_error("broken");
    log_info("not shown");
    log_message("plain text");
    EXPECT_EQ(m_err.str(),
              "[zev/warning] group_test::log_warning: careful\n[zev/error] group_test::log_error: broken\n");
    EXPECT_EQ(m_out.str(), "plain text\n");
    EXPECT_TRUE(log_files(m_folder).empty());
}

TEST_F(LoggerGroupTest, all_sinks_disabled_switches_the_library_off_and_leaves_the_core_alone) {
    m_group.SetLoggerOptions(LoggerOptions());
    EXPECT_FALSE(m_group.isLoggingActive());
    EXPECT_FALSE(common::logging::LibraryCore::instance().get_logging_enabled());
    EXPECT_TRUE(boost::log::core::get()->get_logging_enabled());
    log_error("nowhere");
    EXPECT_EQ(m_err.str(), "");
}

TEST_F(LoggerGroupTest, client_defaults_write_main_and_verbose_log_files) {
    const auto folder = m_folder / "a" / "b" / "c";
    m_group.SetLoggerOptions(file_options(folder.string()));
    EXPECT_TRUE(fs::is_directory(folder));
    log_info("started");
    log_warning("slow");
    ZEV_LOG(common::logging::verbose) << "details";

    const auto files = log_files(folder);
    ASSERT_EQ(files.size(), 2u);
    std::string main_text;
    std::string verbose_text;
    for (const auto& file : files) {
        const bool is_main = file.first.rfind("main", 0) == 0;
        const std::string prefix = is_main ? "main" : "verbose";
        EXPECT_TRUE(has_shape(file.first, prefix + "_log-9999-99-99_99-99-99.log")) << file.first;
        (is_main ? main_text : verbose_text) = file.second;
    }
    EXPECT_EQ(without_stamps(main_text), "[zev/info] started\n[zev/warning] slow\n");
    EXPECT_EQ(
            without_stamps(verbose_text),
            "[zev/info] {info} group_test::log_info: started\n"
            "[zev/warning] {warning} group_test::log_warning: slow\n"
            "[zev/verbose] {verbose} LoggerGroupTest_client_defaults_write_main_and_verbose_log_files_Test::TestBody: "
            "details\n");
    EXPECT_EQ(m_err.str(), "[zev/warning] group_test::log_warning: slow\n");
}

TEST_F(LoggerGroupTest, empty_folder_means_the_working_directory) {
    fs::current_path(m_folder);
    auto options = file_options("");
    options.sink(Loggers::verbose_log).enabled = false;
    m_group.SetLoggerOptions(std::move(options));
    log_info("here");
    const auto files = log_files(m_folder);
    EXPECT_EQ(files.size(), 1u);  // only the main log takes info records
    EXPECT_THAT(all_text(files), HasSubstr("[zev/info] here\n"));
}

TEST_F(LoggerGroupTest, percent_signs_in_folder_and_name_stay_single) {
    const auto folder = m_folder / "100%d%";
    auto options = file_options(folder.string());
    options.log_file_name = "run%d";
    options.sink(Loggers::verbose_log).enabled = false;
    m_group.SetLoggerOptions(std::move(options));
    log_info("percent");
    const auto files = log_files(folder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files.begin()->first.rfind("run%d_log-", 0), 0u) << files.begin()->first;
    EXPECT_EQ(fs::directory_iterator(m_folder)->path().filename().string(), "100%d%");
}

TEST_F(LoggerGroupTest, files_opened_in_the_same_second_keep_both_records) {
    auto options = file_options(m_folder.string());
    options.sink(Loggers::verbose_log).enabled = false;
    m_group.SetLoggerOptions(LoggerOptions(options));
    log_info("first run");
    // A restart: the same configuration again, usually within the same second.
    m_group.SetLoggerOptions(std::move(options));
    log_info("second run");
    const auto text = all_text(log_files(m_folder));
    EXPECT_THAT(text, HasSubstr("first run"));
    EXPECT_THAT(text, HasSubstr("second run"));
}

TEST_F(LoggerGroupTest, main_log_rotates_before_it_grows_past_the_limit) {
    auto options = file_options(m_folder.string());
    options.sink(Loggers::verbose_log).enabled = false;
    options.sink(Loggers::main_log).formatter = common::logging::FormatterSettings{false, false, false, false, false};
    m_group.SetLoggerOptions(std::move(options));

    const std::string line(999, 'x');  // 1000 bytes with the line break
    const std::size_t lines_that_fit = LoggerGroup::FILE_ROTATION_SIZE / 1000;
    for (std::size_t i = 0; i < lines_that_fit; ++i) {
        log_info(line);
    }
    // The next file is named after its own opening second: let the clock move on.
    const auto opened = std::time(nullptr);
    while (std::time(nullptr) == opened) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::string crossing(999, 'y');
    log_info(crossing);

    const auto files = log_files(m_folder);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files.begin()->second.size(), lines_that_fit * 1000);
    EXPECT_LE(files.begin()->second.size(), LoggerGroup::FILE_ROTATION_SIZE);
    EXPECT_EQ(files.begin()->second.find('y'), std::string::npos);
    EXPECT_EQ(files.rbegin()->second, crossing + "\n");
}

TEST_F(LoggerGroupTest, a_failing_file_sink_does_not_throw_into_the_caller) {
    const auto folder = m_folder / "logs";
    auto options = file_options(folder.string());
    m_group.SetLoggerOptions(std::move(options));
    // The folder disappears, and something that is not a folder takes its place.
    fs::remove_all(folder);
    std::ofstream(folder.string()) << "not a folder";

    EXPECT_NO_THROW(log_warning("still reported"));
    std::thread worker([] { log_error("from a worker"); });
    worker.join();
    // The stream sinks carry on.
    EXPECT_EQ(m_err.str(),
              "[zev/warning] group_test::log_warning: still reported\n[zev/error] group_test::log_error: from a "
              "worker\n");
}

TEST_F(LoggerGroupTest, adding_a_severity_creates_a_missing_sink_with_its_formatter) {
    auto options = LoggerOptionsUtils::GetLibraryDefaultOptions();
    options.sink(Loggers::std_err).enabled = false;
    options.sink(Loggers::std_err).severities.clear();
    m_group.SetLoggerOptions(std::move(options));
    log_error("before");
    EXPECT_EQ(m_err.str(), "");

    std::vector<Loggers> which{Loggers::std_err};
    m_group.AddSeverity(SeverityLevel::error, which);
    log_error("after");
    EXPECT_EQ(m_err.str(), "[zev/error] group_test::log_error: after\n");
    EXPECT_TRUE(m_group.GetLoggerOptions().sink(Loggers::std_err).enabled);
}

TEST_F(LoggerGroupTest, editing_filters_of_existing_sinks) {
    m_group.SetLoggerOptions(LoggerOptionsUtils::GetLibraryDefaultOptions());
    boost::optional<std::vector<Loggers>> all;
    m_group.RemoveSeverity(SeverityLevel::warning, all);
    log_warning("dropped");
    log_error("kept");
    EXPECT_EQ(m_err.str(), "[zev/error] group_test::log_error: kept\n");

    std::vector<Loggers> std_out{Loggers::std_out};
    m_group.AddCustomTrace("my_domain", std_out);
    log_trace("my_domain", "traced");
    log_trace("other", "not traced");
    EXPECT_EQ(m_out.str(), "traced\n");

    std::string trace = "my_domain";
    boost::optional<std::vector<Loggers>> only_out(std_out);
    m_group.RemoveCustomTrace(trace, only_out);
    log_trace("my_domain", "gone");
    EXPECT_EQ(m_out.str(), "traced\n");
}

TEST_F(LoggerGroupTest, a_sink_emptied_by_an_edit_stops_writing) {
    // Both stream sinks take errors, so the core filter keeps passing them after one sink's
    // error is removed: the emptied sink must not go on writing with its old filter.
    auto options = LoggerOptionsUtils::GetLibraryDefaultOptions();
    options.sink(Loggers::std_err).severities = {SeverityLevel::error};
    options.sink(Loggers::std_out).severities = {SeverityLevel::error};
    m_group.SetLoggerOptions(std::move(options));
    log_error("both");

    boost::optional<std::vector<Loggers>> std_err{std::vector<Loggers>{Loggers::std_err}};
    m_group.RemoveSeverity(SeverityLevel::error, std_err);
    EXPECT_FALSE(m_group.GetLoggerOptions().sink(Loggers::std_err).enabled);
    EXPECT_TRUE(m_group.isLoggingActive());
    log_error("standard output only");
    EXPECT_EQ(m_err.str(), "[zev/error] group_test::log_error: both\n");
    EXPECT_EQ(m_out.str(), "both\nstandard output only\n");

    // Adding it back builds the sink again, with its stored layout.
    std::vector<Loggers> again{Loggers::std_err};
    m_group.AddSeverity(SeverityLevel::error, again);
    log_error("back");
    EXPECT_EQ(m_err.str(), "[zev/error] group_test::log_error: both\n[zev/error] group_test::log_error: back\n");
}

TEST_F(LoggerGroupTest, custom_traces_reach_the_verbose_log) {
    m_group.SetLoggerOptions(file_options(m_folder.string()));
    std::vector<Loggers> verbose{Loggers::verbose_log};
    m_group.AddCustomTrace("ipc_tools::RequestBroker", verbose);
    log_trace("ipc_tools::RequestBroker", "sent");
    log_trace("basecall_service::ReadBuffer", "queued");
    const auto text = all_text(log_files(m_folder));
    EXPECT_THAT(text, HasSubstr("[zev/ipc_tools::RequestBroker] {trace} tracer: sent\n"));
    EXPECT_THAT(text, ::testing::Not(HasSubstr("queued")));
}

TEST_F(LoggerGroupTest, removed_sinks_write_nothing) {
    m_group.SetLoggerOptions(LoggerOptionsUtils::GetLibraryDefaultOptions());
    m_group.RemoveSinks();
    EXPECT_FALSE(m_group.isLoggingActive());
    log_error("nothing");
    log_message("nothing");
    EXPECT_EQ(m_err.str(), "");
    EXPECT_EQ(m_out.str(), "");
}

TEST_F(LoggerGroupTest, reconfiguring_replaces_every_sink) {
    m_group.SetLoggerOptions(LoggerOptionsUtils::GetLibraryDefaultOptions());
    m_group.SetLoggerOptions(LoggerOptionsUtils::GetLibraryDefaultOptions());
    log_error("once");
    EXPECT_EQ(m_err.str(), "[zev/error] group_test::log_error: once\n");
}

TEST_F(LoggerGroupTest, lines_from_many_threads_do_not_interleave) {
    m_group.SetLoggerOptions(LoggerOptionsUtils::GetLibraryDefaultOptions());
    const std::string text(200, 'z');
    std::vector<std::thread> writers;
    for (int i = 0; i < 4; ++i) {
        writers.emplace_back([&text] {
            for (int j = 0; j < 100; ++j) {
                log_error(text);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    std::istringstream lines(m_err.str());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line, "[zev/error] group_test::log_error: " + text);
        ++count;
    }
    EXPECT_EQ(count, 400);
}

TEST(LoggerGroupFolder, an_uncreatable_folder_throws) {
    const auto base = fs::temp_directory_path() / fs::unique_path("logging-file-%%%%-%%%%");
    std::ofstream(base.string()) << "a file";
    LoggerGroup group;
    auto options = LoggerOptionsUtils::GetDefaultVexilLogOptions(true, false, "");
    options.log_folder = (base / "sub").string();
    EXPECT_THROW(group.SetLoggerOptions(std::move(options)), fs::filesystem_error);
    group.RemoveSinks();
    fs::remove(base);
}
