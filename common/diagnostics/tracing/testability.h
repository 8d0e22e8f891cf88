#pragma once

#include "common/diagnostics/tracing/trace_mode.h"

#include <functional>
#include <istream>
#include <string>

// Operations that set tracing up directly, for tests and tools. Each reaches only the domains that
// are resolved after it.
namespace common {
namespace diagnostics {
namespace tracing {
namespace testability {

// Installs `writer` as the custom writer (on the writer's thread) and makes custom the default mode.
void set_custom_trace_writer(std::function<void(const std::string&)> writer);

void set_default_trace_mode(TraceMode mode);

// Empties the tables and files each comma-separated, trimmed, non-empty domain with the default mode.
void set_enabled_trace_domains(const std::string& domains);

// Empties the tables, then parses `in`.
void configure_trace_domains(std::istream& in);

// Empty path: nothing happens. Otherwise the tables are emptied and the file parsed; an unreadable
// file writes an info record and leaves the tables empty.
void configure_trace_domains(const std::string& path);

// Whether ZEV_BASECALL_TRACE_CONFIG is set.
bool environment_config_exists();

}  // namespace testability
}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
