#pragma once

#include "common/logging/logger_options.h"

#include <boost/filesystem/path.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_file_backend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/optional.hpp>
#include <boost/smart_ptr/shared_ptr.hpp>

#include <iosfwd>
#include <string>
#include <vector>

namespace common {
namespace logging {

struct null_deleter {
    template <typename T>
    void operator()(T*) const noexcept {}
};

// Owns the library's four sinks, which take only the library's records (see LibraryCore).
class LoggerGroup {
public:
    using FileSink = boost::log::sinks::synchronous_sink<boost::log::sinks::text_file_backend>;
    using StreamSink = boost::log::sinks::synchronous_sink<boost::log::sinks::text_ostream_backend>;

    static constexpr unsigned long FILE_ROTATION_SIZE = 5242880;

    LoggerGroup() = default;
    LoggerGroup(const LoggerGroup&) = delete;
    LoggerGroup& operator=(const LoggerGroup&) = delete;

    void SetLoggerOptions(LoggerOptions&& options);
    LoggerOptions GetLoggerOptions() const;

    void AddSeverity(SeverityLevel level, std::vector<Loggers>& loggers);
    void RemoveSeverity(SeverityLevel level, boost::optional<std::vector<Loggers>>& loggers);
    void AddCustomTrace(const std::string& trace, std::vector<Loggers>& loggers);
    void RemoveCustomTrace(std::string& trace, boost::optional<std::vector<Loggers>>& loggers);

    void EnableLogging();
    void DisableLogging();
    bool isLoggingActive() const;
    void RemoveSinks();

    // The streams that the two stream sinks write to; std::cerr and std::cout unless replaced
    // (tests point them at string streams). Takes effect for sinks created afterwards.
    void SetStreams(std::ostream* std_err_stream, std::ostream* std_out_stream);

private:
    boost::shared_ptr<FileSink> createFileSink(const boost::filesystem::path& folder, const std::string& name,
                                               SinkOptions&& options);
    boost::shared_ptr<StreamSink> createStreamSink(SinkOptions&& options, std::ostream* stream);
    void updateFileSink(Loggers which, const boost::filesystem::path& folder, const std::string& name,
                        SinkOptions&& options);
    void updateStreamSink(Loggers which, SinkOptions&& options);
    void updateSeverityFilters(LoggerOptions&& options);
    template <typename SinkT>
    void removeSink(boost::shared_ptr<SinkT>& sink);
    template <typename SinkT, typename Create>
    void updateSink(boost::shared_ptr<SinkT>& slot, SinkOptions&& options, Create&& create);
    void removeAllSinks();
    std::ostream* streamFor(Loggers which) const;

    boost::shared_ptr<FileSink> m_main_log;
    boost::shared_ptr<StreamSink> m_std_err;
    boost::shared_ptr<StreamSink> m_std_out;
    boost::shared_ptr<FileSink> m_verbose_log;
    LoggerOptions m_options;
    std::ostream* m_std_err_stream = nullptr;
    std::ostream* m_std_out_stream = nullptr;
};

}  // namespace logging
}  // namespace common
