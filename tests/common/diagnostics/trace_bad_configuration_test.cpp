// ZEV_BASECALL_TRACE_CONFIG is read once per process, so each case runs this executable again as a
// child (the Child test) with the variable set, and looks at the child's standard error.
#include "common/diagnostics/tracing/trace_configuration.h"
#include "common/logging/logger_options.h"
#include "test_support/slow_factor.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <thread>

extern char** environ;

namespace {

namespace fs = boost::filesystem;
using common::diagnostics::tracing::details::TraceConfiguration;

const char* const CHILD_MARK = "VEXIL_TRACE_CONFIG_CHILD";

TEST(TraceBadConfiguration, Child) {
    if (!std::getenv(CHILD_MARK)) {
        GTEST_SKIP() << "run by BadFilesAreOneWarningEachAndNeverWaitedFor";
    }
    common::logging::LoggerOptionsUtils::SetDefaultLogOptions();
    const bool good = std::string(std::getenv("ZEV_BASECALL_TRACE_CONFIG")).find("good") != std::string::npos;
    EXPECT_EQ(TraceConfiguration::instance().empty(), !good);
    std::cerr << "child done\n";
}

// Runs the Child test with the variable naming `path`; its standard error, "" when it did not end.
std::string run_child(const std::string& path, const fs::path& error_file) {
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const std::string filter = "--gtest_filter=TraceBadConfiguration.Child";
    std::vector<std::string> env_text{std::string(CHILD_MARK) + "=1", "ZEV_BASECALL_TRACE_CONFIG=" + path};
    for (char** entry = environ; *entry; ++entry) {
        if (std::string(*entry).rfind("ZEV_BASECALL_TRACE_", 0) != 0) {
            env_text.emplace_back(*entry);
        }
    }
    std::vector<char*> env;
    for (auto& text : env_text) {
        env.push_back(text.data());
    }
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv{const_cast<char*>(self.c_str()), const_cast<char*>(filter.c_str()), nullptr};
    pid_t pid = 0;
    EXPECT_EQ(0, posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), env.data()));
    posix_spawn_file_actions_destroy(&actions);
    // The child is a fresh gtest process; a second of its own plus start-up under load.
    const auto deadline = std::chrono::steady_clock::now() + test_support::time_margin(std::chrono::seconds(3));
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return "";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << path;
    std::ifstream in(error_file.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(TraceBadConfiguration, BadFilesAreOneWarningEachAndNeverWaitedFor) {
    const auto root = fs::temp_directory_path() / fs::unique_path("trace-bad-config-%%%%-%%%%");
    fs::create_directories(root);
    const auto file = [&](const std::string& name, const std::string& text) {
        std::ofstream((root / name).string(), std::ios::binary) << text;
        return (root / name).string();
    };
    const auto fifo = (root / "fifo").string();
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const std::vector<std::pair<std::string, std::string>> cases{
            {file("garbage", std::string("\x01\xff\x00zz\n", 6)), "not text"},
            {file("mode", "* trace_fil\n"), "* trace_fil"},
            {file("domain", "a/b stdout\n"), "a/b stdout"},
            {root.string(), "folder"},
            {(root / "missing").string(), "No such file or directory"},
            {file("empty", ""), "empty"},
            {"/dev/zero", "not a regular file"},
            {fifo, "not a regular file"},
    };
    for (const auto& [path, problem] : cases) {
        const auto error = run_child(path, root / "child.err");
        ASSERT_NE(error.find("child done"), std::string::npos) << path << " did not end: " << error;
        const auto warning = error.find("Trace configuration file " + path + " ");
        EXPECT_NE(warning, std::string::npos) << error;
        EXPECT_EQ(error.find("Trace configuration file", warning + 1), std::string::npos) << error;
        EXPECT_NE(error.find(problem), std::string::npos) << path << ": " << error;
    }
    // A good file is taken without a word.
    const auto error = run_child(file("good", "# fine\nsome::Domain stdout\n"), root / "child.err");
    EXPECT_EQ(error.find("Trace configuration file"), std::string::npos) << error;
    fs::remove_all(root);
}

}  // namespace
