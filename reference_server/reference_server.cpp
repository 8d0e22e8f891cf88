#include "reference_server/reference_server.h"

#include "common/process_utils.h"
#include "ipc_tools/awake_poll.h"
#include "ipc_tools/wake_signal.h"
#include "reference_server/request_handler.h"

#include <zmq.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

namespace reference_server {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds stop_check_interval{20};

/// A reply held back by a delay rule, with the envelope it goes back on.
struct DelayedReply {
    Clock::time_point due;
    std::vector<zmq::message_t> envelope;
    zmq::message_t payload;
};

/// A pull answered once its client's oldest read has been called.
struct HeldReply {
    std::vector<zmq::message_t> envelope;
    HeldPull pull;
    std::chrono::milliseconds delay{0};
};

}  // namespace

struct ReferenceServer::Impl {
    Impl(ServerOptions options, const std::string& address, FaultInjector& faults, RequestLog& log)
        : context(1),
          socket(context, zmq::socket_type::router),
          handler(std::move(options), address, faults, log, [this] {
              // Only a held pull needs the server thread woken.
              if (pulls_held.load()) {
                  called.notify();
              }
          }) {}

    zmq::context_t context;
    zmq::socket_t socket;
    ipc_tools::WakeSignal called;  // before the handler: its calling threads notify it until they are joined
    std::atomic<bool> pulls_held{false};
    RequestHandler handler;
    std::deque<DelayedReply> delayed;
    std::vector<HeldReply> held;
    std::mutex observer_mutex;
    std::function<void(const LoggedRequest&)> observer;
    std::string failure;
    std::uint64_t observed = 0;  // next sequence number to hand to the observer
};

ReferenceServer::ReferenceServer(ServerOptions options) {
    validate_address(options.address);
    const std::string address = options.address;
    for (const auto& rule : options.faults) {
        m_faults.add(rule);
    }
    m_impl = std::make_unique<Impl>(std::move(options), address, m_faults, m_log);
    m_impl->socket.set(zmq::sockopt::linger, 0);
    try {
        m_impl->socket.bind(address);
    } catch (const zmq::error_t& error) {
        throw std::runtime_error("Cannot listen on " + address + ": " + error.what());
    }
    m_endpoint = m_impl->socket.get(zmq::sockopt::last_endpoint);
    m_socket_file = IpcSocketFile(m_endpoint);
    m_thread = std::thread([this] { run(); });
}

ReferenceServer::~ReferenceServer() { stop(); }

void ReferenceServer::stop() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_impl) {
        m_impl->socket.close();
    }
    m_socket_file.remove();
}

void ReferenceServer::set_request_observer(std::function<void(const LoggedRequest&)> observer) {
    std::lock_guard<std::mutex> lock(m_impl->observer_mutex);
    m_impl->observer = std::move(observer);
}

void ReferenceServer::run() {
    bass::util::set_thread_name("ref_server");
    try {
        serve();
    } catch (const std::exception& error) {
        // Only a broken socket gets here; the thread ends instead of taking the process down.
        std::lock_guard<std::mutex> lock(m_impl->observer_mutex);
        m_impl->failure = error.what();
    }
}

std::string ReferenceServer::failure() const {
    std::lock_guard<std::mutex> lock(m_impl->observer_mutex);
    return m_impl->failure;
}

