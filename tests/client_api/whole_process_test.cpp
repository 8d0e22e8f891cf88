// What only a whole process shows: how it ends.

#include "api_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <filesystem>
#include <map>
// GCC 12 reports std::regex internals as maybe-uninitialized under the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
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

/// Names a trace configuration of `text` in ZEV_BASECALL_TRACE_CONFIG while it lives, for the
/// programs started meanwhile.
class TraceConfiguration {
public:
    TraceConfiguration(const api_test::TempDir& dir, const std::string& text) {
        ::setenv("ZEV_BASECALL_TRACE_CONFIG", dir.write("trace.cfg", text).c_str(), 1);
    }
    ~TraceConfiguration() { ::unsetenv("ZEV_BASECALL_TRACE_CONFIG"); }
    TraceConfiguration(const TraceConfiguration&) = delete;
    TraceConfiguration& operator=(const TraceConfiguration&) = delete;
};

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
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

// Trace lines for a standard stream nobody reads: the writer blocks, the lines beyond its bound are
// dropped (a warning, and one at exit, when the warnings go elsewhere), memory stays flat and the
// process exits within the writer's drain time.
TEST(WholeProcess, BlockedTraceWriterKeepsMemoryFlatAndLetsTheProcessExit) {
    for (const std::string mode : {"stdout", "stderr"}) {
        SCOPED_TRACE(mode);
        const api_test::TempDir dir;
        int unread[2];
        ASSERT_EQ(0, ::pipe2(unread, O_CLOEXEC));
        ASSERT_EQ(0, ::fcntl(unread[1], F_SETFD, 0));  // the program's end
        const auto blocked = "/proc/self/fd/" + std::to_string(unread[1]);
        const auto other = dir.path("other_stream");
        int status = 0;
        const auto started = std::chrono::steady_clock::now();
        {
            const TraceConfiguration configuration(dir, "vexil::VexilClientImpl " + mode + "\n");
            const pid_t pid =
                    api_test::spawn_program({VEXIL_BLOCKED_TRACE_WRITER_PROGRAM, dir.path("report")},
                                            mode == "stdout" ? blocked : other, mode == "stdout" ? other : blocked);
            ::close(unread[1]);
            const auto deadline = std::chrono::steady_clock::now() + api_test::condition_timeout;
            while (waitpid(pid, &status, WNOHANG) != pid) {
                if (std::chrono::steady_clock::now() > deadline) {
                    kill(pid, SIGKILL);
                    waitpid(pid, nullptr, 0);
                    status = -1;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        const auto ended = std::chrono::steady_clock::now().time_since_epoch();
        ::close(unread[0]);
        ASSERT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;

        std::istringstream report(api_test::read_file(dir.path("report")));
        std::string word;
        long warm_kib = 0;
        long end_kib = 0;
        long long returning_ns = 0;
        report >> word >> warm_kib >> end_kib >> word >> returning_ns;
        ASSERT_GT(warm_kib, 0);
        // Unbounded, the queue grows by some 70 MB over these lines.
        EXPECT_LT(end_kib - warm_kib, 24 * 1024) << warm_kib << " KiB after warm-up, " << end_kib << " KiB at end";
        const auto exit_time = ended - std::chrono::nanoseconds(returning_ns);
        EXPECT_LT(exit_time, std::chrono::seconds(2) + test_support::time_margin(std::chrono::seconds(3)));
        if (mode == "stdout") {
            // One when the writer is found stuck (one a minute in a slow build), one at exit.
            const auto minutes =
                    std::chrono::duration_cast<std::chrono::minutes>(std::chrono::steady_clock::now() - started);
            const auto warnings =
                    count_of(api_test::read_file(other), " dropped: the trace writer has written nothing");
            EXPECT_GE(warnings, 1);
            EXPECT_LE(warnings, 1 + minutes.count()) << api_test::read_file(other).substr(0, 2000);
            EXPECT_EQ(1, count_of(api_test::read_file(other), " dropped since the last warning about dropped trace"));
        }
    }
}

// The first trace folder given receives the trace files from its client's construction on, without
// set_params; a folder or a name that cannot take effect is one warning for its client, saying where
// its lines go, however the folder is spelt, and in a forked child that they are not written.
TEST(WholeProcess, TheFirstClientsTraceFolderTakesItsLinesAndOthersAreToldWhereTheirsGo) {
    const api_test::TempDir dir;
    const auto first_folder = dir.path("first");
    const auto second_folder = dir.path("second");
    std::filesystem::create_directories(first_folder);
    std::filesystem::create_directories(second_folder);
    const auto error_path = dir.path("program.err");
    int status = 0;
    {
        const TraceConfiguration configuration(dir, "vexil::VexilClientImpl trace_file\n");
        status = run_program({VEXIL_TRACE_FOLDER_CLIENTS_PROGRAM, first_folder, second_folder}, dir.path("program.out"),
                             error_path);
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;

    EXPECT_TRUE(std::filesystem::is_empty(second_folder));
    std::vector<std::filesystem::path> files(std::filesystem::directory_iterator(first_folder), {});
    ASSERT_EQ(1u, files.size());
    // Named without a client name: the first name given could not be part of one.
    EXPECT_TRUE(std::regex_match(
            files[0].filename().string(),
            std::regex(R"(client_api_trace_folder_clients_\d{4}-\d\d-\d\d_T\d\d-\d\d-\d\d_\d+_0\.trace)")))
            << files[0];
    const auto lines = api_test::read_file(files[0].string());
    EXPECT_EQ(1, count_of(lines, "VexilClientImpl::VexilClientImpl [TRACE]  address: ipc:///nonexistent/first\n"))
            << lines.substr(0, 2000);

    const auto warnings = api_test::read_file(error_path);
    // The first folder spelt otherwise is the same folder; a forked child is told its lines are not written.
    EXPECT_EQ(4, count_of(warnings, "[zev/warning]")) << warnings;
    EXPECT_EQ(1, count_of(warnings, "Trace lines of this client are not written: this process is a forked child"))
            << warnings;
    const auto go_to = "trace lines go to the trace files in " + first_folder;
    EXPECT_EQ(1, count_of(warnings, "Trace folder " + second_folder + " of this client is not used")) << warnings;
    EXPECT_EQ(1, count_of(warnings, "Client name \"bad name/3\" cannot be part of a trace-file name")) << warnings;
    EXPECT_EQ(1, count_of(warnings, "Client name \"fourth\" does not name trace files")) << warnings;
    EXPECT_EQ(3, count_of(warnings, go_to)) << warnings;
    EXPECT_EQ(2, count_of(warnings, go_to + ", named without a client name")) << warnings;
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
