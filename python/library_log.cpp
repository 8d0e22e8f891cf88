#include "python/library_log.h"

#include "client_api/log_forwarding.h"

#include <pthread.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace tessellpy {

namespace py = pybind11;

namespace {

/// Beyond this many waiting records the oldest go, and their number is told instead.
constexpr std::size_t MAX_QUEUED = 10000;

struct Record {
    vexil::LogSeverity severity;
    std::string text;
};

class RecordQueue {
public:
    void push(vexil::LogSeverity severity, const std::string& text) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_records.size() == MAX_QUEUED) {
            m_records.pop_front();
            ++m_dropped;
        }
        m_records.push_back({severity, text});
    }

    std::deque<Record> take(std::size_t& dropped) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        dropped = std::exchange(m_dropped, 0);
        return std::exchange(m_records, {});
    }

    // A fork copies the queue as the forking thread sees it: the mutex is taken around the fork, so
    // that no library thread holds it in the child, where that thread does not exist. The child
    // starts empty: the parent emits what was queued.
    void lock_for_fork() { m_mutex.lock(); }
    void unlock_in_parent() { m_mutex.unlock(); }
    void unlock_in_child() {
        m_records.clear();
        m_dropped = 0;
        m_mutex.unlock();
    }

private:
    std::mutex m_mutex;
    std::deque<Record> m_records;
    std::size_t m_dropped = 0;
};

RecordQueue& queue() {
    // Never destroyed: library threads may log while the process's statics are torn down.
    static auto* const instance = new RecordQueue;
    return *instance;
}

}  // namespace

void install_library_log() {
    queue();
    // Before the forwarder is set, which makes the library's logging gate and its fork handlers:
    // fork-prepare handlers run in the reverse order of their registration, so the gate is closed
    // first, and no library thread is then inside push() waiting for the mutex taken here.
    pthread_atfork([] { queue().lock_for_fork(); }, [] { queue().unlock_in_parent(); },
                   [] { queue().unlock_in_child(); });
    vexil::set_log_forwarder(
            [](vexil::LogSeverity severity, const std::string& text) { queue().push(severity, text); });
}

void emit_library_log() noexcept {
    std::size_t dropped = 0;
    auto records = queue().take(dropped);
    if (records.empty() && dropped == 0) {
        return;
    }
    if (Py_IsInitialized() == 0 || _Py_IsFinalizing() != 0) {
        return;
    }
    try {
        // The caller's own exception, if one is being raised, must survive the logging calls.
        const py::error_scope keep_pending_error;
        const auto logger = py::module_::import("logging").attr("getLogger")("tessellpy.library");
        if (dropped != 0) {
            logger.attr("warning")(std::to_string(dropped) + " earlier records of the library were dropped");
        }
        for (const auto& record : records) {
            logger.attr(record.severity == vexil::LogSeverity::error ? "error" : "warning")(record.text);
        }
    } catch (...) {
        // Logging must not change the outcome of the call it follows.
    }
}

}  // namespace tessellpy
