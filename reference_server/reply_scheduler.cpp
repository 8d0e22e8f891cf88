#include "reference_server/reply_scheduler.h"

#include <algorithm>

namespace reference_server {

void ReplyScheduler::deliver(std::vector<zmq::message_t>& envelope, Response& response) {
    zmq::message_t reply;
    switch (response.kind) {
        case Response::Kind::none:
            return;
        case Response::Kind::held:
            m_held.push_back(HeldReply{std::move(envelope), std::move(response.held), response.delay});
            return;
        case Response::Kind::raw_frame:
            reply.rebuild(response.raw_frame.data(), response.raw_frame.size());
            break;
        case Response::Kind::message:
            response.message.transfer_to_zmq(reply);
            break;
    }
    if (response.delay.count() > 0) {
        send_later(response.delay, envelope, reply, response.client_id);
        return;
    }
    send(envelope, reply);
}

void ReplyScheduler::send(std::vector<zmq::message_t>& envelope, zmq::message_t& payload) {
    for (auto& part : envelope) {
        m_socket.send(part, zmq::send_flags::sndmore);
    }
    // A ROUTER drops frames for peers that have gone; nothing else can fail here.
    m_socket.send(payload, zmq::send_flags::none);
}

void ReplyScheduler::send_later(std::chrono::milliseconds delay, std::vector<zmq::message_t>& envelope,
                                zmq::message_t& payload, const std::string& client_id) {
    DelayedReply delayed{Clock::now() + delay, std::move(envelope), std::move(payload), client_id};
    m_late_reply(client_id, false);
    const auto position =
            std::upper_bound(m_delayed.begin(), m_delayed.end(), delayed.due,
                             [](const Clock::time_point& due, const DelayedReply& other) { return due < other.due; });
    m_delayed.insert(position, std::move(delayed));
}

std::chrono::milliseconds ReplyScheduler::send_due(Clock::time_point now, std::chrono::milliseconds longest) {
    while (!m_delayed.empty() && m_delayed.front().due <= now) {
        send(m_delayed.front().envelope, m_delayed.front().payload);
        const std::string client_id = std::move(m_delayed.front().client_id);
        m_delayed.pop_front();
        m_late_reply(client_id, true);
    }
    if (m_delayed.empty()) {
        return longest;
    }
    return std::min(longest, std::chrono::duration_cast<std::chrono::milliseconds>(m_delayed.front().due - now +
                                                                                   std::chrono::milliseconds(1)));
}

void ReplyScheduler::resume_held() {
    // Set before the reads are looked at: a read called after the look then wakes the server, one
    // called before it is found called.
    m_pulls_held = true;
    // Taken out first: delivering may hold a pull again.
    std::vector<HeldReply> waiting;
    waiting.swap(m_held);
    for (auto& entry : waiting) {
        auto response = m_resume(entry.pull);
        if (!response) {
            m_held.push_back(std::move(entry));
            continue;
        }
        response->delay = entry.delay;
        response->client_id = entry.pull.client_id;
        deliver(entry.envelope, *response);
    }
    m_pulls_held = !m_held.empty();
}

}  // namespace reference_server
