#include "ipc_tools/request_broker.h"

#include "common/contract.h"
#include "common/logger.h"
#include "ipc_tools/awake_poll.h"
#include "ipc_tools/descriptor_budget.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <sys/un.h>
#include <utility>

namespace ipc_tools {

namespace {

constexpr int IO_THREADS = 1;
constexpr int MAX_SOCKETS = 1023;
constexpr int POLL_RETRY_BUDGET = 3;
constexpr std::int64_t QUIET_PERIOD_NS = 1000000000;
const std::string IPC_PREFIX = "ipc://";
const std::string TCP_PREFIX = "tcp://";
// How long a host name's addresses are tried for one that accepts; only an address whose connect
// neither succeeds nor fails (a dropped SYN) costs this much.
constexpr std::chrono::milliseconds ADDRESS_PROBE_LIMIT{1000};
const char* const SOURCE_NAME = "ipc_tools/request_broker";

std::int64_t steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
}

std::string to_string_zmq_error(int error_number) {
    return "errno[" + std::to_string(error_number) + "] : " + zmq_strerror(error_number);
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Reads every remaining part of a multi-part reply so that the REQ socket can send again.
void drain_remaining_parts(zmq::socket_t& socket) {
    int more = 1;
    while (more != 0) {
        zmq::message_t part;
        if (!socket.recv(part, zmq::recv_flags::dontwait)) {
            return;
        }
        more = part.more() ? 1 : 0;
    }
}

// What keeps a client from connecting to `endpoint` by its form alone; empty when nothing does.
std::string endpoint_problem(const std::string& endpoint) {
    if (starts_with(endpoint, IPC_PREFIX)) {
        const std::size_t path_limit = sizeof(sockaddr_un::sun_path) - 1;
        const std::size_t path_length = endpoint.size() - IPC_PREFIX.size();
        if (path_length == 0) {
            return "it names no socket path";
        }
        if (path_length > path_limit) {
            return "its socket path is " + std::to_string(path_length) + " characters long, over the limit of " +
                   std::to_string(path_limit);
        }
        return {};
    }
    const std::string host_and_port = endpoint.substr(TCP_PREFIX.size());
    const auto bracket = host_and_port.rfind(']');
    if (!host_and_port.empty() && host_and_port.front() == '[' && bracket != std::string::npos &&
        bracket + 1 == host_and_port.size()) {
        return "it names no port: an IPv6 address is written tcp://[<address>]:<port>";
    }
    const auto colon = host_and_port.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return "it is not of the form tcp://<host>:<port>";
    }
    const std::string host = host_and_port.substr(0, colon);
    const std::string port = host_and_port.substr(colon + 1);
    if (host == "*") {
        return "a wildcard host ('*') is for a server to listen on; a client needs the server's host name or address";
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) == 0 || std::stoul(port) > 65535) {
        return "its port '" + port + "' is not a number from 1 to 65535";
    }
    return {};
}

// After a failure to make a descriptor: a shortage, descriptors taken by another thread since they
// were counted, is told as such.
void throw_if_short_of_descriptors(int error_number, int needed) {
    if (is_descriptor_shortage(error_number)) {
        throw DescriptorShortage(descriptor_shortage_text(error_number, needed, 0));
    }
}

// Bytes 4 to 7 of a frame, its file identifier, with any byte that is not printable in hex.
std::string printable_identifier(const zmq::message_t& frame) {
    std::string text;
    const auto* bytes = static_cast<const unsigned char*>(frame.data());
    for (std::size_t i = 4; i < 8 && i < frame.size(); ++i) {
        if (std::isprint(bytes[i]) != 0) {
            text += static_cast<char>(bytes[i]);
        } else {
            static const char digits[] = "0123456789abcdef";
            text += std::string("\\x") + digits[bytes[i] >> 4] + digits[bytes[i] & 15];
        }
    }
    return text;
}

}  // namespace

