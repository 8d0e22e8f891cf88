#include "common/diagnostics/tracing/testability.h"
#include "common/diagnostics/tracing/trace_domain.h"
#include "common/diagnostics/tracing/trace_writer.h"
#include "common/logger.h"

#include <boost/filesystem.hpp>
#include <boost/log/core.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/log/expressions.hpp>
#include <boost/make_shared.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <mutex>
// GCC 12 reports std::regex internals as maybe-uninitialized under the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <set>
#include <thread>

namespace tw {
struct Layout {};
struct Ordered {};
struct Switch {};
struct Threads {};
struct Hot {};
struct Cold {};
struct File {};
struct Out {};
struct OwnOut {};
struct OwnErr {};
struct VerboseEarly {};
struct VerboseLate {};
}  // namespace tw

namespace {

namespace fs = boost::filesystem;
namespace tracing = common::diagnostics::tracing;
using tracing::TraceDomain;

// Collects the lines handed to a custom writer (called on the tracing thread).
class Collector {
public:
    std::function<void(const std::string&)> writer() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(line);
        };
    }
    std::vector<std::string> lines() {
        tracing::flush();
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

const std::string HEAD = R"(\d+\.\d{3}ms  thread:0x[0-9a-f]+ )";

TEST(TraceWriter, LineLayoutsOfEveryOperation) {
    Collector collector;
    tracing::testability::set_custom_trace_writer(collector.writer());
    tracing::testability::set_enabled_trace_domains("tw::Layout");
    {
        auto trace = TraceDomain<tw::Layout>::create_timed_trace("queue_read");
        trace.message("plain text");
        trace.message([] { return std::string("lazy text"); });
        trace.timed_message("timed text");
    }
    { auto trace = TraceDomain<tw::Layout>::create_trace(std::string("untimed")); }
    const auto lines = collector.lines();
    ASSERT_EQ(lines.size(), 7u);
    const std::vector<std::string> patterns{
            HEAD + R"(tw::Layout::queue_read \[ENTER\] )",
            HEAD + R"(tw::Layout::queue_read \[TRACE\]  plain text)",
            HEAD + R"(tw::Layout::queue_read \[TRACE\]  lazy text)",
            HEAD + R"(tw::Layout::queue_read \[TRACE\]  timed text \d+\.\d{3}ms )",
            HEAD + R"(tw::Layout::queue_read \[LEAVE\]  \d+\.\d{3}ms )",
            HEAD + R"(tw::Layout::untimed \[ENTER\] )",
            HEAD + R"(tw::Layout::untimed \[LEAVE\] )",
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i]))) << i << ": " << lines[i];
    }
    // Time stamps are taken on the calling thread, with the calling thread's handle.
    std::ostringstream thread;
    thread << "thread:" << reinterpret_cast<const void*>(pthread_self()) << " ";
    EXPECT_NE(lines[0].find(thread.str()), std::string::npos);
}

TEST(TraceWriter, LinesOfOneThreadKeepTheirOrderAndThreadsDiffer) {
    Collector collector;
    tracing::testability::set_custom_trace_writer(collector.writer());
    tracing::testability::set_enabled_trace_domains("tw::Ordered, tw::Threads");
    auto context = TraceDomain<tw::Ordered>::get_trace_context();
    for (int i = 0; i < 500; ++i) {
        context->write_message("f", std::to_string(i));
    }
    std::thread other([] { TraceDomain<tw::Threads>::get_trace_context()->write_message("g", "x"); });
    other.join();
    TraceDomain<tw::Threads>::get_trace_context()->write_message("g", "x");

    const auto lines = collector.lines();
    ASSERT_EQ(lines.size(), 502u);
    for (int i = 0; i < 500; ++i) {
        const auto& line = lines[static_cast<std::size_t>(i)];
        EXPECT_EQ(line.substr(line.size() - std::to_string(i).size() - 2), "  " + std::to_string(i));
    }
    const std::regex thread_of(R"(.*(thread:0x[0-9a-f]+) .*)");
    std::smatch first, second;
    ASSERT_TRUE(std::regex_match(lines[500], first, thread_of));
    ASSERT_TRUE(std::regex_match(lines[501], second, thread_of));
    EXPECT_NE(first[1].str(), second[1].str());
}

