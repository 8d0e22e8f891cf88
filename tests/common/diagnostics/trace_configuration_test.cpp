#include "common/diagnostics/tracing/enabled_trace_context.h"
#include "common/diagnostics/tracing/testability.h"
#include "common/diagnostics/tracing/trace_configuration.h"
#include "common/diagnostics/tracing/trace_domain.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <atomic>
#include <sstream>
#include <thread>

namespace {

namespace tracing = common::diagnostics::tracing;
using tracing::TraceMode;
using tracing::details::TraceConfiguration;

void configure(const std::string& text) {
    std::istringstream in(text);
    tracing::testability::configure_trace_domains(in);
}

TraceMode mode_of(const std::string& domain) { return TraceConfiguration::instance().get_domain_trace_mode(domain); }

// The mode a resolved domain writes with, or none when it resolves to the disabled context.
TraceMode resolved(const std::string& domain) {
    const auto context = tracing::details::create_trace_context(domain);
    const auto enabled = std::dynamic_pointer_cast<tracing::details::EnabledTraceContext>(context);
    if (!enabled) {
        EXPECT_FALSE(context->is_active());
        return TraceMode::none;
    }
    EXPECT_EQ(enabled->domain_prefix(), domain + "::");
    return enabled->mode();
}

class TraceConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override { tracing::testability::set_default_trace_mode(TraceMode::verbose_log); }
};

TEST_F(TraceConfigurationTest, ExactEntryOverPrefix) {
    configure("basecall_service::* trace_file\nbasecall_service::ReadBuffer stdout\n");
    EXPECT_EQ(resolved("basecall_service::ReadBuffer"), TraceMode::stdout);
    EXPECT_EQ(resolved("basecall_service::BasecallClient"), TraceMode::trace_file);
    EXPECT_EQ(resolved("ipc_tools::RequestBroker"), TraceMode::none);
}

TEST_F(TraceConfigurationTest, LongestPrefixWins) {
    configure("basecall_service::* stdout\nbasecall_service::Read* custom\n");
    EXPECT_EQ(resolved("basecall_service::ReadBuffer"), TraceMode::custom);
    EXPECT_EQ(resolved("basecall_service::BasecallClient"), TraceMode::stdout);
}

TEST_F(TraceConfigurationTest, WordWithoutStarIsExact) {
    configure("basecall_service:: stdout\n");
    EXPECT_EQ(resolved("basecall_service::ReadBuffer"), TraceMode::none);
    EXPECT_EQ(mode_of("basecall_service::"), TraceMode::stdout);
}

TEST_F(TraceConfigurationTest, ExclusionsWin) {
    configure("* exclude\nbasecall_service::ReadBuffer stdout\n");
    EXPECT_EQ(resolved("basecall_service::ReadBuffer"), TraceMode::none);
    // The mode lookup alone ignores exclusions.
    EXPECT_EQ(mode_of("basecall_service::ReadBuffer"), TraceMode::stdout);

    configure(
            "basecall_service::ReadBuffer stdout\nbasecall_service::Read* exclude\nipc_tools::X exclude\n"
            "ipc_tools::* stderr\n");
    EXPECT_EQ(resolved("basecall_service::ReadBuffer"), TraceMode::none);
    EXPECT_EQ(resolved("ipc_tools::X"), TraceMode::none);
    EXPECT_EQ(resolved("ipc_tools::Y"), TraceMode::stderr);
}

TEST_F(TraceConfigurationTest, HighFrequencyDomainsNeedExactEntries) {
    configure("* stdout\nhftrace::* stdout\n");
    EXPECT_EQ(resolved("vexil::VexilClientImpl"), TraceMode::stdout);
    EXPECT_EQ(resolved("hftrace::basecall_service::ReadBuffer"), TraceMode::none);

    configure("hftrace::basecall_service::ReadBuffer trace_file\n");
    EXPECT_EQ(resolved("hftrace::basecall_service::ReadBuffer"), TraceMode::trace_file);
    EXPECT_EQ(resolved("basecall_service::ReadBuffer"), TraceMode::none);
}

TEST_F(TraceConfigurationTest, FirstEntryWins) {
    configure("a::B stdout\na::B stderr\np::* custom\np::* stdout\n");
    EXPECT_EQ(mode_of("a::B"), TraceMode::stdout);
    EXPECT_EQ(mode_of("p::Q"), TraceMode::custom);
}

