#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace common {
namespace diagnostics {
namespace tracing {

// Where the lines of an enabled trace domain go. `exclude` is only a configuration word: it switches
// a domain off whatever else names it.
enum class TraceMode : std::int32_t {
    none = 0,
    verbose_log = 1,
    trace_file = 2,
    stdout = 3,
    stderr = 4,
    win_dbg_out = 5,
    custom = 6,
    exclude = 7,
};

// The configuration keyword of a mode ("none" for the mode that has none); throws std::runtime_error
// for a value outside the enumeration.
std::string to_string(TraceMode mode);

std::ostream& operator<<(std::ostream& stream, TraceMode mode);

// The mode whose keyword equals `word` exactly (case-sensitive); "none" is no keyword.
std::optional<TraceMode> trace_mode_from_keyword(const std::string& word);

}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
