#pragma once

// For a test program whose forked children exit through exit(): include it in one source file of
// the program only (it defines a function LeakSanitizer looks for), and call
// test_support::mark_forked_child() first thing in the child.

namespace test_support {

inline bool& in_forked_child() {
    static bool forked = false;
    return forked;
}

inline void mark_forked_child() { in_forked_child() = true; }

}  // namespace test_support

#if defined(__SANITIZE_ADDRESS__)
// Consulted by LeakSanitizer at exit: in a forked child, what only the parent's threads point to
// (their stacks and thread-local storage) would be reported as leaked.
extern "C" int __lsan_is_turned_off() { return test_support::in_forked_child() ? 1 : 0; }
#endif
