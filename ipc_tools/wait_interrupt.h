#pragma once

#include "ipc_tools/wake_signal.h"

#include <atomic>

namespace ipc_tools {

/// Lets another thread cut short a wait for a reply. Raised once, it stays raised: its descriptor
/// stays readable (it is never drained), so a poll that includes it ends at once, however late it
/// starts.
class WaitInterrupt {
public:
    /// Any thread.
    void raise() {
        if (!m_raised.exchange(true)) {
            m_signal.notify();
        }
    }
    bool raised() const { return m_raised.load(); }
    /// Readable once raised; for a poll.
    int descriptor() const { return m_signal.fd(); }

private:
    WakeSignal m_signal;
    std::atomic<bool> m_raised{false};
};

}  // namespace ipc_tools
