// A burst of trace lines from many threads, far faster than one line per write can take: the
// writer falls behind but keeps writing, so every line reaches the trace files.

#include "common/diagnostics/tracing/testability.h"
#include "common/diagnostics/tracing/trace_domain.h"
#include "common/diagnostics/tracing/trace_flush.h"
#include "common/diagnostics/tracing/trace_writer.h"
#include "test_support/temp_dir.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

namespace tb {
struct Burst {};
}  // namespace tb

namespace {

namespace fs = boost::filesystem;
namespace tracing = common::diagnostics::tracing;

TEST(TraceBurst, EveryLineOfABurstFromManyThreadsReachesTheFiles) {
    ASSERT_EQ(std::getenv("ZEV_BASECALL_TRACE_FOLDER"), nullptr);
    const test_support::TempDir dir;
    const fs::path folder = dir.path("traces");
    fs::create_directories(folder);
    std::istringstream config("tb::Burst trace_file\n");
    tracing::testability::configure_trace_domains(config);
    tracing::details::ActiveTraceContext::instance().set_file_tracing_info(folder.string(), "");

    // Some 60 MB: four times what the queue holds.
    constexpr int threads = 8;
    constexpr int lines_per_thread = 50000;
    const std::string padding(80, 'x');
    std::vector<std::thread> producers;
    for (int t = 0; t < threads; ++t) {
        producers.emplace_back([&padding, t] {
            auto context = tracing::TraceDomain<tb::Burst>::get_trace_context();
            for (int i = 0; i < lines_per_thread; ++i) {
                context->write_message("f", std::to_string(t) + " " + std::to_string(i) + " " + padding);
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
    tracing::flush();

    long written = 0;
    for (fs::directory_iterator file(folder), end; file != end; ++file) {
        std::ifstream in(file->path().string());
        for (std::string line; std::getline(in, line);) {
            written += line.find("tb::Burst::f [TRACE]  ") != std::string::npos ? 1 : 0;
        }
    }
    std::cout << "written " << written << " of " << threads * lines_per_thread << " lines\n";
    EXPECT_EQ(written, threads * lines_per_thread);
}

}  // namespace