void ReferenceServer::serve() {
    auto& impl = *m_impl;
    auto& socket = impl.socket;
    const auto send_reply = [&socket](std::vector<zmq::message_t>& envelope, zmq::message_t& payload) {
        for (auto& part : envelope) {
            socket.send(part, zmq::send_flags::sndmore);
        }
        // A ROUTER drops frames for peers that have gone; nothing else can fail here.
        socket.send(payload, zmq::send_flags::none);
    };
    const auto deliver = [&impl, &send_reply](std::vector<zmq::message_t>& envelope, Response& response) {
        zmq::message_t reply;
        switch (response.kind) {
        case Response::Kind::none: return;
        case Response::Kind::held:
            impl.held.push_back(HeldReply{std::move(envelope), std::move(response.held), response.delay});
            return;
        case Response::Kind::raw_frame: reply.rebuild(response.raw_frame.data(), response.raw_frame.size()); break;
        case Response::Kind::message: response.message.transfer_to_zmq(reply); break;
        }
        if (response.delay.count() > 0) {
            DelayedReply delayed{Clock::now() + response.delay, std::move(envelope), std::move(reply)};
            const auto position = std::upper_bound(
                impl.delayed.begin(), impl.delayed.end(), delayed.due,
                [](const Clock::time_point& due, const DelayedReply& other) { return due < other.due; });
            impl.delayed.insert(position, std::move(delayed));
            return;
        }
        send_reply(envelope, reply);
    };
    const auto resume_held = [&impl, &deliver] {
        // Set before the reads are looked at: a read called after the look then wakes the
        // server, one called before it is found called.
        impl.pulls_held = true;
        // Taken out first: delivering may hold a pull again.
        std::vector<HeldReply> waiting;
        waiting.swap(impl.held);
        for (auto& entry : waiting) {
            auto response = impl.handler.resume(entry.pull);
            if (!response) {
                impl.held.push_back(std::move(entry));
                continue;
            }
            response->delay = entry.delay;
            deliver(entry.envelope, *response);
        }
        impl.pulls_held = !impl.held.empty();
    };

    // After a request the next one usually follows within a round trip: the server waits for it
    // awake until then, which on a busy or virtual machine costs less than being woken.
    Clock::time_point awake_until{};
    while (!m_stop) {
        auto timeout = stop_check_interval;
        const auto now = Clock::now();
        while (!impl.delayed.empty() && impl.delayed.front().due <= now) {
            send_reply(impl.delayed.front().envelope, impl.delayed.front().payload);
            impl.delayed.pop_front();
        }
        if (!impl.delayed.empty()) {
            timeout = std::min(timeout, std::chrono::duration_cast<std::chrono::milliseconds>(
                                            impl.delayed.front().due - now + std::chrono::milliseconds(1)));
        }
        std::array<zmq::pollitem_t, 2> items{{{static_cast<void*>(socket), 0, ZMQ_POLLIN, 0},
                                              {nullptr, impl.called.fd(), ZMQ_POLLIN, 0}}};
        // Never past the next delayed reply's time.
        const auto awake_for = std::min<std::chrono::microseconds>(
                std::chrono::duration_cast<std::chrono::microseconds>(awake_until - now), timeout);
        const bool ready = awake_for.count() > 0 &&
                           ipc_tools::poll_awake(items.data(), static_cast<int>(items.size()), awake_for) > 0;
        try {
            if (!ready) {
                zmq::poll(items.data(), items.size(), timeout);
            }
        } catch (const zmq::error_t& error) {
            if (error.num() == EINTR) {
                continue;
            }
            throw;
        }
        if ((items[1].revents & ZMQ_POLLIN) != 0) {
            impl.called.drain();
            resume_held();
        }
        if ((items[0].revents & ZMQ_POLLIN) == 0) {
            continue;
        }
        // Envelope: the peer's routing id and the empty delimiter of a REQ socket, then one payload.
        std::vector<zmq::message_t> envelope;
        zmq::message_t payload;
        while (true) {
            zmq::message_t part;
            if (!socket.recv(part, zmq::recv_flags::dontwait)) {
                break;
            }
            const bool more = part.more();
            if (!more) {
                payload = std::move(part);
                break;
            }
            envelope.push_back(std::move(part));
        }
        if (envelope.empty()) {
            continue;
        }

        Response response;
        try {
            response = impl.handler.handle(std::move(payload));
        } catch (const std::exception& error) {
            // A fault of the server itself still gets its one reply, and the server goes on.
            response = Response{};
            response.message = ipc_tools::Message(ipc_tools::BAD_REQUEST, "", 0,
                                                  std::string("Internal server error: ") + error.what());
        }
        {
            std::lock_guard<std::mutex> lock(impl.observer_mutex);
            if (impl.observer) {
                for (const auto& entry : m_log.entries_from(impl.observed)) {
                    impl.observer(entry);
                    impl.observed = entry.sequence + 1;
                }
            }
        }
        deliver(envelope, response);
        impl.handler.finish_deferred_calls();
        awake_until = Clock::now() + ipc_tools::AWAKE_POLL_WINDOW;
        if (!impl.held.empty()) {
            // A request may have forgotten the client of a held pull, or dropped its reads.
            resume_held();
        }
    }
}

}  // namespace reference_server
