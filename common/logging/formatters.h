#pragma once

#include "common/logging/logger_options.h"

#include <boost/log/core/record_view.hpp>
#include <boost/log/expressions/formatter.hpp>
#include <boost/log/utility/formatting_ostream.hpp>

#include <string>

namespace common {
namespace logging {

// The line formatter for the elements enabled in the settings.
boost::log::formatter CreateLogFormatters(const FormatterSettings& settings);

// The bare function name of a compiler pretty-function text: no return type, no arguments.
std::string bare_function_name(std::string pretty_function);

namespace expressions {
namespace detail {
void format_pretty_function(const boost::log::record_view& record, boost::log::formatting_ostream& stream);
}  // namespace detail
}  // namespace expressions

}  // namespace logging
}  // namespace common
