#include "python/interpreter_exit.h"

#include "python/interruptible.h"
#include "python/library_log.h"
#include "python/vexil_client_py.h"

#include <pybind11/pybind11.h>

#include <signal.h>

#include <algorithm>
#include <csignal>
#include <exception>
#include <vector>

namespace tessellpy {

namespace py = pybind11;

namespace {

struct ExitState {
    /// The objects whose connections the exit ends: those that connected and are still alive.
    std::vector<vexil::VexilClientPy*> objects;
    bool ended = false;
    /// Ctrl-C ended the exit's wait.
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

/// Ends the connections of every object at once and waits for that, and for the calls left in the
/// background, until all have finished or Ctrl-C. With `interpreter` (it is finalising but whole),
/// the library's records reach `logging` meanwhile; they go to stderr after.
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
    BackgroundCalls calls;
    for (auto* const object : state.objects) {
        if (object->forked()) {
            continue;  // the parent's connections
        }
        try {
            const auto started = object->start_disconnect().calls;
            calls.insert(calls.end(), started.begin(), started.end());
        } catch (const std::exception&) {
            // No thread to spare: the object's deallocation ends it, if any.
        }
    }
    const auto left = abandoned_calls_left();
    calls.insert(calls.end(), left.begin(), left.end());
    for (const auto& call : calls) {
        while (!state.abandoned && !call->wait_for(SIGNAL_SLICE)) {
            state.abandoned = interrupt.seen();
            if (interpreter) {
                emit_library_log_while_finalising();
            }
        }
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
