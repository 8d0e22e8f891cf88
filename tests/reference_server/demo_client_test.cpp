// Runs the built demo client as a separate process against an in-process server: its reads go
// through the client engine, so the tests check what reaches the server and what the demo reports.

#include "reference_server/reference_server.h"
#include "server_test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

extern char** environ;

using namespace server_test;
using namespace std::chrono_literals;
using reference_server::parse_fault_rule;
using reference_server::ReferenceServer;
using reference_server::ServerOptions;

namespace {

std::string demo_client_path() {
    const auto test_binary = std::filesystem::read_symlink("/proc/self/exe");
    return (test_binary.parent_path().parent_path() / "reference_server" / "vexil_demo_client").string();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

struct RunResult {
    int status = -1;  ///< exit status; 128 + signal when killed; -1 when it did not end in time
    std::string out;
    std::string err;
};

/// Runs the demo client to its end (killing it after `timeout`) with its output in files.
RunResult run_demo_client(const TempDir& dir, std::vector<std::string> arguments,
                          std::chrono::milliseconds timeout = 60s) {
    const std::string out_path = dir.path("client_stdout.txt");
    const std::string err_path = dir.path("client_stderr.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    arguments.insert(arguments.begin(), demo_client_path());
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error("Cannot start " + demo_client_path());
    }
    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    bool exited = false;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    } else {
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

/// A server on an ipc:// endpoint in its own temporary folder.
struct ServerFixture {
    TempDir dir;
    ReferenceServer server;

    ServerFixture() : server(options(dir)) {}

    static ServerOptions options(const TempDir& dir) {
        ServerOptions options;
        options.address = dir.ipc_endpoint();
        return options;
    }

    /// Small reads, several of which need more than one 500-sample block.
    RunResult run(std::uint32_t reads, std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments = {"--address", server.endpoint(), "--reads", std::to_string(reads),
                                              "--min-bases", "20", "--max-bases", "400", "--block-size", "500",
                                              "--seed", "3"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return run_demo_client(dir, arguments);
    }
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(DemoClient, PassesEveryReadThroughTheEngineAndReportsIt) {
    ServerFixture fixture;
    const RunResult result = fixture.run(12);
    ASSERT_EQ(0, result.status) << result.out << result.err;
    EXPECT_TRUE(contains(result.out, "connected to " + fixture.server.endpoint())) << result.out;
    EXPECT_TRUE(contains(result.out, "model stride 5)")) << result.out;
    EXPECT_TRUE(contains(result.out, "reads sent:       12\n")) << result.out;
    EXPECT_TRUE(contains(result.out, "reads returned:   12\n")) << result.out;
    EXPECT_TRUE(contains(result.out, "mismatches:       0\n")) << result.out;
    EXPECT_TRUE(contains(result.out, "reads per second: ")) << result.out;
    EXPECT_TRUE(contains(result.out, "every read came back exactly")) << result.out;
    EXPECT_FALSE(contains(result.out, "reads missing")) << result.out;
    EXPECT_TRUE(result.err.empty()) << result.err;

    // What the engine said to the server on the demo's behalf.
    const auto& log = fixture.server.request_log();
    EXPECT_EQ(1U, log.count(CONNECT));
    EXPECT_EQ(12U, log.count(PASS_FIRST_RAW_BLOCK));
    EXPECT_GT(log.count(PASS_NEXT_RAW_BLOCK), 0U) << "no read needed more than one block";
    EXPECT_EQ(log.count(PASS_NEXT_RAW_BLOCK), log.count(GET_NEXT_CALLED_BLOCK));
    EXPECT_EQ(1U, log.count(DISCONNECT));
    const auto entries = log.snapshot();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(DISCONNECT, entries.back().type);
    for (const auto& entry : entries) {
        if (entry.type == CONNECT) {
            EXPECT_EQ(0, entry.text.rfind("dna_sim_fast:>timeout_interval=5000>client_name=vexil_demo_client", 0))
                    << entry.text;
        }
    }
}

TEST(DemoClient, UsesTheStrideOfTheChosenConfiguration) {
    ServerFixture fixture;
    const RunResult result = fixture.run(4, {"--config", "dna_sim_hac"});
    ASSERT_EQ(0, result.status) << result.out << result.err;
    EXPECT_TRUE(contains(result.out, "model stride 10)")) << result.out;
    EXPECT_TRUE(contains(result.out, "reads returned:   4\n")) << result.out;
}

TEST(DemoClient, WrongSequencesAreCountedAsMismatches) {
    // Without its signal model the server calls one 'A' per event: every read comes back wrong.
    TempDir dir;
    ServerOptions options;
    options.address = dir.ipc_endpoint();
    options.use_signal_model = false;
    ReferenceServer server(options);
    const RunResult result = run_demo_client(dir, {"--address", server.endpoint(), "--reads", "4", "--max-bases", "300"});
    EXPECT_EQ(1, result.status) << result.out << result.err;
    EXPECT_TRUE(contains(result.out, "reads returned:   4\n")) << result.out;
    EXPECT_TRUE(contains(result.out, "mismatches:       4\n")) << result.out;
    EXPECT_TRUE(contains(result.out, "FAILED")) << result.out;
    EXPECT_TRUE(contains(result.err, "with other content")) << result.err;
}

TEST(DemoClient, ReadsLostOnTheServerGiveAFailingStatus) {
    ServerFixture fixture;
    fixture.server.faults().add(parse_fault_rule("reads_lost,request=GET_FIRST_CALLED_BLOCK,from=2"));
    const RunResult result = fixture.run(5);
    EXPECT_EQ(1, result.status) << result.out << result.err;
    EXPECT_TRUE(contains(result.out, "reads missing:")) << result.out;
    EXPECT_TRUE(contains(result.out, "FAILED")) << result.out;
    EXPECT_TRUE(contains(result.err, "did not come back")) << result.err;
}

TEST(DemoClient, ServerRefusalsAndBadArgumentsGiveClearErrors) {
    ServerFixture fixture;
    {
        const RunResult result = fixture.run(3, {"--config", "no_such_config"});
        EXPECT_EQ(1, result.status);
        EXPECT_TRUE(contains(result.err, "Could not connect to " + fixture.server.endpoint())) << result.err;
        EXPECT_TRUE(contains(result.err, "no_such_config")) << result.err;
    }
    {
        // A server that stops answering: with no reconnect window the demo gives up after one
        // round of polls instead of retrying for minutes.
        fixture.server.faults().add(reference_server::parse_fault_rule("silence,request=LOAD_CONFIG,count=forever"));
        const auto start = std::chrono::steady_clock::now();
        const RunResult result =
                fixture.run(3, {"--timeout-ms", std::to_string(server_test::short_poll_timeout_ms), "--reconnect-s", "0"});
        EXPECT_EQ(1, result.status);
        EXPECT_TRUE(contains(result.err, "Timeout waiting for reply to request: LOAD_CONFIG")) << result.err;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    }
    const TempDir& dir = fixture.dir;
    {
        const RunResult result = run_demo_client(dir, {"--reads", "4"});
        EXPECT_EQ(2, result.status);
        EXPECT_TRUE(contains(result.err, "--address is required")) << result.err;
    }
    for (const std::string bad : {"0", "-3", "12x", "99999999999"}) {
        const RunResult result = run_demo_client(dir, {"--address", fixture.server.endpoint(), "--reads", bad});
        EXPECT_EQ(2, result.status) << bad;
        EXPECT_TRUE(contains(result.err, "--reads")) << result.err;
    }
    {
        const RunResult result = run_demo_client(dir, {"--address", fixture.server.endpoint(), "--min-bases", "500",
                                                       "--max-bases", "100"});
        EXPECT_EQ(2, result.status);
    }
    {
        const RunResult result = run_demo_client(dir, {"--address", fixture.server.endpoint(), "--wait-s"});
        EXPECT_EQ(2, result.status);
        EXPECT_TRUE(contains(result.err, "--wait-s needs a value")) << result.err;
    }
    {
        const RunResult result = run_demo_client(dir, {"--help"});
        EXPECT_EQ(0, result.status);
        EXPECT_TRUE(contains(result.out, "--address")) << result.out;
        EXPECT_TRUE(contains(result.out, "--reads")) << result.out;
        EXPECT_TRUE(contains(result.out, "--wait-s")) << result.out;
    }
    // None of these reached the server with reads.
    EXPECT_EQ(0U, fixture.server.request_log().count(PASS_FIRST_RAW_BLOCK));
}
