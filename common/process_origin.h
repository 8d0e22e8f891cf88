#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace common {

// Which process made an object. fork copies the whole memory but only the thread that called it:
// in the child, an object made before the fork may own threads that do not exist there, and the
// locks and condition variables they were using. Such an object is "inherited" and must let go of
// those threads and their sync objects instead of joining or destroying them (glibc's
// pthread_cond_destroy waits for ever for the parent's waiters, and the parent's thread handles may
// name the child's own threads once their stacks are reused).
class ProcessOrigin {
public:
    ProcessOrigin() noexcept;

    // True in a forked child (or grandchild) of the process that made this object. As cheap as an
    // atomic load: forks are counted in the child by a fork handler.
    bool inherited() const noexcept;

private:
    unsigned long m_generation;
};

namespace details {
// Keeps `object` reachable until the process ends, never destroying it.
void keep_for_ever(std::shared_ptr<void> object);
}  // namespace details

// What an inherited object does with what the parent's threads may still be using: it is moved to
// storage that is never released (and stays reachable, so leak checkers do not report it).
template <typename T>
void let_go(T&& object) {
    details::keep_for_ever(std::make_shared<std::decay_t<T>>(std::forward<T>(object)));
}

}  // namespace common