std::string poll_result_as_string(int poll_result, const zmq_pollitem_t& item) {
    std::ostringstream text;
    text << "num events: " << poll_result << ". "
         << "zmq::pollitem_t: socket[" << item.socket << "], "
         << "fd[" << item.fd << "], "
         << "events[" << static_cast<std::int16_t>(item.events) << "], "
         << "revents[" << static_cast<std::int16_t>(item.revents) << "]";
    return text.str();
}

RequestBroker::RequestBroker() : m_socket(), m_server_address(), m_timeout_ms(0), m_last_send_time(0) {}

RequestBroker::~RequestBroker() {
    // Linger 0: unsent frames are dropped at once, so closing the context cannot block.
    m_socket.reset();
    m_context.reset();
}

void RequestBroker::prepare_connection(const std::string& address, std::uint32_t timeout_ms) {
    auto trace = create_trace("prepare_connection");
    const std::string endpoint = generate_server_address(address);
    const std::string problem = address.empty() ? std::string("it is empty") : endpoint_problem(endpoint);
    if (!problem.empty()) {
        const std::string shown = endpoint == address ? "'" + address + "'" : "'" + address + "' (" + endpoint + ")";
        throw std::invalid_argument("Cannot connect to the address " + shown + ": " + problem);
    }
    m_server_address = endpoint;
    m_connect_target = resolve_connect_target(endpoint, ADDRESS_PROBE_LIMIT);
    m_timeout_ms = timeout_ms;
    reset();
}

std::string server_endpoint(const std::string& address) {
    // A full ZeroMQ endpoint is used as given.
    if (starts_with(address, IPC_PREFIX) || starts_with(address, TCP_PREFIX)) {
        return address;
    }
    if (address.find(':') != std::string::npos) {
        return TCP_PREFIX + address;
    }
    return TCP_PREFIX + "localhost:" + address;
}

std::string RequestBroker::generate_server_address(const std::string& address) const {
    auto trace = create_trace("generate_server_address");
    return server_endpoint(address);
}

void RequestBroker::make_context() {
    // Everything the connected socket will hold, tried first: ZeroMQ aborts the process when the
    // first socket of a context cannot get its threads' descriptors, which it makes right then.
    const int needed = DESCRIPTORS_PER_BROKER - (m_interrupt.has_descriptor() ? 1 : 0);
    require_free_descriptors(needed);
    try {
        m_interrupt.make_descriptor();
        m_context.emplace(IO_THREADS, MAX_SOCKETS);
    } catch (const std::system_error& error) {
        throw_if_short_of_descriptors(error.code().value(), needed);
        throw;
    } catch (const zmq::error_t& error) {
        throw_if_short_of_descriptors(error.num(), needed);
        throw;
    }
}

void RequestBroker::reset() {
    auto trace = create_trace("reset");
    // zmq_close only hands a socket to ZeroMQ's own threads, which free its descriptors and its
    // slot in the context later. An owner retrying as fast as a time-out of 0 ms lets it would
    // outrun them and end in "Too many open files". Ending the context waits until the old
    // socket is really gone (linger 0 keeps that short), so a broker never holds more than one.
    m_socket.reset();
    m_context.reset();
    m_awaiting_reply = false;
    make_context();
    auto socket = std::make_unique<zmq::socket_t>(*m_context, zmq::socket_type::req);
    socket->set(zmq::sockopt::linger, 0);
    // Only for an IPv6 address: with it on, ZeroMQ would take ::1 for "localhost" where the server
    // listens on 127.0.0.1.
    socket->set(zmq::sockopt::ipv6, m_connect_target.ipv6 ? 1 : 0);
    m_socket = std::move(socket);
    m_socket->connect(m_connect_target.endpoint);
}

void RequestBroker::send_request(Message& request, Message& reply) {
    start_request(request);
    finish_request(reply);
}

