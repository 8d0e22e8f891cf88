#pragma once

// The library's warnings and errors on Python's logging, under the logger "tessellpy.library".
// The library logs from its own threads, which must never wait for the interpreter lock while a
// caller holding it waits for them: they only queue the records, and the records reach `logging`
// from threads that hold the lock anyway, when a call of the module begins or ends and between
// the slices of a blocking wait.
#include <pybind11/pybind11.h>

namespace tessellpy {

/// Forwards the library's records into the queue from now on; once, at module creation.
void install_library_log();

/// Hands the queued records to `logging`, oldest first. Call with the interpreter lock held;
/// never throws.
void emit_library_log() noexcept;

/// Around every call of the module (pybind11 call_guard): what the library logged before and
/// during the call reaches `logging` before the call returns.
struct LibraryLogGuard {
    LibraryLogGuard() { emit_library_log(); }
    ~LibraryLogGuard() { emit_library_log(); }
    LibraryLogGuard(const LibraryLogGuard&) = delete;
    LibraryLogGuard& operator=(const LibraryLogGuard&) = delete;
};

}  // namespace tessellpy
