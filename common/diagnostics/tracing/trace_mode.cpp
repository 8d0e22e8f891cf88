#include "common/diagnostics/tracing/trace_mode.h"

#include <array>
#include <stdexcept>
#include <utility>

namespace common {
namespace diagnostics {
namespace tracing {

namespace {

const std::array<std::pair<const char*, TraceMode>, 7> KEYWORDS{{
        {"verbose_log", TraceMode::verbose_log},
        {"trace_file", TraceMode::trace_file},
        {"stdout", TraceMode::stdout},
        {"stderr", TraceMode::stderr},
        {"win_dbg_out", TraceMode::win_dbg_out},
        {"custom", TraceMode::custom},
        {"exclude", TraceMode::exclude},
}};

}  // namespace

std::string to_string(TraceMode mode) {
    if (mode == TraceMode::none) {
        return "none";
    }
    for (const auto& entry : KEYWORDS) {
        if (entry.second == mode) {
            return entry.first;
        }
    }
    throw std::runtime_error("unrecognised TraceMode value");
}

std::ostream& operator<<(std::ostream& stream, TraceMode mode) { return stream << to_string(mode); }

std::optional<TraceMode> trace_mode_from_keyword(const std::string& word) {
    for (const auto& entry : KEYWORDS) {
        if (word == entry.first) {
            return entry.second;
        }
    }
    return std::nullopt;
}

}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
