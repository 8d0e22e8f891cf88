// The environment variables are read when the trace configuration and the writer are first created,
// so this executable sets them before its first use of tracing.
#include "common/diagnostics/tracing/context_builder.h"
#include "common/diagnostics/tracing/testability.h"
#include "common/diagnostics/tracing/trace_configuration.h"
#include "common/diagnostics/tracing/trace_domain.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
// GCC 12 reports std::regex internals as maybe-uninitialized under the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>

namespace env {
struct Domain {};
}  // namespace env

namespace {

namespace fs = boost::filesystem;
namespace tracing = common::diagnostics::tracing;
using tracing::details::TraceConfiguration;

TEST(TraceEnvironment, EnvironmentWinsOverBuilder) {
    const auto root = fs::temp_directory_path() / fs::unique_path("trace-env-%%%%-%%%%");
    const auto env_folder = root / "env";
    const auto code_folder = root / "code";
    fs::create_directories(env_folder);
    fs::create_directories(code_folder);
    const auto env_config = (root / "env.cfg").string();
    const auto builder_config = (root / "builder.cfg").string();
    std::ofstream(env_config) << "# from the environment\nenv::Domain trace_file\n";
    std::ofstream(builder_config) << "builder::Domain stdout\n";
    ::setenv("ZEV_BASECALL_TRACE_CONFIG", env_config.c_str(), 1);
    ::setenv("ZEV_BASECALL_TRACE_FOLDER", env_folder.string().c_str(), 1);

    EXPECT_TRUE(tracing::testability::environment_config_exists());
    tracing::context()
            .using_trace_output_folder(code_folder.string())
            .with_trace_domains_file(builder_config)
            .with_trace_file_unique_id("client1")
            .initialise();

    auto& configuration = TraceConfiguration::instance();
    EXPECT_EQ(configuration.get_domain_trace_mode("env::Domain"), tracing::TraceMode::trace_file);
    EXPECT_EQ(configuration.get_domain_trace_mode("builder::Domain"), tracing::TraceMode::none);

    tracing::TraceDomain<env::Domain>::get_trace_context()->write_message("f", "in the env folder");
    tracing::flush();

    EXPECT_TRUE(fs::is_empty(code_folder));
    std::vector<fs::path> files(fs::directory_iterator(env_folder), fs::directory_iterator{});
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(
            files[0].filename().string(),
            std::regex(
                    R"(common_diagnostics_trace_environment_test_client1_\d{4}-\d\d-\d\d_T\d\d-\d\d-\d\d_\d+_0\.trace)")))
            << files[0];
    std::ifstream in(files[0].string());
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_NE(line.find("env::Domain::f [TRACE]  in the env folder"), std::string::npos);
    fs::remove_all(root);
}

}  // namespace
