#include "common/logging/attributes.h"

#include <array>
#include <stdexcept>
#include <utility>

namespace common {
namespace logging {
namespace attributes {

const char* to_string(SeverityLevel level) {
    switch (level) {
        case SeverityLevel::trace:
            return "trace";
        case SeverityLevel::verbose:
            return "verbose";
        case SeverityLevel::message:
            return "message";
        case SeverityLevel::info:
            return "info";
        case SeverityLevel::warning:
            return "warning";
        case SeverityLevel::error:
            return "error";
    }
    return "unknown";
}

SeverityLevel get_severity_by_name(const std::string& name) {
    static const std::array<SeverityLevel, 6> search_order{SeverityLevel::error,   SeverityLevel::warning,
                                                           SeverityLevel::message, SeverityLevel::info,
                                                           SeverityLevel::verbose, SeverityLevel::trace};
    for (const auto level : search_order) {
        if (name == to_string(level)) {
            return level;
        }
    }
    throw std::runtime_error("unable to find severity for string: " + name);
}

std::ostream& operator<<(std::ostream& stream, SeverityLevel level) { return stream << to_string(level); }

namespace names {
const boost::log::attribute_name& function() {
    static const boost::log::attribute_name name("Function");
    return name;
}
const boost::log::attribute_name& library() {
    static const boost::log::attribute_name name("VexilLibrary");
    return name;
}
}  // namespace names

}  // namespace attributes
}  // namespace logging
}  // namespace common
