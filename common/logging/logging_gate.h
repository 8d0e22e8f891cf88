#pragma once

#include <atomic>
#include <mutex>

namespace common {
namespace logging {

// Every record the library writes passes this gate (shared), from opening the record to pushing
// it, and every change of the library's sinks or switch closes it (exclusive). So a change never
// leaves a record half-way between the old and the new sinks, and a fork, which closes the gate
// in its prepare handler, never copies a lock of the logging core, a sink or a logger held by a
// thread that the child does not have. Closing prefers the closer: new records wait while the
// gate is closing, so a flood of records cannot hold a fork off. A thread that holds the gate,
// shared or exclusive, passes it again at once (a record written while a record or a change is
// under way on the same thread).
//
// A thread that closes the gate inside a record of its own (a fork from a log forwarder) stops
// counting as a writer until it opens the gate again: it waits for the other writers only, and
// another thread doing the same waits for it without deadlock. Such a thread is inside a sink's
// call of the forwarder, where it holds no lock of the core or of a sink.
//
// A fork waits for the records inside at most FORK_WAIT (a sink may be stuck: standard error a
// full pipe that nobody reads). Its child, where such a record's locks may be held for ever, drops
// its records and changes no sink: its log is off, and it goes on.
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

    // False in a forked child whose fork came while another thread's record was stuck inside.
    bool usable() const { return !m_stranded.load(); }

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

        // Whether the library's sinks may be changed (see usable()).
        explicit operator bool() const { return m_gate.usable(); }

    private:
        LoggingGate& m_gate;
    };

private:
    LoggingGate() = default;
    void step_out();
    void step_in();
    // Closes for a thread that has stepped out; how many writers are still inside at the deadline.
    int shut(bool bounded);
    void prepare_fork();
    void open_in_parent();
    void open_in_child();

    // Held by the closer from closing to opening: new records wait on it.
    std::mutex m_closer;
    std::atomic<bool> m_closed{false};
    std::atomic<int> m_inside{0};
    // Writers the fork left inside; written by the forking thread while it holds m_closer.
    int m_left_at_fork = 0;
    std::atomic<bool> m_stranded{false};
};

}  // namespace logging
}  // namespace common
