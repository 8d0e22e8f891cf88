#pragma once

#include "common/diagnostics/state/state_logger.h"

namespace common {
namespace diagnostics {
namespace state {

// An object that can describe its state for a report. Reports may run concurrently, so
// report_state must tolerate concurrent calls.
class StateProvider {
public:
    virtual ~StateProvider() = default;
    virtual void report_state(StateLogger& logger) const = 0;
};

}  // namespace state
}  // namespace diagnostics
}  // namespace common
