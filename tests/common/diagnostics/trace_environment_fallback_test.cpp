// The trace configuration reads ZEV_BASECALL_TRACE_CONFIG once, when it is created, so this
// executable sets the variable before its first use of tracing.
#include "common/diagnostics/tracing/context_builder.h"
#include "common/diagnostics/tracing/testability.h"
#include "common/diagnostics/tracing/trace_configuration.h"
#include "common/diagnostics/tracing/trace_domain.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <mutex>

namespace fallback {
struct Domain {};
}  // namespace fallback

namespace {

namespace fs = boost::filesystem;
namespace tracing = common::diagnostics::tracing;
using tracing::details::TraceConfiguration;

// An environment file that files no entry does not hide the builder's file; the builder's initialise
// also puts back verbose_log as the default mode and the custom writer that does nothing, in place of
// one installed through the test hook.
TEST(TraceEnvironmentFallback, BuilderFileParsedWhenEnvironmentFileHoldsNoEntry) {
    const auto root = fs::temp_directory_path() / fs::unique_path("trace-env-fallback-%%%%-%%%%");
    fs::create_directories(root);
    const auto env_config = (root / "env.cfg").string();
    const auto builder_config = (root / "builder.cfg").string();
    std::ofstream(env_config) << "# only comments\n\n   \t\nfallback::Domain no_such_mode\n";
    std::ofstream(builder_config) << "fallback::Domain custom\n";
    ::setenv("ZEV_BASECALL_TRACE_CONFIG", env_config.c_str(), 1);

    std::mutex mutex;
    std::vector<std::string> lines;
    tracing::testability::set_custom_trace_writer([&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
    });
    auto& configuration = TraceConfiguration::instance();
    EXPECT_TRUE(configuration.empty());
    EXPECT_EQ(configuration.default_mode(), tracing::TraceMode::custom);

    tracing::context().with_trace_domains_file(builder_config).initialise();
    EXPECT_EQ(configuration.default_mode(), tracing::TraceMode::verbose_log);
    EXPECT_EQ(configuration.get_domain_trace_mode("fallback::Domain"), tracing::TraceMode::custom);

    const auto context = tracing::TraceDomain<fallback::Domain>::get_trace_context();
    EXPECT_TRUE(context->is_active());
    context->write_message("f", "goes to the writer that does nothing");
    tracing::flush();
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(lines.empty());
    }
    ::unsetenv("ZEV_BASECALL_TRACE_CONFIG");
    fs::remove_all(root);
}

}  // namespace
