#pragma once

#include "ipc_tools/wake_signal.h"

#include <atomic>
#include <mutex>
#include <optional>

namespace ipc_tools {

/// Lets another thread cut short a wait for a reply. Raised once, it stays raised: its descriptor
/// stays readable (it is never drained), so a poll that includes it ends at once, however late it
/// starts. The descriptor is made by its owner when it connects, not when it is constructed, so
/// that a process short of descriptors learns so from the connect.
class WaitInterrupt {
public:
    /// Any thread.
    void raise() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_raised.exchange(true) && m_signal) {
            m_signal->notify();
        }
    }
    bool raised() const { return m_raised.load(); }
    /// Makes the descriptor, readable at once when raised already; the owner's thread. Throws
    /// std::system_error when it cannot be made.
    void make_descriptor() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_signal) {
            return;
        }
        m_signal.emplace();
        if (m_raised.load()) {
            m_signal->notify();
        }
        m_descriptor.store(m_signal->fd());
    }
    bool has_descriptor() const { return m_descriptor.load() >= 0; }
    /// Readable once raised; for a poll. -1 (which a poll passes over) before make_descriptor.
    int descriptor() const { return m_descriptor.load(); }

private:
    std::mutex m_mutex;  // between raise and make_descriptor
    std::optional<WakeSignal> m_signal;
    std::atomic<int> m_descriptor{-1};
    std::atomic<bool> m_raised{false};
};

}  // namespace ipc_tools