void RequestBroker::send_request_within(Message& request, Message& reply,
                                        std::chrono::steady_clock::time_point latest_end) {
    start_request(request);
    await_reply(reply, POLL_RETRY_BUDGET, OnInterrupt::cut_short, latest_end);
}

void RequestBroker::start_request(Message& request) {
    if (m_interrupt.raised()) {
        // The owner is ending: a request it would start now has no one to wait for its reply.
        const std::string text =
                "Request: " + message_type_as_string(request.get_type()) + " not sent: the client is ending";
        get_trace_context()->write_message("send_request", text);
        throw WaitCutShort(text);
    }
    send_frame(request);
}

void RequestBroker::send_frame(Message& request) {
    COMMON_CONTRACT_CHECK_AT(m_socket.get() != nullptr, "null socket", SOURCE_NAME, 128);
    COMMON_CONTRACT_CHECK_AT(!request.empty() && request.get_type() != UNSET, "invalid request", SOURCE_NAME, 129);

    const MessageType request_type = request.get_type();
    auto trace = create_hftrace("send_request");
    trace.message([request_type] { return message_type_as_string(request_type); });

    zmq::message_t outgoing;
    request.transfer_to_zmq(outgoing);

    m_last_send_time = steady_now_ns();
    if (!m_last_heard) {
        m_last_heard = std::chrono::steady_clock::now();
    }
    if (!m_socket->send(outgoing, zmq::send_flags::none)) {
        const int error_number = zmq_errno();
        get_trace_context()->write_message("send_request",
                                           "Client zmq_msg_send failed. " + to_string_zmq_error(error_number));
        throw std::system_error(error_number, std::system_category(), "Client zmq_msg_send failed");
    }
    m_pending_request_type = request_type;
    m_awaiting_reply = true;
}

void RequestBroker::finish_request(Message& reply) { await_reply(reply, POLL_RETRY_BUDGET, OnInterrupt::cut_short); }

void RequestBroker::interrupt_waits(std::optional<std::chrono::steady_clock::time_point> last_waits_by) {
    if (last_waits_by) {
        m_last_waits_by.store(last_waits_by->time_since_epoch().count());
    }
    m_interrupt.raise();
}

std::optional<std::chrono::steady_clock::time_point> RequestBroker::last_waits_limit() const {
    const auto limit = m_last_waits_by.load();
    if (limit == 0) {
        return std::nullopt;
    }
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(limit));
}

bool RequestBroker::pause(std::chrono::milliseconds duration) {
    zmq_pollitem_t item{nullptr, m_interrupt.descriptor(), ZMQ_POLLIN, 0};
    const auto until = std::chrono::steady_clock::now() + duration;
    while (!m_interrupt.raised()) {
        const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return true;
        }
        // An interrupted or failed poll is simply tried again until the time is up.
        zmq_poll(&item, 1, static_cast<long>(left.count()));
    }
    return false;
}

void RequestBroker::await_late_reply(Message& reply) {
    if (!m_awaiting_reply) {
        throw TimeoutError("No reply outstanding to wait for");
    }
    await_reply(reply, 0, OnInterrupt::ignored, last_waits_limit());
}

void RequestBroker::send_farewell(Message& request, Message& reply) {
    if (m_awaiting_reply) {
        reset();
    }
    send_frame(request);
    if (m_interrupt.raised()) {
        await_reply(reply, 0, OnInterrupt::ignored, last_waits_limit());
    } else {
        await_reply(reply, POLL_RETRY_BUDGET, OnInterrupt::one_more_poll);
    }
}

