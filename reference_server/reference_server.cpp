#include "reference_server/reference_server.h"

#include "common/process_utils.h"
#include "ipc_tools/awake_poll.h"
#include "ipc_tools/wake_signal.h"
#include "reference_server/reply_scheduler.h"
#include "reference_server/request_handler.h"

#include <zmq.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace reference_server {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds stop_check_interval{20};

/// Takes one request off the socket: its envelope (the peer's routing id and the empty delimiter
/// of a REQ socket), then its payload. Returns false when no whole request was there.
bool receive_request(zmq::socket_t& socket, std::vector<zmq::message_t>& envelope, zmq::message_t& payload) {
    while (true) {
        zmq::message_t part;
        if (!socket.recv(part, zmq::recv_flags::dontwait)) {
            break;
        }
        if (!part.more()) {
            payload = std::move(part);
            break;
        }
        envelope.push_back(std::move(part));
    }
    return !envelope.empty();
}

}  // namespace

struct ReferenceServer::Impl {
    Impl(ServerOptions options, const std::string& address, FaultInjector& faults, RequestLog& log)
        : context(1),
          socket(context, zmq::socket_type::router),
          replies(
                  socket, [this](const HeldPull& pull) { return handler.resume(pull); },
                  [this](const std::string& client_id, bool sent) { handler.late_reply(client_id, sent); }),
          handler(std::move(options), address, faults, log, [this] {
              // Only a held pull needs the server thread woken.
              if (replies.pulls_held()) {
                  called.notify();
              }
          }) {}

    /// Waits for a request or a called read, awake until `awake_until`, then asleep for at most
    /// `timeout`. Returns false when a signal cut the wait short.
    bool wait(Clock::time_point now, Clock::time_point awake_until, std::chrono::milliseconds timeout);
    Response handle(zmq::message_t&& payload);
    void notify_observer(const RequestLog& log);

    zmq::context_t context;
    zmq::socket_t socket;
    ipc_tools::WakeSignal called;  // before the handler: its calling threads notify it until they are joined
    ReplyScheduler replies;        // before the handler too, for the same reason
    RequestHandler handler;
    std::array<zmq::pollitem_t, 2> items{};  // the socket, then `called`
    std::mutex observer_mutex;
    std::function<void(const LoggedRequest&)> observer;
    std::string failure;
    std::uint64_t observed = 0;  // next sequence number to hand to the observer
};

bool ReferenceServer::Impl::wait(Clock::time_point now, Clock::time_point awake_until,
                                 std::chrono::milliseconds timeout) {
    items = {{{static_cast<void*>(socket), 0, ZMQ_POLLIN, 0}, {nullptr, called.fd(), ZMQ_POLLIN, 0}}};
    // Never past the next delayed reply's time.
    const auto awake_for = std::min<std::chrono::microseconds>(
            std::chrono::duration_cast<std::chrono::microseconds>(awake_until - now), timeout);
    const bool ready =
            awake_for.count() > 0 && ipc_tools::poll_awake(items.data(), static_cast<int>(items.size()), awake_for) > 0;
    try {
        if (!ready) {
            zmq::poll(items.data(), items.size(), timeout);
        }
    } catch (const zmq::error_t& error) {
        if (error.num() == EINTR) {
            return false;
        }
        throw;
    }
    return true;
}

Response ReferenceServer::Impl::handle(zmq::message_t&& payload) {
    try {
        return handler.handle(std::move(payload));
    } catch (const std::exception& error) {
        // A fault of the server itself still gets its one reply, and the server goes on.
        Response response;
        response.message = ipc_tools::Message(ipc_tools::BAD_REQUEST, "", 0,
                                              std::string("Internal server error: ") + error.what());
        return response;
    }
}

void ReferenceServer::Impl::notify_observer(const RequestLog& log) {
    std::lock_guard<std::mutex> lock(observer_mutex);
    if (observer) {
        for (const auto& entry : log.entries_from(observed)) {
            observer(entry);
            observed = entry.sequence + 1;
        }
    }
}

ReferenceServer::ReferenceServer(ServerOptions options) {
    validate_address(options.address);
    const std::string address = options.address;
    for (const auto& rule : options.faults) {
        m_faults.add(rule);
    }
    m_impl = std::make_unique<Impl>(std::move(options), address, m_faults, m_log);
    m_impl->socket.set(zmq::sockopt::linger, 0);
    // An address in IPv6 form ("tcp://[::1]:*") binds only with IPv6 on; an IPv4 one keeps it off, so
    // that its endpoint stays in IPv4 form.
    if (address.find('[') != std::string::npos) {
        m_impl->socket.set(zmq::sockopt::ipv6, 1);
    }
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
    // After a request the next one usually follows within a round trip: the server waits for it
    // awake until then, which on a busy or virtual machine costs less than being woken.
    Clock::time_point awake_until{};
    while (!m_stop) {
        const auto now = Clock::now();
        const auto timeout = impl.replies.send_due(now, stop_check_interval);
        if (!impl.wait(now, awake_until, timeout)) {
            continue;
        }
        if ((impl.items[1].revents & ZMQ_POLLIN) != 0) {
            impl.called.drain();
            impl.replies.resume_held();
        }
        std::vector<zmq::message_t> envelope;
        zmq::message_t payload;
        if ((impl.items[0].revents & ZMQ_POLLIN) == 0 || !receive_request(impl.socket, envelope, payload)) {
            continue;
        }
        Response response = impl.handle(std::move(payload));
        impl.notify_observer(m_log);
        impl.replies.deliver(envelope, response);
        impl.handler.finish_deferred_calls();
        awake_until = Clock::now() + ipc_tools::AWAKE_POLL_WINDOW;
        if (impl.replies.holds_pulls()) {
            // A request may have forgotten the client of a held pull, or dropped its reads.
            impl.replies.resume_held();
        }
    }
}

}  // namespace reference_server
