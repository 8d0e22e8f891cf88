// Severity names and the option-record helpers; nothing here touches the running logger.
#include "common/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using common::logging::LoggerOptions;
using common::logging::LoggerOptionsUtils;
using common::logging::Loggers;
using common::logging::SeverityLevel;
using common::logging::SinkOptions;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

void expect_formatter(const SinkOptions& sink, bool timestamp, bool channel, bool severity, bool function,
                      bool thread_id) {
    EXPECT_EQ(sink.formatter.timestamp, timestamp);
    EXPECT_EQ(sink.formatter.channel, channel);
    EXPECT_EQ(sink.formatter.severity, severity);
    EXPECT_EQ(sink.formatter.function, function);
    EXPECT_EQ(sink.formatter.thread_id, thread_id);
}

}  // namespace

TEST(SeverityNames, round_trip_and_unknown_values) {
    using common::logging::attributes::get_severity_by_name;
    using common::logging::attributes::to_string;
    for (int level = 0; level <= 5; ++level) {
        const auto severity = static_cast<SeverityLevel>(level);
        EXPECT_EQ(get_severity_by_name(to_string(severity)), severity);
    }
    EXPECT_STREQ(to_string(SeverityLevel::message), "message");
    EXPECT_STREQ(to_string(static_cast<SeverityLevel>(6)), "unknown");
    EXPECT_LT(SeverityLevel::message, SeverityLevel::info);
    try {
        get_severity_by_name("Error");
        FAIL() << "a name in the wrong case must not match";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unable to find severity for string: Error");
    }
    EXPECT_EQ(common::logging::attributes::names::function().string(), "Function");
}

TEST(LoggerOptionsUtils, add_severity_enables_only_when_it_adds) {
    LoggerOptions options;
    LoggerOptionsUtils::AddSeverity(options, SeverityLevel::error, {Loggers::std_err, Loggers::main_log});
    EXPECT_TRUE(options.sink(Loggers::std_err).enabled);
    EXPECT_THAT(options.sink(Loggers::main_log).severities, ElementsAre(SeverityLevel::error));
    EXPECT_FALSE(options.sink(Loggers::std_out).enabled);

    // Already present: the disabled sink stays disabled.
    options.sink(Loggers::std_err).enabled = false;
    LoggerOptionsUtils::AddSeverity(options, SeverityLevel::error, {Loggers::std_err});
    EXPECT_FALSE(options.sink(Loggers::std_err).enabled);
    EXPECT_THAT(options.sink(Loggers::std_err).severities, ElementsAre(SeverityLevel::error));

    LoggerOptionsUtils::AddSeverity(options, SeverityLevel::info, {});
    EXPECT_THAT(options.sink(Loggers::std_err).severities, ElementsAre(SeverityLevel::error));
}

TEST(LoggerOptionsUtils, remove_severity_disables_sinks_left_empty) {
    LoggerOptions options;
    LoggerOptionsUtils::AddSeverity(options, SeverityLevel::info,
                                    {Loggers::main_log, Loggers::std_err, Loggers::std_out, Loggers::verbose_log});
    LoggerOptionsUtils::AddSeverity(options, SeverityLevel::error, {Loggers::std_err});
    LoggerOptionsUtils::AddCustomTrace(options, "domain", {Loggers::std_out});

    LoggerOptionsUtils::RemoveSeverity(options, SeverityLevel::info, boost::none);
    EXPECT_FALSE(options.sink(Loggers::main_log).enabled);
    EXPECT_FALSE(options.sink(Loggers::verbose_log).enabled);
    EXPECT_TRUE(options.sink(Loggers::std_err).enabled);
    EXPECT_THAT(options.sink(Loggers::std_err).severities, ElementsAre(SeverityLevel::error));
    // Custom traces keep a sink enabled.
    EXPECT_TRUE(options.sink(Loggers::std_out).enabled);
    EXPECT_THAT(options.sink(Loggers::std_out).severities, IsEmpty());

    // Removing a level the sink lacks still disables a sink whose lists are empty.
    options.sink(Loggers::main_log).enabled = true;
    LoggerOptionsUtils::RemoveSeverity(options, SeverityLevel::warning, std::vector<Loggers>{Loggers::main_log});
    EXPECT_FALSE(options.sink(Loggers::main_log).enabled);
}

TEST(LoggerOptionsUtils, custom_traces_add_and_remove) {
    LoggerOptions options;
    LoggerOptionsUtils::AddCustomTrace(options, "a", {Loggers::verbose_log});
    LoggerOptionsUtils::AddCustomTrace(options, "b", {Loggers::verbose_log});
    EXPECT_TRUE(options.sink(Loggers::verbose_log).enabled);
    EXPECT_THAT(options.sink(Loggers::verbose_log).custom_traces, UnorderedElementsAre("a", "b"));

    LoggerOptionsUtils::RemoveCustomTrace(options, "a", boost::none);
    EXPECT_TRUE(options.sink(Loggers::verbose_log).enabled);
    LoggerOptionsUtils::RemoveCustomTrace(options, "b", std::vector<Loggers>{Loggers::verbose_log});
    EXPECT_FALSE(options.sink(Loggers::verbose_log).enabled);
    EXPECT_THAT(options.sink(Loggers::verbose_log).custom_traces, IsEmpty());
}

