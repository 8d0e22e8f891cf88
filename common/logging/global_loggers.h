#pragma once

#include "common/logging/attributes.h"

#include <boost/log/sources/global_logger_storage.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_channel_logger.hpp>

#include <exception>
#include <string>

namespace common {
namespace logging {

// Multi-thread logger (reader/writer lock) with a severity and a channel.
using BoostLoggerWrapper = boost::log::sources::severity_channel_logger_mt<attributes::SeverityLevel, std::string>;

// The four process-wide loggers; each one's channel is its severity's name.
BOOST_LOG_GLOBAL_LOGGER(error, BoostLoggerWrapper)
BOOST_LOG_GLOBAL_LOGGER(warning, BoostLoggerWrapper)
BOOST_LOG_GLOBAL_LOGGER(info, BoostLoggerWrapper)
BOOST_LOG_GLOBAL_LOGGER(verbose, BoostLoggerWrapper)

namespace detail {

// Opens one record and, when some sink wants it, attaches the writing function's signature.
// The record is pushed by push() or, failing that, by the destructor.
class RecordWriter {
public:
    RecordWriter(BoostLoggerWrapper& logger, const char* function_text);
    RecordWriter(BoostLoggerWrapper& logger, const std::string& function_text);
    // A record of a chosen severity and channel (for example trace records of a custom trace),
    // opened on the core directly: a global logger's channel stays as it is.
    RecordWriter(const std::string& function_text, attributes::SeverityLevel severity, const std::string& channel);
    ~RecordWriter();

    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    explicit operator bool() const { return static_cast<bool>(m_record); }
    boost::log::record_ostream& stream() { return m_stream; }
    void push();

private:
    void attach_function(const std::string& function_text);

    boost::log::record m_record;
    boost::log::record_ostream m_stream;
    int m_uncaught_at_start;
};

}  // namespace detail

// Writes one complete record (used where a macro does not fit).
void write_record(BoostLoggerWrapper& logger, const std::string& function_text, const std::string& text);

}  // namespace logging
}  // namespace common

// Usage: ZEV_LOG(common::logging::warning) << "text";
// The message is evaluated only when some sink accepts the record.
#define ZEV_LOG_WITH_FUNCTION(logger_tag, function_text)                                                       \
    for (::common::logging::detail::RecordWriter zev_log_record_writer_((logger_tag::get()), (function_text)); \
         zev_log_record_writer_; zev_log_record_writer_.push())                                                \
    zev_log_record_writer_.stream()

#define ZEV_LOG(logger_tag) ZEV_LOG_WITH_FUNCTION(logger_tag, __PRETTY_FUNCTION__)
