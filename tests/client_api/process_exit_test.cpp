// What only a whole process shows: how it ends.

#include "api_test_support.h"

#include <gtest/gtest.h>

namespace {

/// Runs a program with its standard error in `error_path`; its wait status, or -1 when it does not
/// end within the bound (it is killed then).
int run_program(std::vector<std::string> arguments, const std::string& error_path) {
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error("Cannot start " + arguments[0]);
    }
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

TEST(ProcessExit, ClientsEndingInStaticDestructionAgainstAKilledServerExitCleanly) {
    // A static client and one held by a namespace-scope pointer, both connected when main returns.
    for (int run = 0; run < 3; ++run) {
        api_test::ServerProcess server;
        const auto error_path = server.dir().path("program.err");
        const int status = run_program(
                {VEXIL_STATIC_CLIENT_EXIT_PROGRAM, server.address(), std::to_string(server.pid())}, error_path);
        ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status << ": " << api_test::read_file(error_path);
        ASSERT_EQ(0, WEXITSTATUS(status)) << api_test::read_file(error_path);
    }
}
