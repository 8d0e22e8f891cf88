#pragma once

// The end of the interpreter ends the connections of every VexilClient still alive: after every
// atexit handler, so that a program's own handler can still finish and collect its reads whenever it
// was registered, and while `logging` still takes the library's records. All objects end together,
// their library clients side by side: a server that stopped answering costs one "query_timeout" in
// all. Calls an interrupt left running are waited for too, each no longer than its exit wait (its
// object's "query_timeout" and a second for the library to wind up; a module query, its time-out,
// at most the library's default "query_timeout" of 2 s), and a wait of over a second is named on
// stderr. Ctrl-C ends that wait at once, and nothing waits for those clients again.
//
// The ending runs once, at the first of: the garbage collection that begins finalisation, the
// first deallocation of a VexilClient during finalisation (the collector was off), the interpreter's
// last low-level exit hook (an object was never deallocated). Objects a forked child inherited are
// left alone. Everything here runs with the interpreter lock held, or once the interpreter is gone.

namespace vexil {
class VexilClientPy;
}

namespace tessellpy {

/// The interpreter's exit ends `client`'s connections, unless it is deallocated before.
void end_at_exit(vexil::VexilClientPy& client);

/// As `client` is deallocated. During finalisation the first deallocation ends every object's
/// connections first. False once the exit stopped waiting with calls still running (Ctrl-C, or their
/// exit wait passed): the object must be let go as it is, as its clients may still be ending in the
/// background.
bool may_end_when_deallocated(vexil::VexilClientPy& client);

/// Installs the exit's hooks; once, at module creation.
void install_exit_steps();

}  // namespace tessellpy
