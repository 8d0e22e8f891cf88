#pragma once

#include "client_api/export.h"

#include <functional>
#include <string>

namespace vexil {

/// How serious a record of the library's log is.
enum class LogSeverity { warning, error };

/// Receives one record of the library's log: its severity and its text.
using LogForwarder = std::function<void(LogSeverity severity, const std::string& text)>;

/// Hands every warning and error that the library logs to `forwarder`, on the thread that logs it
/// (often one of the library's own, and several of them at once), and stops the library printing
/// them on standard error while a forwarder is set: the application's own logging shows, filters or
/// silences them. An empty forwarder ends the forwarding and the printing starts again. The
/// forwarder must return promptly and must not call into the library; the exceptions it throws are
/// swallowed.
VEXIL_EXPORT void set_log_forwarder(LogForwarder forwarder);

}  // namespace vexil
