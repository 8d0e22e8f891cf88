#pragma once

#include "common/diagnostics/tracing/trace_mode.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace common {
namespace diagnostics {
namespace tracing {
namespace details {

// The trace writer's queue: lines (and the jobs that must run in order with them) from any thread,
// taken in bulk by the one writer thread. It holds at most a bound of bytes. A line that finds it
// full waits while the writer makes progress, and is dropped (and counted) only once the writer has
// made none for `stuck_after`: a slow writer slows the tracing down, a blocked one costs lines, never
// memory.
class TraceLineQueue {
public:
    using Clock = std::chrono::steady_clock;
    using Job = std::function<void()>;

    // A line, or a job when `job` is set.
    struct Item {
        TraceMode mode{TraceMode::none};
        std::string line;
        Job job;
    };

    enum class Pushed { queued, queued_writer_idle, dropped };

    // What a line costs the bound: its text and the queue's own keeping of it.
    static constexpr std::size_t LINE_OVERHEAD = 128;
    static std::size_t cost_of(const std::string& line) { return line.size() + LINE_OVERHEAD; }

    TraceLineQueue(std::size_t max_bytes, Clock::duration stuck_after);

    TraceLineQueue(const TraceLineQueue&) = delete;
    TraceLineQueue& operator=(const TraceLineQueue&) = delete;

    // queued_writer_idle: the writer has nothing to do and must be woken to take the line. Without
    // `may_wait` (a line traced on the writer's own thread) a full queue drops the line at once.
    Pushed push_line(TraceMode mode, std::string line, bool may_wait = true);
    // Jobs are few and never dropped; they do not count against the bound.
    Pushed push_job(Job job);

    // On the writer: swaps every queued item into `items` (which must be empty); false, and the
    // writer counts as idle until the next push, when there is none.
    bool take_all(std::vector<Item>& items);
    // On the writer, around each write of lines taken: false once the queue has been abandoned, and
    // then nothing more may be written.
    bool begin_write();
    void end_write(std::size_t lines, std::size_t bytes);

    // At exit, once the writer had its time: nothing more is written; waits up to `grace` for a write
    // under way, and returns how many taken or queued lines were never written.
    std::uint64_t abandon(Clock::duration grace);
    // The lines dropped since the last call.
    std::uint64_t take_dropped() { return m_dropped.exchange(0, std::memory_order_relaxed); }
    bool has_dropped() const { return m_dropped.load(std::memory_order_relaxed) != 0; }

private:
    bool stuck_locked(Clock::time_point now) const;

    const std::size_t m_max_bytes;
    const Clock::duration m_stuck_after;
    std::mutex m_mutex;
    // Signalled when a write ends: room may have freed, a write under way has finished.
    std::condition_variable m_written;
    std::vector<Item> m_items;
    std::size_t m_queued_bytes{0};
    std::uint64_t m_taken_lines{0};  // taken by the writer and not yet written
    std::atomic<std::uint64_t> m_dropped{0};
    unsigned m_waiting{0};
    bool m_writer_idle{true};
    bool m_writing{false};
    bool m_abandoned{false};
    Clock::time_point m_last_progress{};
};

}  // namespace details
}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
