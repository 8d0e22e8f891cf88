#include "python/interruptible.h"

#include "python/library_log.h"

#include <cxxabi.h>
#include <pthread.h>

#include <algorithm>
#include <utility>

namespace tessellpy {

namespace py = pybind11;

namespace {

[[noreturn]] void park_for_good() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

}  // namespace

void ReleasedGil::take_back_gil(PyThreadState* state) noexcept {
    if (state == nullptr) {
        park_for_good();  // finalisation has deleted this daemon thread's state already
    }
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        // The interpreter is finalising and ends this daemon thread. It must not unwind: stay here,
        // holding nothing, until the process exits.
        park_for_good();
    }
}

namespace {

/// The lock taken back for a moment inside a ReleasedGil scope, let go again at its end.
class HeldGil {
public:
    HeldGil() { ReleasedGil::take_back_gil(PyGILState_GetThisThreadState()); }
    ~HeldGil() { PyEval_SaveThread(); }
    HeldGil(const HeldGil&) = delete;
    HeldGil& operator=(const HeldGil&) = delete;
};

}  // namespace

void check_signals() {
    const HeldGil held;
    // Signals first: an interrupt must not wait for the handlers of a flood of records.
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
    emit_library_log();
}

BackgroundCall::BackgroundCall(std::function<void()> work) {
    m_thread = std::thread([this, work = std::move(work)] {
        std::exception_ptr failure;
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_finished = true;
            m_failure = failure;
        }
        m_finished_event.notify_all();
    });
}

BackgroundCall::~BackgroundCall() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool BackgroundCall::finished() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished;
}

bool BackgroundCall::wait_for(std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_finished_event.wait_for(lock, limit, [this] { return m_finished; });
}

void BackgroundCall::rethrow_failure() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failure) {
        std::rethrow_exception(m_failure);
    }
}

void run_side_by_side(std::size_t count, const std::function<void(std::size_t)>& work) {
    if (count == 1) {
        work(0);
        return;
    }
    std::vector<std::exception_ptr> failures(count);
    std::vector<std::thread> threads;
    threads.reserve(count);
    const auto join_all = [&threads] {
        for (auto& thread : threads) {
            thread.join();
        }
    };
    try {
        for (std::size_t i = 0; i < count; ++i) {
            threads.emplace_back([&work, &failures, i] {
                try {
                    work(i);
                } catch (...) {
                    failures[i] = std::current_exception();
                }
            });
        }
    } catch (...) {
        join_all();  // no thread to spare: the ones started still use `work`
        throw;
    }
    join_all();
    for (const auto& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

bool wait_for_calls(const BackgroundCalls& calls, const std::function<bool()>& stop) {
    const ReleasedGil released;
    for (;;) {
        const auto unfinished =
                std::find_if(calls.begin(), calls.end(), [](const auto& call) { return !call->finished(); });
        if (unfinished == calls.end()) {
            return true;
        }
        if ((*unfinished)->wait_for(SIGNAL_SLICE)) {
            continue;
        }
        if (stop && stop()) {
            return false;
        }
        check_signals();
    }
}

namespace {

// Never destroyed: a call still running when the process ends must not be joined by a static
// destructor (the interpreter's exit has waited for it already, or was interrupted).
std::mutex& abandoned_mutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

AbandonedCalls& abandoned_calls() {
    static auto* calls = new AbandonedCalls;
    return *calls;
}

void forget_finished_calls() {
    const std::lock_guard<std::mutex> lock(abandoned_mutex());
    auto& calls = abandoned_calls();
    calls.erase(std::remove_if(calls.begin(), calls.end(), [](const auto& left) { return left.call->finished(); }),
                calls.end());
}

/// An exception on its way back to the interpreter.
struct PendingException {
    PyObject* type;
    PyObject* value;
    PyObject* trace;
};

int raise_pending(void* data) {
    const std::unique_ptr<PendingException> pending(static_cast<PendingException*>(data));
    PyErr_Restore(pending->type, pending->value, pending->trace);
    return -1;  // the interpreter raises it in the code it runs now
}

}  // namespace

void let_go_inherited(std::shared_ptr<BackgroundCall> call) {
    // Never destroyed, so never joined. Only the child's thread that forked runs at first.
    static auto* const inherited = new BackgroundCalls;
    inherited->push_back(std::move(call));
}

void finish_at_exit(AbandonedCall call) {
    forget_finished_calls();
    const std::lock_guard<std::mutex> lock(abandoned_mutex());
    abandoned_calls().push_back(std::move(call));
}

void run_interruptibly(std::function<void()> work, std::chrono::milliseconds exit_wait, std::string what) {
    forget_finished_calls();
    auto call = std::make_shared<BackgroundCall>(std::move(work));
    {
        const std::lock_guard<std::mutex> lock(abandoned_mutex());
        abandoned_calls().push_back({call, exit_wait, std::move(what)});
    }
    wait_for_calls({call});
    forget_finished_calls();
    call->rethrow_failure();
}

AbandonedCalls abandoned_calls_left() {
    forget_finished_calls();
    const std::lock_guard<std::mutex> lock(abandoned_mutex());
    return abandoned_calls();
}

void raise_later(py::error_already_set& error, const char* where) {
    const auto as_before = [&error, where] {
        if (error.matches(PyExc_KeyboardInterrupt)) {
            PyErr_SetInterrupt();
        } else {
            error.discard_as_unraisable(where);
        }
    };
    if (_PyOS_IsMainThread() == 0) {
        // Only the main thread runs pending calls: there, another thread's exception (a logging
        // handler's) would come out of code that has nothing to do with it.
        as_before();
        return;
    }
    auto pending = std::make_unique<PendingException>(PendingException{
            error.type().inc_ref().ptr(), error.value().inc_ref().ptr(), error.trace().inc_ref().ptr()});
    if (Py_AddPendingCall(raise_pending, pending.get()) == 0) {
        static_cast<void>(pending.release());  // raise_pending owns it now
        return;
    }
    // The interpreter's queue of pending calls is full: an interrupt is still raised again.
    Py_XDECREF(pending->type);
    Py_XDECREF(pending->value);
    Py_XDECREF(pending->trace);
    as_before();
}

void let_go_abandoned_calls_in_forked_children() {
    // The child gets the list without the threads: it must neither wait for nor join them, so the
    // calls are let go unreleased. The mutex is held around the fork, so no other thread holds it
    // in the child.
    pthread_atfork([] { abandoned_mutex().lock(); }, [] { abandoned_mutex().unlock(); },
                   [] {
                       for (auto& left : abandoned_calls()) {
                           let_go_inherited(std::move(left.call));
                       }
                       abandoned_calls().clear();
                       abandoned_mutex().unlock();
                   });
}

}  // namespace tessellpy
