#pragma once

namespace ipc_tools {

/// A file descriptor that any thread can make readable, so that a thread waiting in poll on its
/// sockets also wakes for work finished elsewhere, or for a wait cut short. Notifications before a
/// drain merge into one.
class WakeSignal {
public:
    /// Throws std::system_error when the descriptor cannot be made.
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    int fd() const { return m_fd; }
    void notify();
    /// Makes the descriptor unreadable again.
    void drain();

private:
    int m_fd;
};

}  // namespace ipc_tools
