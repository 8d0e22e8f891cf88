#pragma once

#include "reference_server/response.h"

#include <zmq.hpp>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace reference_server {

/// Sends the server's replies on its ROUTER socket: at once, after a fault rule's delay, or, for
/// a pull held back, once its read has been called. Server thread only, but for `pulls_held`.
class ReplyScheduler {
public:
    using Clock = std::chrono::steady_clock;
    /// The answer to a held pull, or nothing while its read is still being called.
    using Resume = std::function<std::optional<Response>(const HeldPull&)>;
    /// Told of a delayed reply to a client: held back (`sent` false), then sent (`sent` true).
    using LateReply = std::function<void(const std::string& client_id, bool sent)>;

    ReplyScheduler(zmq::socket_t& socket, Resume resume, LateReply late_reply)
        : m_socket(socket), m_resume(std::move(resume)), m_late_reply(std::move(late_reply)) {}

    /// Sends `response` back on `envelope` (the peer's routing id and the delimiter), now or later.
    void deliver(std::vector<zmq::message_t>& envelope, Response& response);
    /// Sends the delayed replies due by `now`; returns how long the server may wait for requests
    /// before the next one is due, at most `longest`.
    std::chrono::milliseconds send_due(Clock::time_point now, std::chrono::milliseconds longest);
    /// Answers the held pulls that can be answered now.
    void resume_held();

    bool holds_pulls() const { return !m_held.empty(); }
    /// Whether a read called on another thread should wake the server: a held pull waits for it.
    bool pulls_held() const { return m_pulls_held.load(); }

private:
    /// A reply held back by a delay rule, with the envelope it goes back on.
    struct DelayedReply {
        Clock::time_point due;
        std::vector<zmq::message_t> envelope;
        zmq::message_t payload;
        std::string client_id;
    };
    /// A pull answered once its client's oldest read has been called.
    struct HeldReply {
        std::vector<zmq::message_t> envelope;
        HeldPull pull;
        std::chrono::milliseconds delay{0};
    };

    void send(std::vector<zmq::message_t>& envelope, zmq::message_t& payload);
    void send_later(std::chrono::milliseconds delay, std::vector<zmq::message_t>& envelope, zmq::message_t& payload,
                    const std::string& client_id);

    zmq::socket_t& m_socket;
    Resume m_resume;
    LateReply m_late_reply;
    std::deque<DelayedReply> m_delayed;  // by due time
    std::vector<HeldReply> m_held;
    std::atomic<bool> m_pulls_held{false};
};

}  // namespace reference_server
