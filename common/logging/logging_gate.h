#pragma once

#include <atomic>
#include <mutex>

namespace common {
namespace logging {

// Every record the library writes passes this gate (shared), from opening the record to pushing
// it, and every change of the core's sinks or filter closes it (exclusive). So a change never
// leaves a record half-way between the old and the new sinks, and a fork, which closes the gate
// in its prepare handler, never copies a lock of the logging core, a sink or a logger held by a
// thread that the child does not have. Closing prefers the closer: new records wait while the
// gate is closing, so a flood of records cannot hold a fork off. A thread that holds the gate,
// shared or exclusive, passes it again at once (a record written while a record or a change is
// under way on the same thread).
class LoggingGate {
public:
    // The process-wide gate, never destroyed (records may be written during static destruction);
    // the first call installs the fork handlers.
    static LoggingGate& instance();

    LoggingGate(const LoggingGate&) = delete;
    LoggingGate& operator=(const LoggingGate&) = delete;

    void enter();
    void leave();
    void close();
    void open();

    class Shared {
    public:
        Shared() : m_gate(instance()) { m_gate.enter(); }
        ~Shared() { m_gate.leave(); }
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;

    private:
        LoggingGate& m_gate;
    };

    class Exclusive {
    public:
        Exclusive() : m_gate(instance()) { m_gate.close(); }
        ~Exclusive() { m_gate.open(); }
        Exclusive(const Exclusive&) = delete;
        Exclusive& operator=(const Exclusive&) = delete;

    private:
        LoggingGate& m_gate;
    };

private:
    LoggingGate() = default;
    void release();
    void open_in_child();

    // Held by the closer from closing to opening: new records wait on it.
    std::mutex m_closer;
    std::atomic<bool> m_closed{false};
    std::atomic<int> m_inside{0};
};

}  // namespace logging
}  // namespace common
