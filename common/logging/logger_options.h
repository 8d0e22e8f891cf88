#pragma once

#include "common/logging/attributes.h"

#include <boost/optional.hpp>

#include <array>
#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

namespace common {
namespace logging {

using attributes::SeverityLevel;

// Which elements precede the message in a line; the order of the fields is the order on the line.
struct FormatterSettings {
    bool timestamp = true;
    bool channel = false;
    bool severity = true;
    bool function = true;
    bool thread_id = false;
};

struct SinkOptions {
    std::vector<SeverityLevel> severities;
    // Channels whose trace-severity records this sink also accepts.
    std::unordered_set<std::string> custom_traces;
    FormatterSettings formatter;
    bool enabled = false;
};

// Index of a sink in LoggerOptions::sinks.
enum class Loggers : std::size_t {
    main_log = 0,
    std_err = 1,
    std_out = 2,
    verbose_log = 3,
};

constexpr std::size_t NUM_LOGGERS = 4;

struct LoggerOptions {
    std::array<SinkOptions, NUM_LOGGERS> sinks;
    std::string log_folder;  // empty: the current directory
    std::string log_file_name;
    std::string verbose_log_file_name;

    SinkOptions& sink(Loggers which) { return sinks[static_cast<std::size_t>(which)]; }
    const SinkOptions& sink(Loggers which) const { return sinks[static_cast<std::size_t>(which)]; }
};

class LoggerOptionsUtils {
public:
    // Edits of an option record; they never touch the running logger.
    static void AddSeverity(LoggerOptions& options, SeverityLevel level, const std::vector<Loggers>& loggers);
    static void RemoveSeverity(LoggerOptions& options, SeverityLevel level,
                               const boost::optional<std::vector<Loggers>>& loggers);
    static void AddCustomTrace(LoggerOptions& options, const std::string& trace, const std::vector<Loggers>& loggers);
    static void RemoveCustomTrace(LoggerOptions& options, const std::string& trace,
                                  const boost::optional<std::vector<Loggers>>& loggers);

    static LoggerOptions GetDefaultInitData();
    static LoggerOptions GetDefaultVexilLogOptions(bool suppress_stdout, bool enable_verbose_log,
                                                   const std::string& custom_traces);
    // The record that SetDefaultLogOptions applies.
    static LoggerOptions GetLibraryDefaultOptions();

    // Operations on the process's running logger group.
    static void SetDefaultVexilLogOptions(const std::string& log_folder, const std::string& log_file_name,
                                          const std::string& verbose_log_file_name, bool suppress_stdout,
                                          bool enable_verbose_log, const std::string& custom_traces);
    // Applies the library default the first time it (or SetDefaultVexilLogOptions) runs in the process.
    static void SetDefaultLogOptions();
    static void DisableAllLogs();
};

}  // namespace logging
}  // namespace common
