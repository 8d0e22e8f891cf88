#include "common/logging/logger_group.h"

#include "common/logging/filters.h"
#include "common/logging/formatters.h"
#include "common/logging/global_loggers.h"
#include "common/logging/library_core.h"
#include "common/logging/logging_gate.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/log/keywords/auto_flush.hpp>
#include <boost/log/keywords/file_name.hpp>
#include <boost/log/keywords/open_mode.hpp>
#include <boost/log/keywords/rotation_size.hpp>
#include <boost/log/utility/exception_handler.hpp>
#include <boost/make_shared.hpp>

#include <iostream>

namespace common {
namespace logging {

namespace {

namespace keywords = boost::log::keywords;

std::string escape_percent(const std::string& text) { return boost::algorithm::replace_all_copy(text, "%", "%%"); }

}  // namespace

void LoggerGroup::SetLoggerOptions(LoggerOptions&& options) {
    const LoggingGate::Exclusive no_record_meanwhile;
    if (!no_record_meanwhile) {
        return;  // a forked child whose log is off changes nothing, here and below
    }
    removeAllSinks();
    m_options = std::move(options);

    const boost::filesystem::path folder(m_options.log_folder);
    m_main_log = createFileSink(folder, m_options.log_file_name, SinkOptions(m_options.sink(Loggers::main_log)));
    m_std_err = createStreamSink(SinkOptions(m_options.sink(Loggers::std_err)), streamFor(Loggers::std_err));
    m_std_out = createStreamSink(SinkOptions(m_options.sink(Loggers::std_out)), streamFor(Loggers::std_out));
    m_verbose_log =
            createFileSink(folder, m_options.verbose_log_file_name, SinkOptions(m_options.sink(Loggers::verbose_log)));

    // The file sinks open their files on the first record, so the folder may follow them.
    if (!m_options.log_folder.empty() && !boost::filesystem::exists(folder)) {
        boost::filesystem::create_directories(folder);
    }

    if (isLoggingActive()) {
        EnableLogging();
    } else {
        DisableLogging();
    }
}

LoggerOptions LoggerGroup::GetLoggerOptions() const { return m_options; }

void LoggerGroup::AddSeverity(SeverityLevel level, std::vector<Loggers>& loggers) {
    auto options = m_options;
    LoggerOptionsUtils::AddSeverity(options, level, loggers);
    updateSeverityFilters(std::move(options));
}

void LoggerGroup::RemoveSeverity(SeverityLevel level, boost::optional<std::vector<Loggers>>& loggers) {
    auto options = m_options;
    LoggerOptionsUtils::RemoveSeverity(options, level, loggers);
    updateSeverityFilters(std::move(options));
}

void LoggerGroup::AddCustomTrace(const std::string& trace, std::vector<Loggers>& loggers) {
    auto options = m_options;
    LoggerOptionsUtils::AddCustomTrace(options, trace, loggers);
    updateSeverityFilters(std::move(options));
}

void LoggerGroup::RemoveCustomTrace(std::string& trace, boost::optional<std::vector<Loggers>>& loggers) {
    auto options = m_options;
    LoggerOptionsUtils::RemoveCustomTrace(options, trace, loggers);
    updateSeverityFilters(std::move(options));
}

void LoggerGroup::EnableLogging() {
    const LoggingGate::Exclusive no_record_meanwhile;
    if (!no_record_meanwhile) {
        return;
    }
    LibraryCore::instance().set_logging_enabled(true);
}

void LoggerGroup::DisableLogging() {
    const LoggingGate::Exclusive no_record_meanwhile;
    if (!no_record_meanwhile) {
        return;
    }
    LibraryCore::instance().set_logging_enabled(false);
}

bool LoggerGroup::isLoggingActive() const {
    return (m_main_log && m_options.sink(Loggers::main_log).enabled) ||
           (m_verbose_log && m_options.sink(Loggers::verbose_log).enabled) ||
           (m_std_out && m_options.sink(Loggers::std_out).enabled) ||
           (m_std_err && m_options.sink(Loggers::std_err).enabled);
}

void LoggerGroup::RemoveSinks() {
    const LoggingGate::Exclusive no_record_meanwhile;
    if (!no_record_meanwhile) {
        return;
    }
    removeAllSinks();
}

void LoggerGroup::SetStreams(std::ostream* std_err_stream, std::ostream* std_out_stream) {
    m_std_err_stream = std_err_stream;
    m_std_out_stream = std_out_stream;
}

boost::shared_ptr<LoggerGroup::FileSink> LoggerGroup::createFileSink(const boost::filesystem::path& folder,
                                                                     const std::string& name, SinkOptions&& options) {
    if (!options.enabled) {
        return {};
    }
    // "%" starts a placeholder in the file-name pattern. Only the file name is a pattern: the
    // folder part is taken literally by the file backend, so it must not be escaped.
    const auto pattern = folder / (escape_percent(name) + "_log-%Y-%m-%d_%H-%M-%S.log");
    // Appending: two files opened within the same second get the same name, and must not
    // truncate each other.
    auto backend = boost::make_shared<boost::log::sinks::text_file_backend>(
            keywords::file_name = pattern.string(), keywords::rotation_size = FILE_ROTATION_SIZE,
            keywords::auto_flush = true, keywords::open_mode = std::ios_base::out | std::ios_base::app);
    auto sink = boost::make_shared<FileSink>(backend);
    // A file that cannot be opened or written must not keep the record from the other sinks.
    sink->set_exception_handler(boost::log::make_exception_suppressor());
    sink->set_formatter(CreateLogFormatters(options.formatter));
    SinkFiltersUtils<FileSink>::SetFiltersForSink(sink, std::move(options.severities),
                                                  std::move(options.custom_traces));
    LibraryCore::instance().add_sink(sink);
    return sink;
}

boost::shared_ptr<LoggerGroup::StreamSink> LoggerGroup::createStreamSink(SinkOptions&& options, std::ostream* stream) {
    if (!options.enabled) {
        return {};
    }
    auto backend = boost::make_shared<boost::log::sinks::text_ostream_backend>();
    backend->auto_flush(true);
    auto sink = boost::make_shared<StreamSink>(backend);
    sink->set_exception_handler(boost::log::make_exception_suppressor());
    sink->set_formatter(CreateLogFormatters(options.formatter));
    backend->add_stream(boost::shared_ptr<std::ostream>(stream, null_deleter()));
    // Filtered before it is attached: records written meanwhile on other threads must not reach
    // a sink that has no filter yet.
    SinkFiltersUtils<StreamSink>::SetFiltersForSink(sink, std::move(options.severities),
                                                    std::move(options.custom_traces));
    LibraryCore::instance().add_sink(sink);
    return sink;
}

template <typename SinkT>
void LoggerGroup::removeSink(boost::shared_ptr<SinkT>& sink) {
    if (sink) {
        LibraryCore::instance().remove_sink(sink);
    }
    sink.reset();
}

template <typename SinkT, typename Create>
void LoggerGroup::updateSink(boost::shared_ptr<SinkT>& slot, SinkOptions&& options, Create&& create) {
    if (!options.enabled) {
        // Left attached, a sink whose lists were emptied would keep its old filter and go on
        // writing what it took before.
        removeSink(slot);
        return;
    }
    if (!slot) {
        slot = create(std::move(options));
        return;
    }
    SinkFiltersUtils<SinkT>::SetFiltersForSink(slot, std::move(options.severities), std::move(options.custom_traces));
}

void LoggerGroup::updateFileSink(Loggers which, const boost::filesystem::path& folder, const std::string& name,
                                 SinkOptions&& options) {
    if (which != Loggers::main_log && which != Loggers::verbose_log) {
        ZEV_LOG(common::logging::error) << "Failed to update file sink - received wrong logger type";
        return;
    }
    updateSink(which == Loggers::main_log ? m_main_log : m_verbose_log, std::move(options),
               [&](SinkOptions&& created) { return createFileSink(folder, name, std::move(created)); });
}

void LoggerGroup::updateStreamSink(Loggers which, SinkOptions&& options) {
    if (which != Loggers::std_err && which != Loggers::std_out) {
        ZEV_LOG(common::logging::error) << "Failed to update stream sink - received wrong logger type";
        return;
    }
    updateSink(which == Loggers::std_err ? m_std_err : m_std_out, std::move(options),
               [&](SinkOptions&& created) { return createStreamSink(std::move(created), streamFor(which)); });
}

void LoggerGroup::updateSeverityFilters(LoggerOptions&& options) {
    const LoggingGate::Exclusive no_record_meanwhile;
    if (!no_record_meanwhile) {
        return;
    }
    m_options = std::move(options);
    const boost::filesystem::path folder(m_options.log_folder);
    updateFileSink(Loggers::main_log, folder, m_options.log_file_name, SinkOptions(m_options.sink(Loggers::main_log)));
    updateFileSink(Loggers::verbose_log, folder, m_options.verbose_log_file_name,
                   SinkOptions(m_options.sink(Loggers::verbose_log)));
    updateStreamSink(Loggers::std_err, SinkOptions(m_options.sink(Loggers::std_err)));
    updateStreamSink(Loggers::std_out, SinkOptions(m_options.sink(Loggers::std_out)));
    if (isLoggingActive()) {
        EnableLogging();
    } else {
        DisableLogging();
    }
}

void LoggerGroup::removeAllSinks() {
    removeSink(m_main_log);
    removeSink(m_std_err);
    removeSink(m_std_out);
    removeSink(m_verbose_log);
}

std::ostream* LoggerGroup::streamFor(Loggers which) const {
    if (which == Loggers::std_err) {
        return m_std_err_stream ? m_std_err_stream : &std::cerr;
    }
    return m_std_out_stream ? m_std_out_stream : &std::cout;
}

}  // namespace logging
}  // namespace common
