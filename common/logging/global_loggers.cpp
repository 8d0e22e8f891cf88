#include "common/logging/global_loggers.h"

#include <boost/log/attributes/constant.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/keywords/channel.hpp>
#include <boost/log/keywords/severity.hpp>

namespace common {
namespace logging {

using attributes::SeverityLevel;
namespace keywords = boost::log::keywords;

BOOST_LOG_GLOBAL_LOGGER_CTOR_ARGS(error, BoostLoggerWrapper,
                                  (keywords::severity = SeverityLevel::error)(keywords::channel = "error"))
BOOST_LOG_GLOBAL_LOGGER_CTOR_ARGS(warning, BoostLoggerWrapper,
                                  (keywords::severity = SeverityLevel::warning)(keywords::channel = "warning"))
BOOST_LOG_GLOBAL_LOGGER_CTOR_ARGS(info, BoostLoggerWrapper,
                                  (keywords::severity = SeverityLevel::info)(keywords::channel = "info"))
BOOST_LOG_GLOBAL_LOGGER_CTOR_ARGS(verbose, BoostLoggerWrapper,
                                  (keywords::severity = SeverityLevel::verbose)(keywords::channel = "verbose"))

namespace detail {

RecordWriter::RecordWriter(BoostLoggerWrapper& logger, const char* function_text)
    : m_record(logger.open_record()), m_uncaught_at_start(std::uncaught_exceptions()) {
    if (m_record) {
        attach_function(function_text ? std::string(function_text) : std::string());
    }
}

RecordWriter::RecordWriter(BoostLoggerWrapper& logger, const std::string& function_text)
    : m_record(logger.open_record()), m_uncaught_at_start(std::uncaught_exceptions()) {
    if (m_record) {
        attach_function(function_text);
    }
}

namespace {
boost::log::attribute_set source_attributes(SeverityLevel severity, const std::string& channel) {
    boost::log::attribute_set attributes;
    attributes.insert(attributes::severity.get_name(), boost::log::attributes::constant<SeverityLevel>(severity));
    attributes.insert(attributes::log_channel.get_name(), boost::log::attributes::constant<std::string>(channel));
    return attributes;
}
}  // namespace

RecordWriter::RecordWriter(const std::string& function_text, SeverityLevel severity, const std::string& channel)
    : m_record(boost::log::core::get()->open_record(source_attributes(severity, channel))),
      m_uncaught_at_start(std::uncaught_exceptions()) {
    if (m_record) {
        attach_function(function_text);
    }
}

RecordWriter::~RecordWriter() {
    // A message whose streaming threw is dropped rather than written half-formed.
    if (m_record && std::uncaught_exceptions() == m_uncaught_at_start) {
        push();
    }
}

void RecordWriter::attach_function(const std::string& function_text) {
    m_record.attribute_values().insert(attributes::names::function(),
                                       boost::log::attributes::make_attribute_value(function_text));
    m_stream.attach_record(m_record);
}

void RecordWriter::push() {
    m_stream.flush();
    m_stream.detach_from_record();
    boost::log::core::get()->push_record(std::move(m_record));
}

}  // namespace detail

void write_record(BoostLoggerWrapper& logger, const std::string& function_text, const std::string& text) {
    detail::RecordWriter writer(logger, function_text);
    if (writer) {
        writer.stream() << text;
    }
}

}  // namespace logging
}  // namespace common