TEST(LoggerOptionsUtils, default_init_data) {
    const auto options = LoggerOptionsUtils::GetDefaultInitData();
    EXPECT_FALSE(options.sink(Loggers::main_log).enabled);
    EXPECT_THAT(options.sink(Loggers::std_err).severities, ElementsAre(SeverityLevel::error, SeverityLevel::warning));
    EXPECT_TRUE(options.sink(Loggers::std_out).enabled);
    EXPECT_THAT(options.sink(Loggers::std_out).severities, ElementsAre(SeverityLevel::info, SeverityLevel::message));
    EXPECT_FALSE(options.sink(Loggers::verbose_log).enabled);
    expect_formatter(options.sink(Loggers::main_log), true, true, false, true, true);
    expect_formatter(options.sink(Loggers::std_err), false, true, false, true, true);
    expect_formatter(options.sink(Loggers::std_out), false, true, false, true, true);
    expect_formatter(options.sink(Loggers::verbose_log), true, true, false, true, true);
    EXPECT_THAT(options.sink(Loggers::main_log).severities, IsEmpty());
    EXPECT_THAT(options.sink(Loggers::verbose_log).severities, IsEmpty());
    for (const auto& sink : options.sinks) {
        EXPECT_THAT(sink.custom_traces, IsEmpty());
    }
    EXPECT_EQ(options.log_folder, "");
    EXPECT_EQ(options.log_file_name, "core");
    EXPECT_EQ(options.verbose_log_file_name, "core_verbose");
}

TEST(LoggerOptionsUtils, client_defaults_without_verbose_log) {
    const auto options = LoggerOptionsUtils::GetDefaultVexilLogOptions(false, false, "");
    EXPECT_THAT(options.sink(Loggers::main_log).severities,
                ElementsAre(SeverityLevel::message, SeverityLevel::info, SeverityLevel::warning, SeverityLevel::error));
    expect_formatter(options.sink(Loggers::main_log), true, true, false, false, false);
    EXPECT_THAT(options.sink(Loggers::std_err).severities, ElementsAre(SeverityLevel::warning, SeverityLevel::error));
    expect_formatter(options.sink(Loggers::std_err), false, true, false, true, false);
    EXPECT_TRUE(options.sink(Loggers::std_out).enabled);
    EXPECT_THAT(options.sink(Loggers::std_out).severities, ElementsAre(SeverityLevel::message));
    expect_formatter(options.sink(Loggers::std_out), false, false, false, false, false);
    EXPECT_FALSE(options.sink(Loggers::verbose_log).enabled);
    EXPECT_EQ(options.log_file_name, "");
}

TEST(LoggerOptionsUtils, client_defaults_keep_empty_custom_trace_pieces) {
    const auto options = LoggerOptionsUtils::GetDefaultVexilLogOptions(true, false, "a,,b");
    EXPECT_FALSE(options.sink(Loggers::std_out).enabled);
    EXPECT_THAT(options.sink(Loggers::std_out).severities, IsEmpty());
    const auto& verbose = options.sink(Loggers::verbose_log);
    EXPECT_TRUE(verbose.enabled);
    expect_formatter(verbose, true, true, true, true, false);
    EXPECT_THAT(verbose.severities, IsEmpty());
    EXPECT_THAT(verbose.custom_traces, UnorderedElementsAre("a", "", "b"));

    const auto leading = LoggerOptionsUtils::GetDefaultVexilLogOptions(false, false, ",x,");
    EXPECT_THAT(leading.sink(Loggers::verbose_log).custom_traces, UnorderedElementsAre("", "x"));
}

TEST(LoggerOptionsUtils, client_defaults_with_verbose_log_and_trace) {
    const auto options = LoggerOptionsUtils::GetDefaultVexilLogOptions(false, true, "x");
    const auto& verbose = options.sink(Loggers::verbose_log);
    EXPECT_TRUE(verbose.enabled);
    expect_formatter(verbose, true, true, true, true, false);
    EXPECT_THAT(verbose.severities, ElementsAre(SeverityLevel::verbose, SeverityLevel::message, SeverityLevel::info,
                                                SeverityLevel::warning, SeverityLevel::error));
    EXPECT_THAT(verbose.custom_traces, UnorderedElementsAre("x"));
}

TEST(LoggerOptionsUtils, library_default) {
    const auto options = LoggerOptionsUtils::GetLibraryDefaultOptions();
    EXPECT_FALSE(options.sink(Loggers::main_log).enabled);
    EXPECT_TRUE(options.sink(Loggers::std_err).enabled);
    EXPECT_THAT(options.sink(Loggers::std_err).severities, ElementsAre(SeverityLevel::warning, SeverityLevel::error));
    expect_formatter(options.sink(Loggers::std_err), false, true, false, true, false);
    EXPECT_TRUE(options.sink(Loggers::std_out).enabled);
    EXPECT_THAT(options.sink(Loggers::std_out).severities, ElementsAre(SeverityLevel::message));
    expect_formatter(options.sink(Loggers::std_out), false, false, false, false, false);
    EXPECT_FALSE(options.sink(Loggers::verbose_log).enabled);
    EXPECT_TRUE(options.log_folder.empty() && options.log_file_name.empty() && options.verbose_log_file_name.empty());
}
