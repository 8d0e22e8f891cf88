#include "python/library_log.h"

#include "client_api/log_forwarding.h"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <iterator>
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

/// As logging's basic format would print it: once logging is gone, stderr is where records go.
void print_to_stderr(const Record& record) {
    std::fprintf(stderr, "%s:tessellpy.library:%s\n",
                 record.severity == vexil::LogSeverity::error ? "ERROR" : "WARNING", record.text.c_str());
}

void print_dropped_to_stderr(std::size_t dropped) {
    if (dropped != 0) {
        print_to_stderr({vexil::LogSeverity::warning,
                         std::to_string(dropped) + " earlier records of the library were dropped"});
    }
}

class RecordQueue {
public:
    void push(vexil::LogSeverity severity, const std::string& text) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_to_stderr) {
            print_to_stderr({severity, text});
            return;
        }
        m_records.push_back({severity, text});
        drop_beyond_limit();
    }

    std::deque<Record> take(std::size_t& dropped) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        dropped = std::exchange(m_dropped, 0);
        return std::exchange(m_records, {});
    }

    /// Records taken but not handed over go back before those queued since, with the number of
    /// dropped records not told yet.
    void put_back(std::deque<Record>::iterator first, std::deque<Record>::iterator last, std::size_t dropped) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_to_stderr) {
            print_dropped_to_stderr(dropped);
            std::for_each(first, last, print_to_stderr);
            return;
        }
        m_dropped += dropped;
        m_records.insert(m_records.begin(), std::make_move_iterator(first), std::make_move_iterator(last));
        drop_beyond_limit();
    }

    void send_to_stderr() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_to_stderr = true;
        print_dropped_to_stderr(std::exchange(m_dropped, 0));
        std::for_each(m_records.begin(), m_records.end(), print_to_stderr);
        m_records.clear();
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
    void drop_beyond_limit() {
        while (m_records.size() > MAX_QUEUED) {
            m_records.pop_front();
            ++m_dropped;
        }
    }

    std::mutex m_mutex;
    std::deque<Record> m_records;
    std::size_t m_dropped = 0;
    bool m_to_stderr = false;
};

/// logging's levels of the library's two severities.
constexpr int WARNING_LEVEL = 30;
constexpr int ERROR_LEVEL = 40;

// Hands one record to the logger, the way a logging call from Python code would, except that an
// Exception raised by a filter or handler is reported as a handler reports its own failures and the
// caller goes on; KeyboardInterrupt and the like propagate.
constexpr const char* DELIVER_SOURCE = R"(
import logging

def deliver(logger, level, text):
    try:
        logger.log(level, text)
    except Exception:
        logging.Handler().handleError(logger.makeRecord(logger.name, level, "", 0, text, (), None))
)";

py::handle deliver_function() {
    // Made once and never released: the interpreter may be gone by the time statics are destroyed.
    static const py::handle function = [] {
        const auto builtins = py::module_::import("builtins");
        py::dict scope;
        scope["__builtins__"] = builtins;
        // Named, so that a reported failure's call stack says where the record came from.
        builtins.attr("exec")(builtins.attr("compile")(DELIVER_SOURCE, "<tessellpy library log>", "exec"), scope);
        return py::object(scope["deliver"]).release();
    }();
    return function;
}

RecordQueue& queue() {
    // Never destroyed: library threads may log while the process's statics are torn down.
    static auto* const instance = new RecordQueue;
    return *instance;
}

}  // namespace

void install_library_log() {
    queue();
    deliver_function();
    // Before the forwarder is set, which makes the library's logging gate and its fork handlers:
    // fork-prepare handlers run in the reverse order of their registration, so the gate is closed
    // first, and no library thread is then inside push() waiting for the mutex taken here.
    pthread_atfork([] { queue().lock_for_fork(); }, [] { queue().unlock_in_parent(); },
                   [] { queue().unlock_in_child(); });
    vexil::set_log_forwarder(
            [](vexil::LogSeverity severity, const std::string& text) { queue().push(severity, text); });
}

namespace {

/// Hands the queued records to `logging`; emit_library_log says when that may be done.
void deliver_queued_records() {
    if (PyErr_Occurred() != nullptr) {
        return;  // the records wait for a handover that can run Python code
    }
    std::size_t dropped = 0;
    auto records = queue().take(dropped);
    if (records.empty() && dropped == 0) {
        return;
    }
    // Past the record being handed over.
    auto rest = records.begin();
    try {
        const auto deliver = deliver_function();
        const auto logger = py::module_::import("logging").attr("getLogger")("tessellpy.library");
        if (dropped != 0) {
            deliver(logger, WARNING_LEVEL,
                    std::to_string(std::exchange(dropped, 0)) + " earlier records of the library were dropped");
        }
        while (rest != records.end()) {
            const auto& record = *rest++;
            deliver(logger, record.severity == vexil::LogSeverity::error ? ERROR_LEVEL : WARNING_LEVEL, record.text);
        }
    } catch (const py::error_already_set&) {
        // An interrupt while a record was handed over: that record was handled, the rest go back.
        queue().put_back(rest, records.end(), dropped);
        throw;
    }
}

/// The interpreter removes every module from sys.modules before it clears any module's globals:
/// while `logging` is still there, it works.
bool logging_still_whole() {
    PyObject* const module = PyImport_GetModule(py::str("logging").ptr());
    const bool whole = module != nullptr && PyModule_Check(module) != 0;
    Py_XDECREF(module);
    PyErr_Clear();
    return whole;
}

}  // namespace

void emit_library_log() {
    if (Py_IsInitialized() == 0 || _Py_IsFinalizing() != 0) {
        return;  // `logging` may be torn down: the exit hands the records over
    }
    deliver_queued_records();
}

void emit_library_log_while_finalising() noexcept {
    if (PyErr_Occurred() != nullptr) {
        return;
    }
    try {
        if (logging_still_whole()) {
            deliver_queued_records();
        }
    } catch (...) {
        // An interrupt from a handler: the records left go to stderr at the end.
    }
}

void send_library_log_to_stderr() noexcept { queue().send_to_stderr(); }

}  // namespace tessellpy
