#pragma once

#include "common/logging/attributes.h"
#include "common/logging/logging_gate.h"

#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_channel_logger.hpp>

#include <exception>
#include <string>

namespace common {
namespace logging {

// Multi-thread logger (reader/writer lock) with a severity and a channel.
using BoostLoggerWrapper = boost::log::sources::severity_channel_logger_mt<attributes::SeverityLevel, std::string>;

namespace detail {

// One of the four process-wide loggers, whose channel is its severity's name. The logger and the
// attributes of its records are made on first use and never destroyed, with the logging core they
// hold: a client ending during static destruction still logs through them. Records are opened on
// the core with these attributes, so that no thread-specific state of the logger is needed then.
template <attributes::SeverityLevel Level>
struct GlobalLoggerTag {
    using logger_type = BoostLoggerWrapper;
    static logger_type& get();
    static const boost::log::attribute_set& source();
};

// Makes the loggers, the core and the Boost.Log globals that records need, with the gate: a client
// made after the first configuration ends before any of them.
void make_global_loggers();

}  // namespace detail

struct error : detail::GlobalLoggerTag<attributes::SeverityLevel::error> {};
struct warning : detail::GlobalLoggerTag<attributes::SeverityLevel::warning> {};
struct info : detail::GlobalLoggerTag<attributes::SeverityLevel::info> {};
struct verbose : detail::GlobalLoggerTag<attributes::SeverityLevel::verbose> {};

namespace detail {

// Sets up the library's default sinks unless some configuration came first.
struct SinksSetUp {
    SinksSetUp();
};

// Opens one record and, when some sink wants it, attaches the writing function's signature.
// The record is pushed by push() or, failing that, by the destructor. The writer holds the logging
// gate from before the record opens until it is pushed.
class RecordWriter {
public:
    // A record of one of the global loggers, given by its source attributes.
    RecordWriter(const boost::log::attribute_set& source, const char* function_text);
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

    const SinksSetUp m_sinks_set_up;
    const LoggingGate::Shared m_gate;
    boost::log::record m_record;
    boost::log::record_ostream m_stream;
    int m_uncaught_at_start;
};

}  // namespace detail

// Writes one complete record (used where a macro does not fit).
// `source`: the source attributes of a global logger, for example warning::source().
void write_record(const boost::log::attribute_set& source, const std::string& function_text, const std::string& text);

// Whether some sink accepts a record of that global logger right now; nothing is written.
bool accepts_records(const boost::log::attribute_set& source);

}  // namespace logging
}  // namespace common

// Usage: ZEV_LOG(common::logging::warning) << "text";
// The message is evaluated only when some sink accepts the record.
#define ZEV_LOG_WITH_FUNCTION(logger_tag, function_text)                                                          \
    for (::common::logging::detail::RecordWriter zev_log_record_writer_((logger_tag::source()), (function_text)); \
         zev_log_record_writer_; zev_log_record_writer_.push())                                                   \
    zev_log_record_writer_.stream()

#define ZEV_LOG(logger_tag) ZEV_LOG_WITH_FUNCTION(logger_tag, __PRETTY_FUNCTION__)
