#pragma once

// The library's warnings and errors on Python's logging, under the logger "tessellpy.library".
// The library logs from its own threads, which must never wait for the interpreter lock while a
// caller holding it waits for them: they only queue the records, and the records reach `logging`
// from threads that hold the lock anyway, when a call of the module begins or ends and between
// the slices of a blocking wait.
#include <pybind11/pybind11.h>

#include <utility>

namespace tessellpy {

/// Forwards the library's records into the queue from now on; once, at module creation.
void install_library_log();

/// Hands the queued records to `logging`, oldest first. Call with the interpreter lock held.
/// An exception (Exception) from a handler or a filter is reported as `logging` reports a
/// handler's failure (Handler.handleError) and the next record goes on. Anything else
/// (KeyboardInterrupt) is thrown as error_already_set; the records not handed over yet go back to
/// the queue.
void emit_library_log();

/// While the interpreter finalises, where emit_library_log hands nothing over: hands the queued
/// records to `logging` as long as its module is still whole, that is until the interpreter begins
/// to remove its modules. An interrupt from a handler ends the handover. Call with the interpreter
/// lock held.
void emit_library_log_while_finalising() noexcept;

/// From now on the library's records go straight to stderr, those queued first: at the end of the
/// interpreter's exit, when `logging` is about to go.
void send_library_log_to_stderr() noexcept;

/// Runs `call` between two handovers of the library's records, so that what the library logged
/// before and during the call reaches `logging` before the call returns. An interrupt raised by a
/// handler at the start means the call is not made; at the end it is raised instead of the result,
/// as a signal then would be. A call that raises leaves the records queued for the next handover:
/// its exception (an interrupt among them) is not held up by the handlers.
template <typename Call>
auto with_library_log(const Call& call) {
    emit_library_log();
    auto result = call();
    emit_library_log();
    return result;
}

/// A module function whose call hands over the library's records as with_library_log does.
template <typename Return, typename... Args>
auto logged(Return (*function)(Args...)) {
    return [function](Args... args) { return with_library_log([&] { return function(std::forward<Args>(args)...); }); };
}

}  // namespace tessellpy
