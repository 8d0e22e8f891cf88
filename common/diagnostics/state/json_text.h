#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>

namespace common {
namespace diagnostics {
namespace state {
namespace detail {

// The pretty-printed text of a JSON document in the form our state reports have always had:
// four blanks of indentation per level, one member per line, "name": value, "{}" for an empty
// object; doubles in their shortest round-trip digits (plain notation from 1e-4 up to 17 integer
// digits, always with a "." or an exponent; zero of either sign as 0.0; NaN and infinities as null);
// strings with the short escapes \" \\ \b \f \n \r \t, other control characters and DEL as \u00XX in
// upper-case hex, everything else as it is. Invalid UTF-8 is replaced by U+FFFD so that the text
// stays parseable.
std::string to_pretty_json_text(const nlohmann::ordered_json& document);

// The text of one double as the document writer prints it.
std::string format_json_double(double value);

}  // namespace detail
}  // namespace state
}  // namespace diagnostics
}  // namespace common
