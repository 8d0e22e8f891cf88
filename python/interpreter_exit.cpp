#include "python/interpreter_exit.h"

#include "python/interruptible.h"
#include "python/library_log.h"
#include "python/vexil_client_py.h"

#include <pybind11/pybind11.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace tessellpy {

namespace py = pybind11;

namespace {

struct ExitState {
    /// The objects whose connections the exit ends: those that connected and are still alive.
    std::vector<vexil::VexilClientPy*> objects;
    bool ended = false;
    /// Ctrl-C or a call's exit wait ended the exit's wait with calls still running.
    bool abandoned = false;
};

ExitState& exit_state() {
    // Never destroyed: the last hook runs after the interpreter is gone.
    static auto* const state = new ExitState;
    return *state;
}

volatile std::sig_atomic_t interrupt_seen = 0;

void note_interrupt(int /*signal*/) { interrupt_seen = 1; }

/// Ctrl-C noted for the scope's life: the interpreter has given up its own handler by the time it
/// finalises, so SIGINT would kill the process. An ignored SIGINT stays ignored.
class InterruptWatch {
public:
    InterruptWatch() {
        interrupt_seen = 0;
        struct sigaction ours {};
        ours.sa_handler = note_interrupt;
        sigemptyset(&ours.sa_mask);
        m_installed = sigaction(SIGINT, nullptr, &m_previous) == 0 &&
                      ((m_previous.sa_flags & SA_SIGINFO) != 0 || m_previous.sa_handler != SIG_IGN) &&
                      sigaction(SIGINT, &ours, nullptr) == 0;
    }
    ~InterruptWatch() {
        if (m_installed) {
            sigaction(SIGINT, &m_previous, nullptr);
        }
    }
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    bool seen() const { return interrupt_seen != 0; }

private:
    struct sigaction m_previous {};
    bool m_installed = false;
};

/// How long the exit waits before it says what it waits for.
constexpr std::chrono::seconds QUIET_WAIT{1};

/// Says on stderr what the exit waits for and how long it may still take.
void tell_waits(const AbandonedCalls& calls, std::chrono::steady_clock::time_point started) {
    // Each kind once: many objects' goodbyes to one server make one entry.
    std::vector<std::string> waited;
    auto longest = std::chrono::milliseconds(0);
    for (const auto& left : calls) {
        if (left.call->finished()) {
            continue;
        }
        longest = std::max(longest, left.exit_wait);
        if (std::find(waited.begin(), waited.end(), left.what) == waited.end()) {
            waited.push_back(left.what);
        }
    }
    if (waited.empty()) {
        return;
    }
    std::string text;
    for (const auto& what : waited) {
        text += (text.empty() ? "" : "; ") + what;
    }
    const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(started + longest - std::chrono::steady_clock::now());
    std::fprintf(stderr, "WARNING:tessellpy:the exit waits up to %.1f s more for: %s (Ctrl-C ends the wait)\n",
                 static_cast<double>(std::max<long long>(remaining.count(), 0)) / 1000.0, text.c_str());
    std::fflush(stderr);
}

/// Ends the connections of every object at once and waits for that, and for the calls left in the
/// background, each no longer than its exit wait (an object's "query_timeout" and a second, a
/// module query's at most 2 s), until all have finished or Ctrl-C. With `interpreter` (it is finalising but whole), the
/// library's records reach `logging` meanwhile; they go to stderr after.
void end_all(bool interpreter) {
    auto& state = exit_state();
    if (state.ended) {
        return;
    }
    state.ended = true;
    if (!interpreter) {
        send_library_log_to_stderr();
    }
    const InterruptWatch interrupt;
    const auto started = std::chrono::steady_clock::now();
    AbandonedCalls calls;
    for (auto* const object : state.objects) {
        if (object->forked()) {
            continue;  // the parent's connections
        }
        try {
            for (auto& call : object->start_disconnect().calls) {
                calls.push_back({std::move(call), object->exit_wait(), object->ending_text()});
            }
        } catch (const std::exception&) {
            // No thread to spare: the object's deallocation ends it, if any.
        }
    }
    const auto left = abandoned_calls_left();
    calls.insert(calls.end(), left.begin(), left.end());
    bool told = false;
    bool interrupted = false;
    for (const auto& entry : calls) {
        const auto deadline = started + entry.exit_wait;
        while (!interrupted && !entry.call->wait_for(SIGNAL_SLICE)) {
            interrupted = interrupt.seen();
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                break;
            }
            if (!told && now - started >= QUIET_WAIT) {
                told = true;
                tell_waits(calls, started);
            }
            if (interpreter) {
                emit_library_log_while_finalising();
            }
        }
        // Left running: the objects it may use must not be destroyed under it.
        state.abandoned = state.abandoned || !entry.call->finished();
    }
    if (interpreter) {
        emit_library_log_while_finalising();
    }
    send_library_log_to_stderr();
}

}  // namespace

void end_at_exit(vexil::VexilClientPy& client) {
    auto& objects = exit_state().objects;
    if (std::find(objects.begin(), objects.end(), &client) == objects.end()) {
        objects.push_back(&client);
    }
}

bool may_end_when_deallocated(vexil::VexilClientPy& client) {
    auto& state = exit_state();
    if (_Py_IsFinalizing() != 0) {
        end_all(true);
    }
    state.objects.erase(std::remove(state.objects.begin(), state.objects.end(), &client), state.objects.end());
    return !state.abandoned;
}

void install_exit_steps() {
    let_go_abandoned_calls_in_forked_children();
    // Python 3.11 has no hook after the last atexit handler, but its finalisation begins with a
    // garbage collection, which calls gc.callbacks, before any module is torn down.
    py::module_::import("gc").attr("callbacks").attr("append")(py::cpp_function([](const py::args&) {
        if (_Py_IsFinalizing() != 0) {
            end_all(true);
        }
    }));
    // Refused beyond 32 hooks: an object never deallocated then keeps its connections to the end.
    static_cast<void>(Py_AtExit([] { end_all(false); }));
}

}  // namespace tessellpy