TEST(TraceWriter, CustomWriterChangesInQueueOrder) {
    Collector old_collector;
    Collector new_collector;
    tracing::testability::set_custom_trace_writer(old_collector.writer());
    tracing::testability::set_enabled_trace_domains("tw::Switch");
    auto context = TraceDomain<tw::Switch>::get_trace_context();
    context->write_message("f", "before");
    tracing::details::ActiveTraceContext::instance().set_custom_writer(new_collector.writer());
    context->write_message("f", "after");
    const auto old_lines = old_collector.lines();
    const auto new_lines = new_collector.lines();
    ASSERT_EQ(old_lines.size(), 1u);
    ASSERT_EQ(new_lines.size(), 1u);
    EXPECT_NE(old_lines[0].find("before"), std::string::npos);
    EXPECT_NE(new_lines[0].find("after"), std::string::npos);

    // An empty writer is replaced by one that does nothing, rather than ending the tracing thread.
    tracing::details::ActiveTraceContext::instance().set_custom_writer({});
    context->write_message("f", "dropped");
    tracing::flush();
    EXPECT_EQ(new_collector.lines().size(), 1u);
}

TEST(TraceWriter, HighFrequencyTextBuiltOnlyWhenActive) {
    Collector collector;
    tracing::testability::set_custom_trace_writer(collector.writer());
    tracing::testability::set_enabled_trace_domains("hftrace::tw::Hot, tw::Cold, tw::*");
    int calls = 0;
    TraceDomain<tw::Hot>::write_hftrace("push", [&] {
        ++calls;
        return std::string("read 7");
    });
    TraceDomain<tw::Cold>::write_hftrace(std::string("push"), std::function<std::string()>([&] {
                                             ++calls;
                                             return std::string("never");
                                         }));
    {
        auto scope = TraceDomain<tw::Cold>::create_hftrace("pull");
        scope.message([&] {
            ++calls;
            return std::string("never");
        });
    }
    EXPECT_EQ(calls, 1);
    const auto lines = collector.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(HEAD + R"(hftrace::tw::Hot::push \[TRACE\]  read 7)")))
            << lines[0];
}

TEST(TraceWriter, TraceFilesInTheFolderGivenFirst) {
    ASSERT_EQ(std::getenv("ZEV_BASECALL_TRACE_FOLDER"), nullptr);
    const auto folder = fs::temp_directory_path() / fs::unique_path("trace-writer-%%%%-%%%%");
    fs::create_directories(folder);
    std::istringstream config("tw::File trace_file\n");
    tracing::testability::configure_trace_domains(config);

    auto& writer = tracing::details::ActiveTraceContext::instance();
    writer.set_file_tracing_info(folder.string(), "id_1");
    writer.set_file_tracing_info((folder / "ignored").string(), "");
    TraceDomain<tw::File>::get_trace_context()->write_message("f", "to the file");
    tracing::flush();

    std::vector<fs::path> files(fs::directory_iterator(folder), fs::directory_iterator{});
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(
            files[0].filename().string(),
            std::regex(R"(common_diagnostics_trace_writer_test_id_1_\d{4}-\d\d-\d\d_T\d\d-\d\d-\d\d_\d+_0\.trace)")))
            << files[0];
    std::ifstream in(files[0].string());
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_TRUE(std::regex_match(line, std::regex(HEAD + R"(tw::File::f \[TRACE\]  to the file)"))) << line;
    EXPECT_FALSE(std::getline(in, line));
    fs::remove_all(folder);
}

