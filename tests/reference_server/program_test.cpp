// Runs the built server program as a separate process.

#include "reference_server/signal_model.h"
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

namespace {

std::string program_path() {
    const auto test_binary = std::filesystem::read_symlink("/proc/self/exe");
    return (test_binary.parent_path().parent_path() / "reference_server" / "vexil_reference_server").string();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

/// One run of the program with its standard output and error in files.
class Program {
public:
    Program(const TempDir& dir, std::vector<std::string> arguments)
        : m_stdout(dir.path("stdout.txt")), m_stderr(dir.path("stderr.txt")) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, m_stdout.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, m_stderr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        arguments.insert(arguments.begin(), program_path());
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        const int error = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            throw std::runtime_error("Cannot start " + program_path());
        }
    }
    ~Program() {
        if (!m_exited) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

    /// Waits until standard output holds `text` (or the program ended).
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (read_file(m_stdout).find(text) != std::string::npos) {
                return true;
            }
            int status = 0;
            if (!m_exited && waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_exited = true;
                m_status = status;
                return read_file(m_stdout).find(text) != std::string::npos;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    /// The exit status, or -1 when the program did not end in time.
    int wait_exit(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!m_exited && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_exited = true;
                m_status = status;
                break;
            }
            std::this_thread::sleep_for(5ms);
        }
        if (!m_exited) {
            return -1;
        }
        return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 128 + WTERMSIG(m_status);
    }
    void signal(int number) { kill(m_pid, number); }
    std::string out() const { return read_file(m_stdout); }
    std::string err() const { return read_file(m_stderr); }

private:
    std::string m_stdout;
    std::string m_stderr;
    pid_t m_pid = 0;
    bool m_exited = false;
    int m_status = 0;
};

}  // namespace

TEST(ServerProgram, AnswersAnotherProcessAndStopsCleanlyOnSigterm) {
    TempDir dir;
    const std::string endpoint = dir.ipc_endpoint();
    Program program(dir, {"--address", endpoint, "--request-log", dir.path("requests.log")});
    ASSERT_TRUE(program.wait_for_output("listening on " + endpoint)) << program.err();
    {
        TestClient client(endpoint);
        EXPECT_EQ(HEARTBEAT_ECHO, client.send(HEARTBEAT_PING).get_type());
        EXPECT_EQ(RETURN_CONFIGS, client.send(GET_CONFIGS).get_type());
    }
    program.signal(SIGTERM);
    EXPECT_EQ(0, program.wait_exit());
    EXPECT_NE(std::string::npos, program.out().find("stopped (SIGTERM)"));
    EXPECT_FALSE(std::filesystem::exists(dir.path("server.sock"))) << "the socket file outlived the server";
    const std::string log = read_file(dir.path("requests.log"));
    EXPECT_NE(std::string::npos, log.find("0 HEARTBEAT_PING client= value=0"));
    EXPECT_NE(std::string::npos, log.find("1 GET_CONFIGS"));
}

TEST(ServerProgram, SigintStopsItTooAndFaultsComeFromTheCommandLine) {
    TempDir dir;
    const std::string endpoint = dir.ipc_endpoint();
    Program program(dir,
                    {"--address", endpoint, "--config", "mine:8", "--fault", "loading,request=LOAD_CONFIG,count=2"});
    ASSERT_TRUE(program.wait_for_output("listening on")) << program.err();
    {
        TestClient client(endpoint);
        EXPECT_EQ(LOADING, client.send(LOAD_CONFIG, "", 0, "mine").get_type());
        EXPECT_EQ(LOADING, client.send(LOAD_CONFIG, "", 0, "mine").get_type());
        EXPECT_EQ(SUCCESS, client.send(LOAD_CONFIG, "", 0, "mine").get_type());
        const Message configs = client.send(GET_CONFIGS);
        EXPECT_EQ(8U, configs.get_message_data()->content_as_ConfigData()->configurations()->Get(0)->model_stride());
    }
    program.signal(SIGINT);
    EXPECT_EQ(0, program.wait_exit());
    EXPECT_FALSE(std::filesystem::exists(dir.path("server.sock")));
}

TEST(ServerProgram, LeavesASocketFileThatALaterServerBoundInPlaceOfItsOwn) {
    TempDir dir;
    const std::string endpoint = dir.ipc_endpoint();
    TempDir second_dir;  // for the second program's output only
    Program first(dir, {"--address", endpoint});
    ASSERT_TRUE(first.wait_for_output("listening on")) << first.err();
    Program second(second_dir, {"--address", endpoint});
    ASSERT_TRUE(second.wait_for_output("listening on")) << second.err();

    first.signal(SIGTERM);
    ASSERT_EQ(0, first.wait_exit());
    ASSERT_TRUE(std::filesystem::exists(dir.path("server.sock"))) << "the first server removed the second's file";
    {
        TestClient client(endpoint);
        EXPECT_EQ(HEARTBEAT_ECHO, client.send(HEARTBEAT_PING).get_type());
    }
    second.signal(SIGTERM);
    EXPECT_EQ(0, second.wait_exit());
    EXPECT_FALSE(std::filesystem::exists(dir.path("server.sock")));
}

TEST(ServerProgram, BadArgumentsGiveAClearErrorAndANonZeroStatus) {
    TempDir dir;
    {
        Program program(dir, {"--address", "localhost:5555"});
        EXPECT_EQ(2, program.wait_exit());
        EXPECT_NE(std::string::npos, program.err().find("must begin with ipc:// or tcp://"));
    }
    {
        Program program(dir, {"--address", "ipc://" + dir.path("no/such/folder/s.sock")});
        EXPECT_EQ(1, program.wait_exit());
        EXPECT_NE(std::string::npos, program.err().find("Cannot listen on"));
    }
    {
        Program program(dir, {"--address", dir.ipc_endpoint(), "--config-file", dir.path("missing.cfg")});
        EXPECT_EQ(1, program.wait_exit());
        EXPECT_NE(std::string::npos, program.err().find("Cannot open configuration file"));
    }
    {
        Program program(dir, {"--help"});
        EXPECT_EQ(0, program.wait_exit());
        EXPECT_NE(std::string::npos, program.out().find("--address"));
    }
}

TEST(ServerProgram, SimulateWritesASignalThatCallsBackToTheSequence) {
    TempDir dir;
    const std::string sequence = random_sequence(120, 8);
    Program program(dir, {"simulate", "--sequence", sequence, "--stride", "6", "--offset", "3", "--scaling", "0.3",
                          "--noise", "5", "--seed", "4"});
    ASSERT_EQ(0, program.wait_exit()) << program.err();
    std::vector<std::int16_t> raw;
    std::istringstream samples(program.out());
    int sample = 0;
    while (samples >> sample) {
        raw.push_back(static_cast<std::int16_t>(sample));
    }
    ASSERT_EQ(sequence.size() * 6, raw.size());
    EXPECT_EQ(sequence, reference_server::call_read(raw.data(), raw.size(), 3.0F, 0.3F, 6, {}).sequence);

    Program binary(
            dir, {"simulate", "--fasta", dir.write("r.fa", ">r\nACGT\n"), "--binary", "--output", dir.path("raw.bin")});
    ASSERT_EQ(0, binary.wait_exit()) << binary.err();
    EXPECT_EQ(4U * 5U * 2U, std::filesystem::file_size(dir.path("raw.bin")));

    Program bad(dir, {"simulate", "--sequence", "ACGU"});
    EXPECT_EQ(2, bad.wait_exit());
    EXPECT_NE(std::string::npos, bad.err().find("other than A, C, G, T"));
}
