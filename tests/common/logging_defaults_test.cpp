// The library default is applied once per process; the client defaults replace it.
// Its own executable: it changes the process-wide logging core.
#include "common/logger.h"

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace fs = boost::filesystem;
using common::logging::LoggerGroup;
using common::logging::LoggerOptionsUtils;

namespace defaults_test {
void warn(const std::string& text) { ZEV_LOG(common::logging::warning) << text; }
void inform(const std::string& text) { ZEV_LOG(common::logging::info) << text; }
void say(const std::string& text) {
    common::logging::detail::RecordWriter writer("void say()", common::logging::SeverityLevel::message, "message");
    if (writer) {
        writer.stream() << text;
    }
}
}  // namespace defaults_test

TEST(LoggingDefaults, applied_once_per_process_and_replaced_by_client_defaults) {
    std::ostringstream err;
    std::ostringstream out;
    auto& group = common::Singleton<LoggerGroup>::instance();
    group.SetStreams(&err, &out);

    // Several first callers at once: the default stands when each of them returns.
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) {
        callers.emplace_back([] { LoggerOptionsUtils::SetDefaultLogOptions(); });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    defaults_test::warn("low disk");
    defaults_test::inform("hidden");
    defaults_test::say("hello");
    EXPECT_EQ(err.str(), "[zev/warning] defaults_test::warn: low disk\n");
    EXPECT_EQ(out.str(), "hello\n");

    // A later call changes nothing, even after the configuration was altered.
    group.RemoveSinks();
    LoggerOptionsUtils::SetDefaultLogOptions();
    defaults_test::warn("not written");
    EXPECT_EQ(err.str(), "[zev/warning] defaults_test::warn: low disk\n");

    // The client defaults always apply.
    const auto folder = fs::temp_directory_path() / fs::unique_path("logging-defaults-%%%%-%%%%");
    LoggerOptionsUtils::SetDefaultVexilLogOptions(folder.string(), "client", "client_verbose", true, false, "");
    defaults_test::inform("to the file");
    defaults_test::say("not to standard output");
    defaults_test::warn("both");
    EXPECT_EQ(out.str(), "hello\n");
    EXPECT_EQ(err.str(), "[zev/warning] defaults_test::warn: low disk\n[zev/warning] defaults_test::warn: both\n");
    std::string file_text;
    for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_EQ(entry.path().filename().string().rfind("client_log-", 0), 0u);
        std::ifstream stream(entry.path().string());
        file_text.append(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    }
    EXPECT_THAT(file_text, ::testing::HasSubstr("[zev/info] to the file\n"));
    EXPECT_THAT(file_text, ::testing::HasSubstr("[zev/message] not to standard output\n"));
    EXPECT_THAT(file_text, ::testing::HasSubstr("[zev/warning] both\n"));

    LoggerOptionsUtils::DisableAllLogs();
    defaults_test::warn("switched off");
    EXPECT_THAT(err.str(), ::testing::Not(::testing::HasSubstr("switched off")));

    group.RemoveSinks();
    fs::remove_all(folder);
}