TEST_F(TraceConfigurationTest, LineSyntax) {
    configure(
            "# a comment line\n"
            "   #indented comment stdout\n"
            "ipc_tools::RequestBroker file\n"      // no such mode: ignored
            "ipc_tools::ConnectionInfo #stdout\n"  // trailing comment: default mode
            "\t  spaced::Domain \t  stderr   extra words\n"
            "crlf::Domain stdout\r\n"
            "a*b stdout\n"  // a star inside the word is an ordinary character
            "\n   \t\n");
    EXPECT_EQ(mode_of("ipc_tools::RequestBroker"), TraceMode::none);
    EXPECT_EQ(mode_of("ipc_tools::ConnectionInfo"), TraceMode::verbose_log);
    EXPECT_EQ(mode_of("spaced::Domain"), TraceMode::stderr);
    EXPECT_EQ(mode_of("crlf::Domain"), TraceMode::stdout);
    EXPECT_EQ(mode_of("a*b"), TraceMode::stdout);
    EXPECT_EQ(mode_of("axb"), TraceMode::none);
    EXPECT_EQ(mode_of("#"), TraceMode::none);
}

TEST_F(TraceConfigurationTest, SingleWordFollowsDefaultMode) {
    tracing::testability::set_default_trace_mode(TraceMode::none);
    configure("a::Off\n");
    EXPECT_EQ(mode_of("a::Off"), TraceMode::none);

    tracing::testability::set_default_trace_mode(TraceMode::exclude);
    configure("a::* stdout\na::Excluded\n");
    EXPECT_EQ(resolved("a::Excluded"), TraceMode::none);
    EXPECT_EQ(resolved("a::Other"), TraceMode::stdout);

    tracing::testability::set_default_trace_mode(TraceMode::stderr);
    configure("a::On\n");
    EXPECT_EQ(resolved("a::On"), TraceMode::stderr);
}

TEST_F(TraceConfigurationTest, EnabledDomainsList) {
    tracing::testability::set_default_trace_mode(TraceMode::stdout);
    tracing::testability::set_enabled_trace_domains(" a::B , c::* ,, ");
    EXPECT_EQ(mode_of("a::B"), TraceMode::stdout);
    EXPECT_EQ(mode_of("c::D"), TraceMode::stdout);
    EXPECT_EQ(mode_of(""), TraceMode::none);

    tracing::testability::set_default_trace_mode(TraceMode::exclude);
    tracing::testability::set_enabled_trace_domains("a::B");
    EXPECT_EQ(resolved("a::B"), TraceMode::none);
}

TEST_F(TraceConfigurationTest, ConfigurationFromPath) {
    const auto folder = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path();
    boost::filesystem::create_directories(folder);
    const auto path = (folder / "trace.cfg").string();
    std::ofstream(path) << "from::File stderr\n";

    configure("keep::Me stdout\n");
    tracing::testability::configure_trace_domains(std::string());
    EXPECT_EQ(mode_of("keep::Me"), TraceMode::stdout);  // empty path: nothing happens

    tracing::testability::configure_trace_domains(path);
    EXPECT_EQ(mode_of("from::File"), TraceMode::stderr);
    EXPECT_EQ(mode_of("keep::Me"), TraceMode::none);

    tracing::testability::configure_trace_domains((folder / "missing.cfg").string());
    EXPECT_EQ(mode_of("from::File"), TraceMode::none);
    EXPECT_TRUE(TraceConfiguration::instance().empty());
    boost::filesystem::remove_all(folder);
}

struct ResolvedOnce {};

TEST_F(TraceConfigurationTest, DomainKeepsItsFirstResolution) {
    configure("");
    const auto first = tracing::TraceDomain<ResolvedOnce>::get_trace_context();
    EXPECT_FALSE(first->is_active());
    // Every disabled domain shares the one disabled context.
    EXPECT_EQ(first, TraceConfiguration::instance().disabled_context());
    EXPECT_EQ(tracing::TraceDomain<ResolvedOnce>::get_hftrace_context(), first);

    configure("* stdout\n");
    EXPECT_EQ(tracing::TraceDomain<ResolvedOnce>::get_trace_context(), first);
    EXPECT_FALSE(tracing::TraceDomain<ResolvedOnce>::get_trace_context()->is_active());
}

TEST_F(TraceConfigurationTest, EnvironmentFlagReflectsVariable) {
    EXPECT_EQ(tracing::testability::environment_config_exists(), std::getenv("ZEV_BASECALL_TRACE_CONFIG") != nullptr);
}

// Configuration may change while other threads resolve domains.
TEST_F(TraceConfigurationTest, ConcurrentConfigurationAndResolution) {
    std::atomic<bool> stop{false};
    std::thread resolver([&] {
        while (!stop) {
            resolved("x::Y");
        }
    });
    for (int i = 0; i < 200; ++i) {
        configure(i % 2 ? "x::* stdout\n" : "x::Y stderr\n");
    }
    stop = true;
    resolver.join();
    EXPECT_EQ(mode_of("x::Y"), TraceMode::stdout);
}

}  // namespace
