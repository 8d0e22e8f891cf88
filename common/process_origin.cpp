#include "common/process_origin.h"

#include <pthread.h>

#include <atomic>

namespace common {

namespace {

// Forks of which this process is the child, counted through its ancestry.
std::atomic<unsigned long> g_fork_generation{0};

// At load time, so that no fork can race the registration; a process that never uses the library
// only pays one increment per fork.
const int g_fork_handler =
        pthread_atfork(nullptr, nullptr, [] { g_fork_generation.fetch_add(1, std::memory_order_relaxed); });

// What inherited objects let go of, as a list that only grows and is never freed. Lock-free, so that
// no lock can have been held across a fork by a thread that the child lacks.
struct KeptObject {
    std::shared_ptr<void> object;
    KeptObject* next;
};
std::atomic<KeptObject*> g_kept{nullptr};

}  // namespace

ProcessOrigin::ProcessOrigin() noexcept : m_generation(g_fork_generation.load(std::memory_order_relaxed)) {
    static_cast<void>(g_fork_handler);
}

bool ProcessOrigin::inherited() const noexcept {
    return g_fork_generation.load(std::memory_order_relaxed) != m_generation;
}

namespace details {

void keep_for_ever(std::shared_ptr<void> object) {
    auto* const kept = std::make_unique<KeptObject>(KeptObject{std::move(object), nullptr}).release();
    kept->next = g_kept.load(std::memory_order_relaxed);
    while (!g_kept.compare_exchange_weak(kept->next, kept, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

}  // namespace details

}  // namespace common