void RequestBroker::await_reply(Message& reply, int retries, OnInterrupt on_interrupt,
                                std::optional<std::chrono::steady_clock::time_point> latest_end) {
    COMMON_CONTRACT_CHECK_AT(m_socket.get() != nullptr, "null socket", SOURCE_NAME, 128);
    const MessageType request_type = m_pending_request_type;
    zmq_pollitem_t item{m_socket->handle(), 0, ZMQ_POLLIN, 0};
    int wake_descriptor = on_interrupt == OnInterrupt::ignored ? -1 : m_interrupt.descriptor();
    // Awake for a while first, never past the time-out, only while no other thread of the process
    // waits for a reply and only for a kind of request whose last reply came within that while,
    // then asleep; a poll that finds nothing is tried again up to the budget. Counted as waiting
    // while asleep too, so that others do not spin meanwhile.
    const ReplyWaiter waiter;
    const std::chrono::milliseconds time_out(m_timeout_ms);
    // The next poll: a time-out, or what is left before the limit.
    const auto next_poll = [&time_out, &latest_end] {
        if (!latest_end) {
            return time_out;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*latest_end - std::chrono::steady_clock::now());
        return std::clamp(left, std::chrono::milliseconds(0), time_out);
    };
    int budget = retries;
    int poll_result = wait_for_reply(item, next_poll(), waiter, m_reply_pace, request_type, wake_descriptor);
    // The request's name is spelt out only for a trace or an error.
    const auto name = [request_type] { return message_type_as_string(request_type); };
    while (true) {
        if (poll_result < 0) {
            const int error_number = zmq_errno();
            get_trace_context()->write_message("send_request",
                                               "zmq::poll exception. " + to_string_zmq_error(error_number));
            throw zmq::error_t(error_number);
        }
        write_hftrace("send_request", [&] { return poll_result_as_string(poll_result, item); });
        if (poll_result == 0 && wake_descriptor >= 0 && m_interrupt.raised()) {
            if (on_interrupt == OnInterrupt::cut_short) {
                const std::string text = "Wait for reply to request: " + name() + " cut short: the client is ending";
                get_trace_context()->write_message("send_request", text);
                throw WaitCutShort(text);
            }
            // One last poll, whatever is left of the budget, and within the interrupt's limit.
            wake_descriptor = -1;
            budget = 0;
            latest_end = last_waits_limit();
            poll_result = poll_asleep(item, next_poll(), -1);
            continue;
        }
        const bool replied = poll_result >= 1 && (item.revents & (ZMQ_POLLIN | ZMQ_POLLERR)) == ZMQ_POLLIN;
        if (!replied) {
            note_silence(request_type);
        }
        if (budget == 0) {
            break;
        }
        --budget;
        if (replied) {
            break;
        }
        if (latest_end && std::chrono::steady_clock::now() >= *latest_end) {
            break;
        }
        poll_result = poll_asleep(item, next_poll(), wake_descriptor);
    }
    const auto& context = get_trace_context();
    if ((item.revents & ZMQ_POLLIN) == 0) {
        const std::string text = "Timeout waiting for reply to request: " + name();
        context->write_message("send_request", text);
        throw TimeoutError(text);
    }
    if (poll_result == 0) {
        context->write_message("send_request", poll_result_as_string(0, item) +
                                                       " Polling ambiguity waiting for reply to request: " + name());
        throw TimeoutError("Timeout waiting for reply to request {zero events}: " + name());
    }
    if ((item.revents & ZMQ_POLLERR) != 0) {
        context->write_message("send_request", poll_result_as_string(poll_result, item) +
                                                       " Error on socket waiting for reply to request: " + name());
        throw TimeoutError("Timeout waiting for reply to request {error on socket}: " + name());
    }
    fetch_and_validate_reply(request_type, reply);
}

void RequestBroker::note_silence(MessageType awaited) {
    m_silence_reported = m_link_observer != nullptr;
    if (m_link_observer != nullptr && m_last_heard) {
        m_link_observer->server_silent(awaited, *m_last_heard);
    }
}

