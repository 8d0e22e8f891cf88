// Trace lines for standard output, a pipe that is read only once the process has ended: the lines
// read and the lines the warnings count as dropped add up to the lines made. A child process of
// its own traces, so that its exit (and the drain that ends it) is the one under test.

#include "common/diagnostics/tracing/testability.h"
#include "common/diagnostics/tracing/trace_domain.h"
#include "common/diagnostics/tracing/trace_writer.h"
#include "common/logging/logger_options.h"
#include "test_support/forked_child.h"
#include "test_support/slow_factor.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>
// GCC 12 reports std::regex internals as maybe-uninitialized under the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>

namespace td {
struct Out {};
}  // namespace td

namespace {

namespace tracing = common::diagnostics::tracing;

constexpr int THREADS = 4;
constexpr int LINES_PER_THREAD = 40000;  // some 27 MB of lines, beyond what the queue holds

[[noreturn]] void trace_and_exit(int output, int error) {
    test_support::mark_forked_child();
    ::dup2(output, STDOUT_FILENO);
    ::dup2(error, STDERR_FILENO);
    // Warnings to standard error, as a client sets them up.
    common::logging::LoggerOptionsUtils::SetDefaultLogOptions();
    std::istringstream config("td::Out stdout\n");
    tracing::testability::configure_trace_domains(config);
    std::vector<std::thread> producers;
    for (int t = 0; t < THREADS; ++t) {
        producers.emplace_back([] {
            auto context = tracing::TraceDomain<td::Out>::get_trace_context();
            for (int i = 0; i < LINES_PER_THREAD; ++i) {
                context->write_message("f", std::string(100, 'x'));
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
    std::exit(0);  // the exit's drain runs in the static destructors
}

TEST(TraceDropCount, LinesReadAndLinesCountedAddUpToTheLinesMade) {
    ASSERT_FALSE(tracing::details::ActiveTraceContext::available()) << "the child must make its own writer";
    const test_support::TempDir dir;
    const auto error_path = dir.path("stderr");
    const int error = ::open(error_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(error, 0);
    int output[2];
    ASSERT_EQ(0, ::pipe(output));
    std::fflush(stdout);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(output[0]);
        trace_and_exit(output[1], error);
    }
    ::close(output[1]);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + test_support::condition_timeout;
    while (::waitpid(child, &status, WNOHANG) != child) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            FAIL() << "the child did not exit";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    long read_lines = 0;
    std::string text;
    char buffer[65536];
    for (ssize_t got; (got = ::read(output[0], buffer, sizeof(buffer))) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(output[0]);
    for (auto at = text.find("td::Out::f [TRACE]  "); at != std::string::npos;
         at = text.find("td::Out::f [TRACE]  ", at + 1)) {
        ++read_lines;
    }
    std::ifstream errors(error_path);
    const std::string warnings((std::istreambuf_iterator<char>(errors)), std::istreambuf_iterator<char>());
    ::close(error);
    long counted = 0;
    int warning_count = 0;
    const std::regex dropped(R"((\d+) trace lines? dropped)");
    for (std::sregex_iterator match(warnings.begin(), warnings.end(), dropped), end; match != end; ++match) {
        counted += std::stol((*match)[1]);
        ++warning_count;
    }
    EXPECT_GT(counted, 0) << warnings;
    // One when the writer was found stuck, one at exit for those dropped since and those left.
    EXPECT_GE(warning_count, 2) << warnings;
    EXPECT_EQ(read_lines + counted, THREADS * LINES_PER_THREAD) << read_lines << " read\n" << warnings;
}

}  // namespace
