#include "reference_server/request_log.h"

#include <algorithm>

namespace reference_server {

void RequestLog::append(LoggedRequest request) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        request.sequence = m_next_sequence++;
        m_entries.push_back(std::move(request));
        if (m_entries.size() > m_capacity) {
            m_entries.pop_front();
        }
    }
    m_changed.notify_all();
}

std::vector<LoggedRequest> RequestLog::snapshot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<LoggedRequest>(m_entries.begin(), m_entries.end());
}

std::vector<LoggedRequest> RequestLog::entries_from(std::uint64_t first_sequence) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    // The kept entries are the newest ones, numbered without a gap up to m_next_sequence - 1, so the
    // first wanted one is found by its number, not by a scan: a reader pays for new entries only.
    const std::uint64_t oldest = m_next_sequence - m_entries.size();
    const auto skipped =
            first_sequence <= oldest
                    ? std::size_t{0}
                    : static_cast<std::size_t>(std::min<std::uint64_t>(first_sequence - oldest, m_entries.size()));
    return std::vector<LoggedRequest>(m_entries.begin() + static_cast<std::ptrdiff_t>(skipped), m_entries.end());
}

std::size_t RequestLog::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.size();
}

void RequestLog::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
}

std::size_t RequestLog::count(ipc_tools::MessageType type) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<std::size_t>(std::count_if(m_entries.begin(), m_entries.end(),
                                                  [type](const LoggedRequest& entry) { return entry.type == type; }));
}

bool RequestLog::wait_until(const std::function<bool(const std::deque<LoggedRequest>&)>& predicate,
                            std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return predicate(m_entries); });
}

bool RequestLog::wait_for_count(ipc_tools::MessageType type, std::size_t n, std::chrono::milliseconds timeout) const {
    return wait_until(
            [type, n](const std::deque<LoggedRequest>& entries) {
                return static_cast<std::size_t>(
                               std::count_if(entries.begin(), entries.end(),
                                             [type](const auto& entry) { return entry.type == type; })) >= n;
            },
            timeout);
}

std::string RequestLog::format(const LoggedRequest& request) {
    return std::to_string(request.sequence) + " " + ipc_tools::message_type_as_string(request.type) +
           " client=" + request.client_id + " value=" + std::to_string(request.value) + " text=" + request.text;
}

}  // namespace reference_server
