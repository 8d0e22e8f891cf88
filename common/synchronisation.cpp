#include "common/synchronisation.h"

#include <mutex>

namespace common {
namespace synchronisation {

Latch::Latch(std::size_t count) : m_count(count) {}

void Latch::count_down() {
    std::lock_guard<InstrumentedMutex> lock(m_mutex);
    if (m_count == 0) {
        return;
    }
    --m_count;
    // Woken while the lock is still held: a waiter that sees zero may destroy the latch at once
    // (a latch on its stack), so nothing here may touch the latch after the lock is released.
    if (m_count == 0) {
        m_condition.notify_all();
    }
}

void Latch::wait() {
    std::unique_lock<InstrumentedMutex> lock(m_mutex);
    m_condition.wait(lock, [this] { return m_count == 0; });
}

}  // namespace synchronisation
}  // namespace common
