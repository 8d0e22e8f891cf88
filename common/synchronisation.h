#pragma once

#include "common/process_utils.h"

#include <condition_variable>
#include <cstddef>

namespace common {
namespace synchronisation {

// Count-down latch: wait() blocks until count_down() has been called `count` times.
class Latch {
public:
    explicit Latch(std::size_t count);
    Latch(const Latch&) = delete;
    Latch& operator=(const Latch&) = delete;

    // Extra count-downs after zero do nothing.
    void count_down();
    void wait();

private:
    std::size_t m_count;
    InstrumentedMutex m_mutex;
    std::condition_variable_any m_condition;
};

// One-shot signal: count_down() sets it, wait() waits until it is set.
class Flag : public Latch {
public:
    Flag() : Latch(1) {}
};

}  // namespace synchronisation
}  // namespace common
