#pragma once

// Blocking library calls made so that Ctrl-C still works: the caller waits in short slices with the
// interpreter lock released and lets the interpreter run its signal handlers between them.
#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessellpy {

/// Longest wait between two looks at pending signals.
constexpr std::chrono::milliseconds SIGNAL_SLICE{50};

/// The interpreter lock let go for a blocking library call, taken back when the scope ends. A daemon
/// thread that takes it back while the interpreter finalises is parked there for good: Python ends
/// such a thread with pthread_exit, whose unwinding through C++ frames (noexcept destructors among
/// them) would abort the process, and whose destructors would touch Python objects without the lock.
class ReleasedGil {
public:
    ReleasedGil() : m_state(PyEval_SaveThread()) {}
    ~ReleasedGil() { take_back_gil(m_state); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

    /// Takes the lock of `state`'s thread back; parks the thread for good where the interpreter would
    /// end it.
    static void take_back_gil(PyThreadState* state) noexcept;

private:
    PyThreadState* const m_state;
};

/// Runs the interpreter's signal handlers, then hands the library's records to `logging`; their
/// exception (KeyboardInterrupt), or one a logging handler raised, is thrown as error_already_set.
/// Call without the interpreter lock.
void check_signals();

/// A library call on a thread of its own. Whoever started it can stop waiting for it at any time
/// (Ctrl-C, a stop from another thread); the call itself always runs to its end, and the object
/// joins its thread when destroyed.
class BackgroundCall {
public:
    explicit BackgroundCall(std::function<void()> work);
    ~BackgroundCall();
    BackgroundCall(const BackgroundCall&) = delete;
    BackgroundCall& operator=(const BackgroundCall&) = delete;

    bool finished() const;
    /// True once the call has finished; waits at most `limit`.
    bool wait_for(std::chrono::milliseconds limit) const;
    /// After finished(): rethrows what the call threw, if anything.
    void rethrow_failure() const;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_finished_event;
    bool m_finished = false;
    std::exception_ptr m_failure;
    std::thread m_thread;
};

using BackgroundCalls = std::vector<std::shared_ptr<BackgroundCall>>;

/// Runs work(0) to work(count - 1) each on a thread of its own and returns once all have ended;
/// the first exception thrown is rethrown then. Call without the interpreter lock.
void run_side_by_side(std::size_t count, const std::function<void(std::size_t)>& work);

/// Waits, with the interpreter lock released, until every call has finished (true) or `stop`
/// returns true (false), looking at signals every slice; a signal's exception propagates. Call with
/// the interpreter lock held.
bool wait_for_calls(const BackgroundCalls& calls, const std::function<bool()>& stop = {});

/// Runs `work` in the background and waits for it as wait_for_calls does. A caller that leaves by
/// an exception leaves the call running; the interpreter's exit waits for it up to `exit_wait`,
/// naming it by `what`.
void run_interruptibly(std::function<void()> work, std::chrono::milliseconds exit_wait, std::string what);

/// A call left to run to its end in the background, which the interpreter's exit waits for.
struct AbandonedCall {
    std::shared_ptr<BackgroundCall> call;
    /// The longest the exit waits for it; past that the process ends with the call still running.
    std::chrono::milliseconds exit_wait;
    /// What it is, as the exit names it when it waits long.
    std::string what;
};
using AbandonedCalls = std::vector<AbandonedCall>;

/// In a forked child: lets go of a call inherited from the parent without waiting for or joining its
/// thread, which the child does not have.
void let_go_inherited(std::shared_ptr<BackgroundCall> call);

/// Leaves `call` to run to its end in the background; the interpreter's exit waits for it.
void finish_at_exit(AbandonedCall call);

/// The calls left to run in the background (finish_at_exit, and run_interruptibly's callers that
/// left by an exception) that have not finished yet: the interpreter's exit waits for them.
AbandonedCalls abandoned_calls_left();

/// Hands an exception that a signal handler raised where Python cannot raise it (a deallocation)
/// back to the interpreter, which raises it at its next look at pending work, as it would a signal's.
/// On another thread than the main one (where signal handlers run), a KeyboardInterrupt is raised
/// again through the SIGINT handler and anything else is reported as unraisable from `where`. Call
/// with the interpreter lock held.
void raise_later(pybind11::error_already_set& error, const char* where);

/// A forked child inherits none of the abandoned calls: their threads are the parent's. Once, at
/// module creation.
void let_go_abandoned_calls_in_forked_children();

}  // namespace tessellpy
