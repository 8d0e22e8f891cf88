#pragma once

#include "ipc_tools/message_type.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace reference_server {

/// One request as it arrived.
struct LoggedRequest {
    std::uint64_t sequence = 0;  ///< 0-based arrival order
    ipc_tools::MessageType type = ipc_tools::UNSET;
    std::string client_id;    ///< as sent; empty when the request carried none
    std::uint32_t value = 0;  ///< simple requests: the value; read blocks: the read tag
    std::string text;         ///< simple requests: the text; read blocks: the read id
    std::chrono::steady_clock::time_point arrival;
};

/// The record of the requests the server received, readable from other threads while the
/// server runs. It keeps the most recent `capacity` entries, so a long benchmark run does not
/// grow it without bound; sequence numbers keep counting.
class RequestLog {
public:
    static constexpr std::size_t default_capacity = 1000000;
    explicit RequestLog(std::size_t capacity = default_capacity) : m_capacity(capacity == 0 ? 1 : capacity) {}

    void append(LoggedRequest request);
    std::vector<LoggedRequest> snapshot() const;
    /// The kept entries whose sequence number is `first_sequence` or later; costs the entries
    /// returned, not the size of the log.
    std::vector<LoggedRequest> entries_from(std::uint64_t first_sequence) const;
    /// Entries kept (at most the capacity).
    std::size_t size() const;
    void clear();
    /// Number of logged requests of a type.
    std::size_t count(ipc_tools::MessageType type) const;

    /// Blocks until `predicate(entries)` holds or the time-out passes; returns whether it held.
    bool wait_until(const std::function<bool(const std::deque<LoggedRequest>&)>& predicate,
                    std::chrono::milliseconds timeout) const;
    /// Waits until at least `n` requests of `type` have arrived.
    bool wait_for_count(ipc_tools::MessageType type, std::size_t n, std::chrono::milliseconds timeout) const;

    /// "<sequence> <TYPE> client=<id> value=<value> text=<text>"
    static std::string format(const LoggedRequest& request);

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::size_t m_capacity;
    std::deque<LoggedRequest> m_entries;
    std::uint64_t m_next_sequence = 0;
};

}  // namespace reference_server
