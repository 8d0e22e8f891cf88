#include "common/diagnostics/tracing/trace_line_queue.h"

#include <algorithm>

namespace common {
namespace diagnostics {
namespace tracing {
namespace details {

TraceLineQueue::TraceLineQueue(std::size_t max_bytes, Clock::duration stuck_after)
    : m_max_bytes(max_bytes), m_stuck_after(stuck_after) {}

bool TraceLineQueue::stuck_locked(Clock::time_point now) const { return now - m_last_progress >= m_stuck_after; }

TraceLineQueue::Pushed TraceLineQueue::push_line(TraceMode mode, std::string line, bool may_wait) {
    const std::size_t cost = cost_of(line);
    std::unique_lock<std::mutex> lock(m_mutex);
    // Lines taken by a writer that is stuck writing them still count: the bound holds behind it.
    while (m_queued_bytes > 0 && m_queued_bytes + cost > m_max_bytes) {
        const auto now = Clock::now();
        if (!may_wait || m_abandoned || stuck_locked(now)) {
            m_dropped.fetch_add(1, std::memory_order_relaxed);
            return Pushed::dropped;
        }
        ++m_waiting;
        m_written.wait_until(lock, m_last_progress + m_stuck_after);
        --m_waiting;
    }
    m_items.push_back(Item{mode, std::move(line), {}});
    m_queued_bytes += cost;
    if (!m_writer_idle) {
        return Pushed::queued;
    }
    // The writer counts as progressing from the moment it is woken.
    m_writer_idle = false;
    m_last_progress = Clock::now();
    return Pushed::queued_writer_idle;
}

TraceLineQueue::Pushed TraceLineQueue::push_job(Job job) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_items.push_back(Item{TraceMode::none, {}, std::move(job)});
    if (!m_writer_idle) {
        return Pushed::queued;
    }
    m_writer_idle = false;
    m_last_progress = Clock::now();
    return Pushed::queued_writer_idle;
}

bool TraceLineQueue::take_all(std::vector<Item>& items) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_items.empty()) {
        m_writer_idle = true;
        return false;
    }
    items.swap(m_items);
    m_taken_lines += static_cast<std::uint64_t>(
            std::count_if(items.begin(), items.end(), [](const Item& item) { return !item.job; }));
    m_last_progress = Clock::now();
    return true;
}

bool TraceLineQueue::begin_write() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_abandoned) {
        return false;
    }
    m_writing = true;
    return true;
}

void TraceLineQueue::end_write(std::size_t lines, std::size_t bytes) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_writing = false;
        m_taken_lines -= lines;
        m_queued_bytes -= bytes;
        m_last_progress = Clock::now();
        if (m_waiting == 0 && !m_abandoned) {
            return;
        }
    }
    m_written.notify_all();
}

std::uint64_t TraceLineQueue::abandon(Clock::duration grace) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_abandoned = true;
    // A write that is merely slow may still finish; its lines then count as written.
    m_written.wait_for(lock, grace, [this] { return !m_writing; });
    const auto queued = std::count_if(m_items.begin(), m_items.end(), [](const Item& item) { return !item.job; });
    return m_taken_lines + static_cast<std::uint64_t>(queued);
}

}  // namespace details
}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
