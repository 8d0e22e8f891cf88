#pragma once

#include <boost/log/attributes/attribute_name.hpp>
#include <boost/log/attributes/current_thread_id.hpp>
#include <boost/log/expressions/keyword.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cstdint>
#include <ostream>
#include <string>

namespace common {
namespace logging {
namespace attributes {

// Note that message lies below info: it is the level of bare standard-output text.
enum class SeverityLevel : std::uint8_t {
    trace = 0,
    verbose = 1,
    message = 2,
    info = 3,
    warning = 4,
    error = 5,
};

// The level's name; any value outside the scale gives "unknown".
const char* to_string(SeverityLevel level);

// Exact, case-sensitive match of a level name; throws std::runtime_error for any other text.
SeverityLevel get_severity_by_name(const std::string& name);

std::ostream& operator<<(std::ostream& stream, SeverityLevel level);

namespace names {
// The "Function" attribute name, registered once and cached.
const boost::log::attribute_name& function();
// "VexilLibrary", which every record of the library carries (value "vexil_client"): a host's core
// filter passes the library's records by it.
const boost::log::attribute_name& library();
}  // namespace names

BOOST_LOG_ATTRIBUTE_KEYWORD(severity, "Severity", SeverityLevel)
BOOST_LOG_ATTRIBUTE_KEYWORD(log_channel, "Channel", std::string)
BOOST_LOG_ATTRIBUTE_KEYWORD(function, "Function", std::string)
BOOST_LOG_ATTRIBUTE_KEYWORD(thread_id, "ThreadID", boost::log::attributes::current_thread_id::value_type)
BOOST_LOG_ATTRIBUTE_KEYWORD(timestamp, "TimeStamp", boost::posix_time::ptime)

}  // namespace attributes
}  // namespace logging
}  // namespace common
