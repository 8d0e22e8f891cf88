#pragma once

namespace common {
namespace diagnostics {
namespace tracing {

// Waits until the trace writer has written every line queued before the call.
void flush();

}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