void RequestBroker::note_heard() {
    const auto silent_since = m_last_heard;
    m_last_heard = std::chrono::steady_clock::now();
    if (m_silence_reported) {
        m_silence_reported = false;
        if (m_link_observer != nullptr && silent_since) {
            m_link_observer->server_heard(*silent_since);
        }
    }
}

void RequestBroker::fetch_and_validate_reply(MessageType request_type, Message& reply) {
    auto trace = create_hftrace("fetch_and_validate_reply");
    const auto name = [request_type] { return message_type_as_string(request_type); };
    trace.message(name);
    const auto& context = get_trace_context();

    zmq::message_t incoming;
    if (!m_socket->recv(incoming, zmq::recv_flags::dontwait)) {
        const int error_number = zmq_errno();
        context->write_message("fetch_and_validate_reply",
                               "Client zmq_msg_recv failed. " + to_string_zmq_error(error_number));
        throw std::system_error(error_number, std::system_category(), "Client zmq_msg_recv failed");
    }
    m_awaiting_reply = false;
    note_heard();

    // The protocol has one frame per reply. Read any further parts now, so the REQ socket is
    // ready for the next request, and refuse the reply.
    if (incoming.more()) {
        drain_remaining_parts(*m_socket);
        const std::string text =
                "Error parsing reply from server for request: " + name() + ". The reply has more than one frame.";
        context->write_message("fetch_and_validate_reply", text);
        throw BadReply(text);
    }

    Message received;
    try {
        received = Message(std::move(incoming));
    } catch (const std::exception& error) {
        const std::string text = "Error parsing reply from server for request: " + name() + ". " + error.what();
        context->write_message("fetch_and_validate_reply", text);
        throw BadReply(text);
    }
    reply = std::move(received);
    trace.message([&reply] { return message_type_as_string(reply.get_type()); });

    switch (reply.get_type()) {
        case CLIENT_NOT_RECOGNISED: {
            const std::string text = "Received CLIENT_NOT_RECOGNISED from server. Treating as a server restart.";
            context->write_message("fetch_and_validate_reply", text);
            ZEV_LOG(common::logging::info) << text;
            throw TimeoutError(text);
        }
        case UNSET:
        case INVALID_PROTOCOL: {
            std::string text = "Could not interpret message from server for request: " + name() +
                               ". Reply: " + message_type_as_string(reply.get_type());
            if (reply.get_type() == INVALID_PROTOCOL) {
                // The frame stayed with us: its identifier is the protocol version the server speaks.
                text += ". The server speaks protocol \"" + printable_identifier(incoming) +
                        "\", this client protocol \"" + vexil_ipc::MessageDataIdentifier() + "\" (version " +
                        current_version_as_string() + ")";
            }
            context->write_message("fetch_and_validate_reply", text);
            throw BadReply(text);
        }
        case BAD_REQUEST: {
            const auto* simple_reply = reply.get_message_data()->content_as_SimpleReplyData();
            const auto* reply_text = simple_reply != nullptr ? simple_reply->text() : nullptr;
            const std::string text = "Bad request message: " + name() + ". " +
                                     (reply_text != nullptr ? reply_text->str() : std::string());
            context->write_message("fetch_and_validate_reply", text);
            throw BadRequest(text);
        }
        default:
            return;
    }
}

void RequestBroker::ping_server_if_quiet(const std::string& client_id) {
    if (steady_now_ns() - m_last_send_time < QUIET_PERIOD_NS) {
        return;
    }
    auto trace = create_hftrace("ping_server_if_quiet");
    Message request(HEARTBEAT_PING, client_id, 0, std::string());
    Message reply;
    send_request(request, reply);
    if (reply.get_type() != HEARTBEAT_ECHO) {
        const std::string type_name = message_type_as_string(reply.get_type());
        get_trace_context()->write_message("ping_server_if_quiet", "invalid response: " + type_name);
        throw InvalidResponse("invalid response from server, expected: HEARTBEAT_ECHO, received: " + type_name);
    }
}

}  // namespace ipc_tools
