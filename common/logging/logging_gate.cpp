#include "common/logging/logging_gate.h"

#include "common/logging/global_loggers.h"

#include <pthread.h>

#include <chrono>
#include <thread>

namespace common {
namespace logging {

namespace {

// How many holds of the gate this thread has open, and whether the outermost one is exclusive.
thread_local int t_depth = 0;
thread_local bool t_exclusive = false;

}  // namespace

LoggingGate& LoggingGate::instance() {
    static LoggingGate* const gate = [] {
        auto* const created = new LoggingGate;
        // The child copies the closed gate; only the forking thread exists there, so nothing else
        // can be inside.
        pthread_atfork([] { instance().close(); }, [] { instance().open(); }, [] { instance().open_in_child(); });
        detail::make_global_loggers();
        return created;
    }();
    return *gate;
}

void LoggingGate::enter() {
    if (t_depth++ > 0) {
        return;
    }
    t_exclusive = false;
    for (;;) {
        m_inside.fetch_add(1);
        if (!m_closed.load()) {
            return;
        }
        m_inside.fetch_sub(1);
        // The closer holds the mutex until it opens the gate.
        const std::lock_guard<std::mutex> wait_for_opening(m_closer);
    }
}

void LoggingGate::leave() { release(); }

void LoggingGate::close() {
    if (t_depth++ > 0) {
        // Already held by this thread: it cannot wait for itself to leave.
        return;
    }
    t_exclusive = true;
    m_closer.lock();
    m_closed.store(true);
    // Records are short (a line formatted and written), so those inside are waited for by polling.
    for (int polls = 0; m_inside.load() != 0; ++polls) {
        if (polls < 100) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
}

void LoggingGate::open() { release(); }

void LoggingGate::release() {
    if (--t_depth > 0) {
        return;
    }
    if (t_exclusive) {
        t_exclusive = false;
        m_closed.store(false);
        m_closer.unlock();
    } else {
        m_inside.fetch_sub(1);
    }
}

void LoggingGate::open_in_child() {
    // A parent thread may have counted itself in and not yet out when the fork came.
    if (t_depth == 1 && t_exclusive) {
        m_inside.store(0);
    }
    release();
}

}  // namespace logging
}  // namespace common
