// What only a whole process shows: how it ends.

#include "api_test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>

namespace {

/// Runs a program with its standard output and error in `output_path` and `error_path`; its wait
/// status, or -1 when it does not end within the bound (it is killed then).
int run_program(std::vector<std::string> arguments, const std::string& output_path, const std::string& error_path) {
    const pid_t pid = api_test::spawn_program(std::move(arguments), output_path, error_path);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + api_test::condition_timeout;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status;
}

}  // namespace

TEST(WholeProcess, ClientsEndingInStaticDestructionAgainstAKilledServerExitCleanly) {
    // A static client and one held by a namespace-scope pointer, both connected when main returns.
    api_test::ServerProcess server;
    const auto error_path = server.dir().path("program.err");
    const int status = run_program({VEXIL_STATIC_CLIENT_EXIT_PROGRAM, server.address(), std::to_string(server.pid())},
                                   server.dir().path("program.out"), error_path);
    ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status << ": " << api_test::read_file(error_path);
    ASSERT_EQ(0, WEXITSTATUS(status)) << api_test::read_file(error_path);
}

TEST(WholeProcess, SwitchingTheLogForwarderPrintsNothingOnStdoutAndHandsEveryRecordOnOnce) {
    const api_test::TempDir dir;
    const auto output_path = dir.path("program.out");
    const auto error_path = dir.path("program.err");
    const int status = run_program({VEXIL_FORWARDER_SWITCH_PROGRAM}, output_path, error_path);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_EQ("", api_test::read_file(output_path).substr(0, 2000));

    // Each record either printed by the library ("[zev/warning] ...: record N") or forwarded.
    std::istringstream lines(api_test::read_file(error_path));
    const std::regex printed(R"(\[zev/warning\] .*: record (\d+))");
    const std::regex forwarded(R"(forwarded record (\d+))");
    std::map<int, int> seen;
    int forwarded_count = 0;
    int written = -1;
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, match, forwarded)) {
            ++forwarded_count;
            ++seen[std::stoi(match[1])];
        } else if (std::regex_match(line, match, printed)) {
            ++seen[std::stoi(match[1])];
        } else if (line.rfind("written ", 0) == 0) {
            written = std::stoi(line.substr(8));
        } else {
            ADD_FAILURE() << "unexpected line: " << line;
        }
    }
    ASSERT_GE(written, 5000);
    EXPECT_GT(forwarded_count, 0);
    EXPECT_LT(forwarded_count, written);
    int lost = 0;
    int repeated = 0;
    for (int record = 0; record < written; ++record) {
        lost += seen[record] == 0 ? 1 : 0;
        repeated += seen[record] > 1 ? 1 : 0;
    }
    EXPECT_EQ(0, lost);
    EXPECT_EQ(0, repeated);
}