TEST(TraceWriter, StandardOutput) {
    std::istringstream config("tw::Out stdout\n");
    tracing::testability::configure_trace_domains(config);
    testing::internal::CaptureStdout();
    TraceDomain<tw::Out>::get_trace_context()->write_message("f", "on stdout");
    tracing::flush();
    const auto text = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(text, std::regex(HEAD + R"(tw::Out::f \[TRACE\]  on stdout\n)"))) << text;
}

// A program that gives the standard streams buffers of its own gets the lines there.
TEST(TraceWriter, StandardStreamsWithBuffersOfTheProgramsOwn) {
    std::istringstream config("tw::OwnOut stdout\ntw::OwnErr stderr\n");
    tracing::testability::configure_trace_domains(config);
    std::stringbuf out;
    std::stringbuf err;
    auto* const old_out = std::cout.rdbuf(&out);
    auto* const old_err = std::cerr.rdbuf(&err);
    TraceDomain<tw::OwnOut>::get_trace_context()->write_message("f", "one");
    TraceDomain<tw::OwnErr>::get_trace_context()->write_message("f", "two");
    TraceDomain<tw::OwnOut>::get_trace_context()->write_message("f", "three");
    tracing::flush();
    std::cout.rdbuf(old_out);
    std::cerr.rdbuf(old_err);
    EXPECT_TRUE(std::regex_match(out.str(), std::regex(HEAD + R"(tw::OwnOut::f \[TRACE\]  one\n)" + HEAD +
                                                       R"(tw::OwnOut::f \[TRACE\]  three\n)")))
            << out.str();
    EXPECT_TRUE(std::regex_match(err.str(), std::regex(HEAD + R"(tw::OwnErr::f \[TRACE\]  two\n)"))) << err.str();
}

// A verbose_log domain is on only if some sink accepts verbose records when it is resolved.
TEST(TraceWriter, VerboseLogDomains) {
    namespace logging = boost::log;
    std::istringstream config("tw::VerboseEarly verbose_log\ntw::VerboseLate verbose_log\n");
    tracing::testability::configure_trace_domains(config);
    // The library's own sinks decide; one more that takes warnings only.
    auto warnings_only = boost::make_shared<logging::sinks::synchronous_sink<logging::sinks::text_ostream_backend>>();
    warnings_only->set_filter(common::logging::attributes::severity >=
                              common::logging::attributes::SeverityLevel::warning);
    common::logging::attach_library_sink(warnings_only);
    EXPECT_FALSE(TraceDomain<tw::VerboseEarly>::get_trace_context()->is_active());

    auto stream = boost::make_shared<std::ostringstream>();
    auto backend = boost::make_shared<logging::sinks::text_ostream_backend>();
    backend->add_stream(stream);
    backend->auto_flush(true);
    auto sink = boost::make_shared<logging::sinks::synchronous_sink<logging::sinks::text_ostream_backend>>(backend);
    sink->set_filter(common::logging::attributes::severity == common::logging::attributes::SeverityLevel::verbose);
    sink->set_formatter(logging::expressions::stream << common::logging::attributes::function << " | "
                                                     << logging::expressions::smessage);
    common::logging::attach_library_sink(sink);

    EXPECT_FALSE(TraceDomain<tw::VerboseEarly>::get_trace_context()->is_active());
    auto context = TraceDomain<tw::VerboseLate>::get_trace_context();
    ASSERT_TRUE(context->is_active());
    context->write_message("f", "to the verbose log");
    tracing::flush();
    common::logging::detach_library_sink(sink);
    common::logging::detach_library_sink(warnings_only);
    EXPECT_TRUE(std::regex_match(stream->str(),
                                 std::regex("auto \\(anonymous namespace\\)::ActiveTraceContext::\\(anonymous "
                                            "class\\)::operator\\(\\)\\(const std::string &\\) const \\| " +
                                            HEAD + R"(tw::VerboseLate::f \[TRACE\]  to the verbose log\n)")))
            << stream->str();
}

}  // namespace
