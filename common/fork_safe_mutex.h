#pragma once

#include <mutex>

namespace common {

// A mutex that no thread holds across a fork, so that a forked child can take it: the fork waits
// for its holder to let it go, holds it itself while it forks, and lets it go in the parent and in
// the child. For the library's short process-wide locks that a child's first calls take (making a
// client, setting tracing up). A holder may log: the fork takes these mutexes before it closes the
// logging gate, which drives them (see LoggingGate). A thread never holds two of them at once.
// It is a std::mutex, so that the code that locks it names it as one.
class ForkSafeMutex : public std::mutex {
public:
    ForkSafeMutex();
    ~ForkSafeMutex();
    ForkSafeMutex(const ForkSafeMutex&) = delete;
    ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

    // Around a fork: every such mutex is held from the first call to the second (parent or child).
    static void lock_all_for_fork();
    static void unlock_all_after_fork();
};

}  // namespace common
