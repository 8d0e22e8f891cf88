#pragma once

#include <atomic>

namespace ipc_tools {

/// Lets another thread cut short a wait for a reply. Raised once, it stays raised: its descriptor
/// stays readable, so a poll that includes it ends at once, however late it starts.
class WaitInterrupt {
public:
    /// Throws std::system_error when no descriptor can be had.
    WaitInterrupt();
    ~WaitInterrupt();

    WaitInterrupt(const WaitInterrupt&) = delete;
    WaitInterrupt& operator=(const WaitInterrupt&) = delete;
    WaitInterrupt(WaitInterrupt&&) = delete;
    WaitInterrupt& operator=(WaitInterrupt&&) = delete;

    /// Any thread.
    void raise();
    bool raised() const { return m_raised.load(); }
    /// Readable once raised; for a poll.
    int descriptor() const { return m_descriptor; }

private:
    int m_descriptor;
    std::atomic<bool> m_raised{false};
};

}  // namespace ipc_tools
