#include "common/logging/logger_options.h"

#include "common/logging/logger_group.h"
#include "common/logging/singleton.h"

#include <boost/algorithm/string/split.hpp>

#include <algorithm>
#include <mutex>

namespace common {
namespace logging {

namespace {

constexpr std::array<Loggers, NUM_LOGGERS> ALL_LOGGERS{Loggers::main_log, Loggers::std_err, Loggers::std_out,
                                                       Loggers::verbose_log};

void disable_when_empty(SinkOptions& sink) {
    if (sink.severities.empty() && sink.custom_traces.empty()) {
        sink.enabled = false;
    }
}

std::vector<Loggers> loggers_or_all(const boost::optional<std::vector<Loggers>>& loggers) {
    if (loggers) {
        return *loggers;
    }
    return {ALL_LOGGERS.begin(), ALL_LOGGERS.end()};
}

FormatterSettings make_formatter(bool timestamp, bool channel, bool severity, bool function, bool thread_id) {
    FormatterSettings settings;
    settings.timestamp = timestamp;
    settings.channel = channel;
    settings.severity = severity;
    settings.function = function;
    settings.thread_id = thread_id;
    return settings;
}

// Shared by SetDefaultLogOptions and SetDefaultVexilLogOptions: whichever runs first claims it.
std::once_flag& is_initialised_flag() {
    static std::once_flag flag;
    return flag;
}

LoggerGroup& logger_group() { return Singleton<LoggerGroup>::instance(); }

}  // namespace

void LoggerOptionsUtils::AddSeverity(LoggerOptions& options, SeverityLevel level, const std::vector<Loggers>& loggers) {
    for (const auto which : loggers) {
        auto& sink = options.sink(which);
        if (std::find(sink.severities.begin(), sink.severities.end(), level) != sink.severities.end()) {
            continue;
        }
        sink.enabled = true;
        sink.severities.push_back(level);
    }
}

void LoggerOptionsUtils::RemoveSeverity(LoggerOptions& options, SeverityLevel level,
                                        const boost::optional<std::vector<Loggers>>& loggers) {
    for (const auto which : loggers_or_all(loggers)) {
        auto& sink = options.sink(which);
        sink.severities.erase(std::remove(sink.severities.begin(), sink.severities.end(), level),
                              sink.severities.end());
        disable_when_empty(sink);
    }
}

void LoggerOptionsUtils::AddCustomTrace(LoggerOptions& options, const std::string& trace,
                                        const std::vector<Loggers>& loggers) {
    for (const auto which : loggers) {
        auto& sink = options.sink(which);
        if (sink.custom_traces.count(trace) != 0) {
            continue;
        }
        sink.enabled = true;
        sink.custom_traces.insert(trace);
    }
}

void LoggerOptionsUtils::RemoveCustomTrace(LoggerOptions& options, const std::string& trace,
                                           const boost::optional<std::vector<Loggers>>& loggers) {
    for (const auto which : loggers_or_all(loggers)) {
        auto& sink = options.sink(which);
        sink.custom_traces.erase(trace);
        disable_when_empty(sink);
    }
}

LoggerOptions LoggerOptionsUtils::GetDefaultInitData() {
    LoggerOptions options;
    options.sink(Loggers::main_log).formatter = make_formatter(true, true, false, true, true);

    auto& std_err = options.sink(Loggers::std_err);
    std_err.enabled = true;
    std_err.severities = {SeverityLevel::error, SeverityLevel::warning};
    std_err.formatter = make_formatter(false, true, false, true, true);

    auto& std_out = options.sink(Loggers::std_out);
    std_out.enabled = true;
    std_out.severities = {SeverityLevel::info, SeverityLevel::message};
    std_out.formatter = make_formatter(false, true, false, true, true);

    options.sink(Loggers::verbose_log).formatter = make_formatter(true, true, false, true, true);
    options.log_file_name = "core";
    options.verbose_log_file_name = "core_verbose";
    return options;
}

LoggerOptions LoggerOptionsUtils::GetDefaultVexilLogOptions(bool suppress_stdout, bool enable_verbose_log,
                                                            const std::string& custom_traces) {
    LoggerOptions options;

    auto& main_log = options.sink(Loggers::main_log);
    main_log.enabled = true;
    main_log.severities = {SeverityLevel::message, SeverityLevel::info, SeverityLevel::warning, SeverityLevel::error};
    main_log.formatter = make_formatter(true, true, false, false, false);

    auto& std_err = options.sink(Loggers::std_err);
    std_err.enabled = true;
    std_err.severities = {SeverityLevel::warning, SeverityLevel::error};
    std_err.formatter = make_formatter(false, true, false, true, false);

    auto& std_out = options.sink(Loggers::std_out);
    std_out.formatter = make_formatter(false, false, false, false, false);
    if (!suppress_stdout) {
        std_out.enabled = true;
        std_out.severities = {SeverityLevel::message};
    }

    auto& verbose_log = options.sink(Loggers::verbose_log);
    if (enable_verbose_log) {
        verbose_log.enabled = true;
        verbose_log.formatter.channel = true;
        verbose_log.severities = {SeverityLevel::verbose, SeverityLevel::message, SeverityLevel::info,
                                  SeverityLevel::warning, SeverityLevel::error};
    }
    if (custom_traces.empty()) {
        return options;
    }
    if (!enable_verbose_log) {
        verbose_log.enabled = true;
        verbose_log.formatter.channel = true;
    }
    std::vector<std::string> pieces;
    boost::algorithm::split(pieces, custom_traces, [](char c) { return c == ','; });
    verbose_log.custom_traces = std::unordered_set<std::string>(pieces.begin(), pieces.end());
    return options;
}

LoggerOptions LoggerOptionsUtils::GetLibraryDefaultOptions() {
    LoggerOptions options;

    auto& std_err = options.sink(Loggers::std_err);
    std_err.enabled = true;
    std_err.severities = {SeverityLevel::warning, SeverityLevel::error};
    std_err.formatter = make_formatter(false, true, false, true, false);

    auto& std_out = options.sink(Loggers::std_out);
    std_out.enabled = true;
    std_out.severities = {SeverityLevel::message};
    std_out.formatter = make_formatter(false, false, false, false, false);
    return options;
}

void LoggerOptionsUtils::SetDefaultVexilLogOptions(const std::string& log_folder, const std::string& log_file_name,
                                                   const std::string& verbose_log_file_name, bool suppress_stdout,
                                                   bool enable_verbose_log, const std::string& custom_traces) {
    // Claims the once-flag so that a later SetDefaultLogOptions leaves this configuration alone.
    std::call_once(is_initialised_flag(), [] {});
    auto options = GetDefaultVexilLogOptions(suppress_stdout, enable_verbose_log, custom_traces);
    options.log_folder = log_folder;
    options.log_file_name = log_file_name;
    options.verbose_log_file_name = verbose_log_file_name;
    logger_group().SetLoggerOptions(std::move(options));
}

void LoggerOptionsUtils::SetDefaultLogOptions() {
    // Applied inside the once-flag, so concurrent first callers return only once it stands.
    std::call_once(is_initialised_flag(), [] { logger_group().SetLoggerOptions(GetLibraryDefaultOptions()); });
}

void LoggerOptionsUtils::DisableAllLogs() { logger_group().DisableLogging(); }

}  // namespace logging
}  // namespace common
