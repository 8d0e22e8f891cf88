#include "common/logging/logging_gate.h"

#include "common/fork_safe_mutex.h"
#include "common/logging/global_loggers.h"

#include <pthread.h>

#include <chrono>
#include <thread>

namespace common {
namespace logging {

namespace {

// Records are short (a line formatted and written): one still inside after this is stuck.
constexpr std::chrono::seconds FORK_WAIT{1};

// How many holds of the gate this thread has open as a writer and as a closer, whether its writer
// holds count among those inside, and whether they were taken out of the count while it closes.
thread_local int t_writes = 0;
thread_local int t_closes = 0;
thread_local bool t_counted = false;
thread_local bool t_stepped_out = false;

}  // namespace

LoggingGate& LoggingGate::instance() {
    static LoggingGate* const gate = [] {
        auto* const created = new LoggingGate;
        pthread_atfork([] { instance().prepare_fork(); }, [] { instance().open_in_parent(); },
                       [] { instance().open_in_child(); });
        detail::make_global_loggers();
        return created;
    }();
    return *gate;
}

void LoggingGate::enter() {
    if (t_writes++ > 0 || t_closes > 0) {
        return;
    }
    for (;;) {
        m_inside.fetch_add(1);
        if (!m_closed.load()) {
            t_counted = true;
            return;
        }
        m_inside.fetch_sub(1);
        // The closer holds the mutex until it opens the gate.
        const std::lock_guard<std::mutex> wait_for_opening(m_closer);
    }
}

void LoggingGate::leave() {
    if (--t_writes > 0 || !t_counted) {
        return;
    }
    t_counted = false;
    m_inside.fetch_sub(1);
}

void LoggingGate::close() {
    if (t_closes++ > 0) {
        return;
    }
    step_out();
    shut(false);
}

void LoggingGate::open() {
    if (--t_closes > 0) {
        return;
    }
    step_in();
    m_closed.store(false);
    m_closer.unlock();
}

void LoggingGate::step_out() {
    if (t_counted) {
        t_counted = false;
        t_stepped_out = true;
        m_inside.fetch_sub(1);
    }
}

void LoggingGate::step_in() {
    if (t_stepped_out) {
        t_stepped_out = false;
        t_counted = true;
        m_inside.fetch_add(1);
    }
}

int LoggingGate::shut(const bool bounded) {
    m_closer.lock();
    m_closed.store(true);
    const auto deadline = std::chrono::steady_clock::now() + FORK_WAIT;
    // Those inside are waited for by polling: a record takes microseconds.
    for (int polls = 0; m_inside.load() != 0; ++polls) {
        if (polls < 100) {
            std::this_thread::yield();
            continue;
        }
        if (bounded && std::chrono::steady_clock::now() > deadline) {
            return m_inside.load();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return 0;
}

void LoggingGate::prepare_fork() {
    // Out of the count first: a holder of the mutexes below may wait for a closer that waits for
    // this thread's record.
    step_out();
    // Taken before the gate closes, as their holders may log.
    ForkSafeMutex::lock_all_for_fork();
    m_left_at_fork = t_closes++ > 0 ? 0 : shut(true);
}

void LoggingGate::open_in_parent() {
    open();
    ForkSafeMutex::unlock_all_after_fork();
}

void LoggingGate::open_in_child() {
    // Only the forking thread exists here, and it is out of the count.
    m_inside.store(0);
    if (m_left_at_fork > 0) {
        m_stranded.store(true);
    }
    open();
    ForkSafeMutex::unlock_all_after_fork();
}

}  // namespace logging
}  // namespace common
