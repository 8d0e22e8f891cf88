#include "common/diagnostics/tracing/context_builder.h"
#include "common/diagnostics/tracing/trace_configuration.h"
#include "common/diagnostics/tracing/trace_domain.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
// GCC 12 reports std::regex internals as maybe-uninitialized under the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>

namespace cb {
struct Custom {};
struct File {};
struct Late {};
}  // namespace cb

namespace {

namespace fs = boost::filesystem;
namespace tracing = common::diagnostics::tracing;

TEST(ContextBuilder, TraceFileIds) {
    tracing::ContextBuilder builder;
    builder.with_trace_file_unique_id(7);
    EXPECT_EQ(builder.trace_file_unique_id(), "7");
    builder.with_trace_file_unique_id(-1);
    EXPECT_EQ(builder.trace_file_unique_id(), "7");
    for (const char* id : {"client_1", "run-2.a", "A9", "-lead", ".dot"}) {
        builder.with_trace_file_unique_id(std::string(id));
        EXPECT_EQ(builder.trace_file_unique_id(), id);
    }
    builder.with_trace_file_unique_id(std::string("A9"));
    for (const char* id : {"client 1", "a/b", "név", "a\\b", "x:y"}) {
        builder.with_trace_file_unique_id(std::string(id));
        EXPECT_EQ(builder.trace_file_unique_id(), "A9") << id;
    }
    builder.with_trace_file_unique_id(std::string());
    EXPECT_EQ(builder.trace_file_unique_id(), "");
}

TEST(ContextBuilder, SettersChain) {
    tracing::ContextBuilder builder;
    auto& same = builder.using_trace_output_folder("/f").with_trace_file_unique_id("id").with_trace_domains_file("x");
    EXPECT_EQ(&same, &builder);
    EXPECT_EQ(builder.trace_output_folder(), "/f");
    EXPECT_FALSE(builder.is_initialised());
}

// The process's builder applies its settings once: custom writer, folder, id and domains file.
TEST(ContextBuilder, InitialiseTakesEffectOncePerProcess) {
    ASSERT_EQ(std::getenv("ZEV_BASECALL_TRACE_CONFIG"), nullptr);
    ASSERT_EQ(std::getenv("ZEV_BASECALL_TRACE_FOLDER"), nullptr);
    const auto folder = fs::temp_directory_path() / fs::unique_path("context-builder-%%%%-%%%%");
    fs::create_directories(folder);
    const auto config = (folder / "domains.cfg").string();
    std::ofstream(config) << "cb::Custom custom\ncb::File trace_file\ncb::Late stdout\n";

    std::mutex mutex;
    std::vector<std::string> lines;
    auto& builder = tracing::context();
    EXPECT_EQ(&builder, &tracing::context());
    builder.with_custom_trace_writer([&](const std::string& line) {
               std::lock_guard<std::mutex> lock(mutex);
               lines.push_back(line);
           })
            .using_trace_output_folder(folder.string())
            .with_trace_domains_file(config)
            .with_trace_file_unique_id("client1")
            .initialise();

    EXPECT_EQ(tracing::details::TraceConfiguration::instance().default_mode(), tracing::TraceMode::verbose_log);
    tracing::TraceDomain<cb::Custom>::get_trace_context()->write_message("f", "custom line");
    tracing::TraceDomain<cb::File>::get_trace_context()->write_message("f", "file line");

    // A second initialise changes nothing, whatever the setters say now.
    builder.with_custom_trace_writer([](const std::string&) { FAIL() << "second writer installed"; })
            .using_trace_output_folder((folder / "other").string())
            .with_trace_file_unique_id("client2")
            .initialise();
    tracing::TraceDomain<cb::Custom>::get_trace_context()->write_message("f", "second custom line");
    tracing::flush();

    {
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[0].find("cb::Custom::f [TRACE]  custom line"), std::string::npos);
        EXPECT_NE(lines[1].find("second custom line"), std::string::npos);
    }
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_TRUE(
            std::regex_match(names[0], std::regex(R"(common_diagnostics_context_builder_test_client1_.*_0\.trace)")))
            << names[0];
    EXPECT_EQ(names[1], "domains.cfg");
    fs::remove_all(folder);
}

TEST(ContextBuilder, UnreadableDomainsFileStillAppliesTheRest) {
    // Run alone (ctest runs every test in its own process) this is the first initialise.
    auto& builder = tracing::context();
    if (static_cast<tracing::ContextBuilder&>(builder).is_initialised()) {
        GTEST_SKIP() << "the process's builder was initialised by an earlier test";
    }
    tracing::details::TraceConfiguration::instance().set_default_mode(tracing::TraceMode::stderr);
    builder.with_trace_domains_file("/nonexistent/domains.cfg").initialise();
    EXPECT_EQ(tracing::details::TraceConfiguration::instance().default_mode(), tracing::TraceMode::verbose_log);
    EXPECT_TRUE(tracing::details::TraceConfiguration::instance().empty());
}

}  // namespace
