// What only a whole process shows: how it ends.

#include "api_test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>

namespace {

/// Runs a program with its standard output and error in `output_path` and `error_path`; its wait
/// status, or -1 when it does not end within `bound` (it is killed then).
int run_program(std::vector<std::string> arguments, const std::string& output_path, const std::string& error_path,
                std::chrono::milliseconds bound = api_test::condition_timeout) {
    const pid_t pid = api_test::spawn_program(std::move(arguments), output_path, error_path);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + bound;
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

// Forks while other threads use the library: the last line of the program's output sums the
// children up.
class ForkBesideThreads : public ::testing::Test {
protected:
    /// The program's output; fails the test when it did not end within `bound` or failed.
    std::string run(std::vector<std::string> arguments, std::chrono::milliseconds bound) {
        arguments.insert(arguments.begin(), VEXIL_FORK_BESIDE_THREADS_PROGRAM);
        const auto output_path = m_dir.path("program.out");
        const auto error_path = m_dir.path("program.err");
        const int status = run_program(std::move(arguments), output_path, error_path, bound);
        const std::string output = api_test::read_file(output_path);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "wait status " << status << ": " << output << api_test::read_file(error_path).substr(0, 4000);
        return output;
    }

private:
    const api_test::TempDir m_dir;
};

TEST_F(ForkBesideThreads, ChildrenMakeConnectAndEndClientsWhileParentThreadsMakeAndConfigureThem) {
    api_test::ServerProcess server;
    // Fewer under a sanitizer, whose children connect ten times slower.
    const std::string forks = api_test::slow_factor > 1 ? "30" : "100";
    const std::string output = run({"clients", server.address(), forks, "3"}, 10 * api_test::condition_timeout);
    EXPECT_NE(std::string::npos, output.find("forks " + forks + " hung 0 failed 0")) << output;
}

TEST_F(ForkBesideThreads, AChildForkedInsideTheLogForwarderWorksWhileOtherThreadsLog) {
    const std::string output = run({"forwarder", "20", "3"}, 2 * api_test::condition_timeout);
    EXPECT_NE(std::string::npos, output.find("forks 20 hung 0 failed 0")) << output;
    // The two forking threads forked at once, each inside the forwarder, at least once.
    EXPECT_EQ(std::string::npos, output.find("met 0\n")) << output;
}

TEST_F(ForkBesideThreads, AForkWhileARecordIsStuckInItsSinkWaitsABoundedTimeAndTheChildEnds) {
    // The fork gives a stuck record one second, as the library does.
    const auto allowed = std::chrono::milliseconds(1000) + test_support::time_margin(std::chrono::milliseconds(1000));
    // Drained later than that, the pipe would unblock a fork that waits for the record.
    const auto drain_after = allowed + std::chrono::seconds(5);
    const std::string output =
            run({"blocked_sink", std::to_string(drain_after.count())}, drain_after + api_test::condition_timeout);
    EXPECT_NE(std::string::npos, output.find("forks 1 hung 0 failed 0")) << output;
    std::smatch fork_ms;
    ASSERT_TRUE(std::regex_search(output, fork_ms, std::regex(R"(fork_ms (\d+))"))) << output;
    EXPECT_LE(std::stol(fork_ms[1]), allowed.count());
}
