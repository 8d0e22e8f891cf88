#include "ipc_tools/request_broker.h"
#include "test_support/slow_factor.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <zmq.hpp>

#include <boost/filesystem.hpp>

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace ipc_tools;

namespace {

constexpr std::uint32_t TEST_TIMEOUT_MS = 20;
// Time-out of exchanges that are meant to succeed: generous, since the thread sanitizer slows
// both ends down many times over.
#if defined(__SANITIZE_THREAD__)
constexpr std::uint32_t REPLY_TIMEOUT_MS = 5000;
#else
constexpr std::uint32_t REPLY_TIMEOUT_MS = 1000;
#endif

// The frames one reply consists of, built from the request the peer received.
using ReplyScript = std::function<std::vector<zmq::message_t>(const Message& request)>;

std::vector<zmq::message_t> one_frame(Message reply) {
    std::vector<zmq::message_t> frames(1);
    reply.transfer_to_zmq(frames.front());
    return frames;
}

ReplyScript reply_with(MessageType type, const std::string& text = std::string()) {
    return [type, text](const Message&) { return one_frame(Message(type, "", 0, text)); };
}

// A REP server in this process on an ipc:// endpoint in a private folder. It answers one request
// per script entry, in order, and records what it received.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::vector<ReplyScript> script)
        : m_folder(boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("broker-%%%%-%%%%")),
          m_socket(m_context, zmq::socket_type::rep) {
        boost::filesystem::create_directories(m_folder);
        m_endpoint = "ipc://" + (m_folder / "server").string();
        m_socket.set(zmq::sockopt::linger, 0);
        m_socket.set(zmq::sockopt::rcvtimeo, 20000);
        m_socket.bind(m_endpoint);
        m_thread = std::thread([this, script = std::move(script)] { serve(script); });
    }

    ~ScriptedPeer() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
        m_socket.close();
        boost::system::error_code ignored;
        boost::filesystem::remove_all(m_folder, ignored);
    }

    const std::string& endpoint() const { return m_endpoint; }

    // Waits for the script to finish; returns the types and client ids received.
    std::vector<std::pair<MessageType, std::string>> received() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_received;
    }

private:
    void serve(const std::vector<ReplyScript>& script) {
        for (const auto& reply_script : script) {
            zmq::message_t frame;
            if (!m_socket.recv(frame)) {
                return;
            }
            const Message request(std::move(frame));
            const auto* data = request.get_message_data();
            m_received.emplace_back(request.get_type(), data->client_id() ? data->client_id()->str() : "");
            auto frames = reply_script(request);
            for (std::size_t index = 0; index < frames.size(); ++index) {
                m_socket.send(frames[index],
                              index + 1 < frames.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
            }
        }
    }

    boost::filesystem::path m_folder;
    std::string m_endpoint;
    zmq::context_t m_context;
    zmq::socket_t m_socket;
    std::vector<std::pair<MessageType, std::string>> m_received;
    std::thread m_thread;
};

template <typename Error>
std::string error_text_of(RequestBroker& broker, Message request) {
    Message reply;
    try {
        broker.send_request(request, reply);
    } catch (const Error& error) {
        return error.what();
    }
    return "no error";
}

}  // namespace

TEST(RequestBrokerTest, addresses_are_normalised) {
    RequestBroker broker;
    EXPECT_EQ("tcp://localhost:5555", broker.generate_server_address("5555"));
    EXPECT_EQ("tcp://10.0.0.2:5555", broker.generate_server_address("10.0.0.2:5555"));
    EXPECT_EQ("ipc:///tmp/basecall", broker.generate_server_address("ipc:///tmp/basecall"));
    // A full tcp endpoint is already valid and keeps its single prefix.
    EXPECT_EQ("tcp://10.0.0.2:5555", broker.generate_server_address("tcp://10.0.0.2:5555"));
}

TEST(RequestBrokerTest, addresses_that_cannot_be_connected_to_are_refused_naming_them) {
    RequestBroker broker;
    const auto refusal = [&broker](const std::string& address) {
        try {
            broker.prepare_connection(address, TEST_TIMEOUT_MS);
        } catch (const std::invalid_argument& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(
            "Cannot connect to the address 'tcp://*:5555': a wildcard host ('*') is for a server to listen on; a "
            "client needs the server's host name or address",
            refusal("tcp://*:5555"));
    const std::string long_path = "ipc:///tmp/" + std::string(120, 'p');
    EXPECT_EQ("Cannot connect to the address '" + long_path +
                      "': its socket path is 125 characters long, over the limit of 107",
              refusal(long_path));
    EXPECT_EQ("Cannot connect to the address '' (tcp://localhost:): it is empty", refusal(""));
    EXPECT_EQ(
            "Cannot connect to the address 'host:70000' (tcp://host:70000): its port '70000' is not a number from 1 "
            "to 65535",
            refusal("host:70000"));
    EXPECT_EQ("Cannot connect to the address 'tcp://host': it is not of the form tcp://<host>:<port>",
              refusal("tcp://host"));
    EXPECT_EQ("accepted", refusal("tcp://[::1]:5555"));
    EXPECT_EQ(
            "Cannot connect to the address 'tcp://[::1]': it names no port: an IPv6 address is written "
            "tcp://[<address>]:<port>",
            refusal("tcp://[::1]"));
}

TEST(RequestBrokerTest, exchanges_requests_and_replies) {
    ScriptedPeer peer({[](const Message& request) {
                           const auto* text = request.get_message_data()->content_as_SimpleRequestData()->text();
                           return one_frame(Message(SUCCESS, "", 0, "loaded " + text->str()));
                       },
                       reply_with(HEARTBEAT_ECHO)});
    RequestBroker broker;
    broker.prepare_connection(peer.endpoint(), REPLY_TIMEOUT_MS);

    Message request(LOAD_CONFIG, "", 0, "fast_model");
    Message reply;
    broker.send_request(request, reply);
    EXPECT_TRUE(request.empty());
    ASSERT_EQ(SUCCESS, reply.get_type());
    EXPECT_EQ("loaded fast_model", reply.get_message_data()->content_as_SimpleReplyData()->text()->str());

    Message ping(HEARTBEAT_PING, "client-3", 0, "");
    broker.send_request(ping, reply);
    EXPECT_EQ(HEARTBEAT_ECHO, reply.get_type());
    const auto received = peer.received();
    ASSERT_EQ(2u, received.size());
    EXPECT_EQ(LOAD_CONFIG, received[0].first);
    EXPECT_EQ("client-3", received[1].second);
}

TEST(RequestBrokerTest, silent_server_times_out_and_the_broker_recovers_after_prepare) {
    // The peer answers only once the client has given up on the request: on a loaded machine a
    // fixed sleep could end before the client's polls do.
    std::atomic<bool> client_gave_up{false};
    ScriptedPeer peer({[&client_gave_up](const Message&) {
                           const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                           while (!client_gave_up.load() && std::chrono::steady_clock::now() < limit) {
                               std::this_thread::sleep_for(std::chrono::milliseconds(1));
                           }
                           return one_frame(Message(SUCCESS, "", 0, ""));
                       },
                       reply_with(SUCCESS)});
    RequestBroker broker;
    broker.prepare_connection(peer.endpoint(), TEST_TIMEOUT_MS);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ("Timeout waiting for reply to request: GET_CONFIGS",
              error_text_of<TimeoutError>(broker, Message(GET_CONFIGS, "", 0, "")));
    client_gave_up = true;
    // Four polls of the time-out each; ZeroMQ rounds each poll's clock to whole milliseconds, so
    // one can end up to a millisecond early.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4 * (TEST_TIMEOUT_MS - 1)));

    // The REQ socket still waits for its reply, so sending again without preparing fails.
    Message again(GET_CONFIGS, "", 0, "");
    Message reply;
    EXPECT_THROW(broker.send_request(again, reply), zmq::error_t);

    broker.prepare_connection(peer.endpoint(), REPLY_TIMEOUT_MS);
    Message fresh(GET_CONFIGS, "", 0, "");
    broker.send_request(fresh, reply);
    EXPECT_EQ(SUCCESS, reply.get_type());
}

TEST(RequestBrokerTest, server_refusals_become_the_four_error_classes) {
    ScriptedPeer peer({reply_with(BAD_REQUEST, "no such config"), reply_with(BAD_REQUEST),
                       reply_with(CLIENT_NOT_RECOGNISED),
                       [](const Message&) {
                           std::vector<zmq::message_t> frames;
                           frames.emplace_back(std::string("short"));
                           return frames;
                       },
                       [](const Message&) {
                           std::vector<zmq::message_t> frames;
                           frames.emplace_back(
                                   std::string("\x10\0\0\0"
                                               "0016 and then garbage bytes",
                                               31));
                           return frames;
                       },
                       [](const Message&) {
                           std::vector<zmq::message_t> frames;
                           frames.emplace_back(
                                   std::string("\x10\0\0\0"
                                               "0099",
                                               8));
                           return frames;
                       },
                       reply_with(SUCCESS)});
    RequestBroker broker;
    broker.prepare_connection(peer.endpoint(), REPLY_TIMEOUT_MS);

    EXPECT_EQ("Bad request message: LOAD_CONFIG. no such config",
              error_text_of<BadRequest>(broker, Message(LOAD_CONFIG, "", 0, "x")));
    EXPECT_EQ("Bad request message: LOAD_BED. ", error_text_of<BadRequest>(broker, Message(LOAD_BED, "", 0, "")));
    EXPECT_EQ("Received CLIENT_NOT_RECOGNISED from server. Treating as a server restart.",
              error_text_of<TimeoutError>(broker, Message(GET_FIRST_CALLED_BLOCK, "id", 0, "")));
    EXPECT_EQ("Could not interpret message from server for request: GET_INDICES. Reply: UNSET",
              error_text_of<BadReply>(broker, Message(GET_INDICES, "", 0, "")));
    EXPECT_EQ("Error parsing reply from server for request: GET_INDICES. Invalid MessageData in Message.",
              error_text_of<BadReply>(broker, Message(GET_INDICES, "", 0, "")));
    // A server of another protocol version: both versions are named.
    EXPECT_EQ(
            "Could not interpret message from server for request: QUERY. Reply: INVALID_PROTOCOL. The server "
            "speaks protocol \"0099\", this client protocol \"0016\" (version 16.0.0)",
            error_text_of<BadReply>(broker, create_query_request(QueryCode::internal_state, "")));
    // Every one of these replies was a whole exchange: the same socket carries on.
    Message request(GET_STATISTICS, "", 0, "");
    Message reply;
    broker.send_request(request, reply);
    EXPECT_EQ(SUCCESS, reply.get_type());
}

TEST(RequestBrokerTest, multi_frame_reply_is_drained_and_refused) {
    ScriptedPeer peer({[](const Message&) {
                           std::vector<zmq::message_t> frames = one_frame(Message(SUCCESS, "", 0, "first"));
                           frames.emplace_back(std::string("second part"));
                           frames.emplace_back(std::string("third part"));
                           return frames;
                       },
                       reply_with(LOADING)});
    RequestBroker broker;
    broker.prepare_connection(peer.endpoint(), REPLY_TIMEOUT_MS);
    const std::string text = error_text_of<BadReply>(broker, Message(LOAD_INDEX, "", 0, "ref.fa"));
    EXPECT_EQ("Error parsing reply from server for request: LOAD_INDEX. The reply has more than one frame.", text);

    Message request(LOAD_INDEX, "", 0, "ref.fa");
    Message reply;
    broker.send_request(request, reply);
    EXPECT_EQ(LOADING, reply.get_type());
}

TEST(RequestBrokerTest, heartbeat_only_after_a_quiet_second) {
    // A ping right after a send is due only when that exchange took a second, as it can on a busy
    // machine: the attempt then tells nothing and is made again.
    std::unique_ptr<ScriptedPeer> peer;
    std::unique_ptr<RequestBroker> broker;
    bool told = false;
    for (int attempt = 0; attempt < 5 && !told; ++attempt) {
        constexpr std::size_t script_length = 3;
        peer = std::make_unique<ScriptedPeer>(
                std::vector<ReplyScript>{reply_with(HEARTBEAT_ECHO), reply_with(NONE_PENDING), reply_with(NOT_READY)});
        broker = std::make_unique<RequestBroker>();
        broker->prepare_connection(peer->endpoint(), REPLY_TIMEOUT_MS);
        const auto first_sent = std::chrono::steady_clock::now();
        broker->ping_server_if_quiet("client-1");  // nothing has been sent yet: the link is quiet
        std::size_t sent = 1;
        try {
            broker->ping_server_if_quiet("client-1");  // just sent: no second ping
        } catch (const InvalidResponse&) {
            ++sent;
        }
        told = std::chrono::steady_clock::now() - first_sent < std::chrono::milliseconds(990);
        // Otherwise the rest of the script is played out, so that the peer ends at once.
        for (; !told && sent < script_length; ++sent) {
            Message filler(GET_STATISTICS, "", 0, "");
            Message ignored;
            broker->send_request(filler, ignored);
        }
    }
    ASSERT_TRUE(told) << "every ping took a second";
    Message request(GET_FIRST_CALLED_BLOCK, "client-1", 0, "");
    Message reply;
    broker->send_request(request, reply);
    EXPECT_EQ(NONE_PENDING, reply.get_type());

    std::this_thread::sleep_for(std::chrono::milliseconds(1010));
    try {
        broker->ping_server_if_quiet("client-1");
        ADD_FAILURE() << "a heartbeat answered with NOT_READY was accepted";
    } catch (const InvalidResponse& error) {
        EXPECT_STREQ("invalid response from server, expected: HEARTBEAT_ECHO, received: NOT_READY", error.what());
    }

    const auto received = peer->received();
    ASSERT_EQ(3u, received.size());
    EXPECT_EQ(HEARTBEAT_PING, received[0].first);
    EXPECT_EQ("client-1", received[0].second);
    EXPECT_EQ(GET_FIRST_CALLED_BLOCK, received[1].first);
    EXPECT_EQ(HEARTBEAT_PING, received[2].first);
}

TEST(RequestBrokerTest, poll_result_text) {
    zmq_pollitem_t item{nullptr, 3, ZMQ_POLLIN, ZMQ_POLLIN | ZMQ_POLLERR};
    const std::string text = poll_result_as_string(1, item);
    EXPECT_EQ(0u, text.find("num events: 1. zmq::pollitem_t: socket["));
    EXPECT_NE(std::string::npos, text.find("], fd[3], events[1], revents[5]"));
}

namespace {

void ignore_signal(int) {}

}  // namespace

TEST(RequestBrokerTest, zero_time_out_polls_four_times_at_once) {
    ScriptedPeer peer({});  // bound, never answers
    RequestBroker broker;
    broker.prepare_connection(peer.endpoint(), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ("Timeout waiting for reply to request: GET_STATISTICS",
              error_text_of<TimeoutError>(broker, Message(GET_STATISTICS, "", 0, "")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

namespace {

/// Whether a thread of this process is asleep (in its poll, for the tests below).
bool asleep(pid_t task) {
    std::ifstream stat("/proc/self/task/" + std::to_string(task) + "/stat");
    const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto name_end = line.rfind(')');
    return name_end != std::string::npos && line.compare(name_end, 3, ") S") == 0;
}

}  // namespace

TEST(RequestBrokerTest, interrupted_poll_is_repeated_without_using_the_budget) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer defers signals, so the poll is never interrupted";
#endif
    constexpr std::uint32_t timeout_ms = 200;
    const auto poll_time = std::chrono::milliseconds(timeout_ms);
    ScriptedPeer peer({});  // bound, never answers
    RequestBroker broker;

    // No SA_RESTART: the signal makes the poll return EINTR.
    struct sigaction action {};
    action.sa_handler = ignore_signal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));

    const pthread_t polling_thread = pthread_self();
    const auto polling_task = static_cast<pid_t>(syscall(SYS_gettid));
    // The signal must reach the first poll; a machine too busy for that makes the attempt tell
    // nothing, and it is made again.
    bool told = false;
    for (int attempt = 0; attempt < 5 && !told; ++attempt) {
        broker.prepare_connection(peer.endpoint(), timeout_ms);
        const auto start = std::chrono::steady_clock::now();
        std::chrono::steady_clock::time_point signalled;
        std::thread signaller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            while (!asleep(polling_task) && std::chrono::steady_clock::now() - start < poll_time) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            signalled = std::chrono::steady_clock::now();
            pthread_kill(polling_thread, SIGUSR1);
        });
        std::string text;
        try {
            text = error_text_of<TimeoutError>(broker, Message(GET_CONFIGS, "", 0, ""));
        } catch (const zmq::error_t& error) {
            text = std::string("zmq error: ") + error.what();
        }
        const auto end = std::chrono::steady_clock::now();
        signaller.join();
        EXPECT_EQ("Timeout waiting for reply to request: GET_CONFIGS", text);
        if (signalled - start > poll_time - std::chrono::milliseconds(10)) {
            continue;
        }
        told = true;
        // The interrupted poll is not one of the four: they all run their full time after it.
        EXPECT_GE(end - signalled, std::chrono::milliseconds(4 * (timeout_ms - 1)));
    }
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(told) << "the signal never came within the first poll";
}

TEST(RequestBrokerTest, interrupted_waits_end_at_once_and_the_farewell_polls_once_on_a_fresh_socket) {
    ScriptedPeer peer({});  // bound, never answers
    RequestBroker broker;
    constexpr std::uint32_t poll_ms = REPLY_TIMEOUT_MS / 2;
    broker.prepare_connection(peer.endpoint(), poll_ms);

    // A wait in progress ends when another thread interrupts it.
    std::chrono::steady_clock::time_point interrupted;
    std::thread interrupter([&broker, &interrupted] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        interrupted = std::chrono::steady_clock::now();
        broker.interrupt_waits();
    });
    EXPECT_EQ("Wait for reply to request: GET_CONFIGS cut short: the client is ending",
              error_text_of<WaitCutShort>(broker, Message(GET_CONFIGS, "", 0, "")));
    const auto ended = std::chrono::steady_clock::now();
    interrupter.join();
    EXPECT_LT(ended - interrupted, test_support::time_margin(std::chrono::milliseconds(100)));

    // A later request is refused unsent, and a pause ends at once.
    const auto later = std::chrono::steady_clock::now();
    EXPECT_EQ("Request: LOAD_CONFIG not sent: the client is ending",
              error_text_of<WaitCutShort>(broker, Message(LOAD_CONFIG, "", 0, "")));
    EXPECT_FALSE(broker.pause(std::chrono::milliseconds(poll_ms)));
    EXPECT_LT(std::chrono::steady_clock::now() - later, std::chrono::milliseconds(poll_ms / 2));

    // The goodbye goes out although the socket still awaits the first reply, and waits one whole
    // poll.
    const auto farewell_start = std::chrono::steady_clock::now();
    Message farewell(DISCONNECT, "client-1", 0, "");
    Message reply;
    try {
        broker.send_farewell(farewell, reply);
        FAIL() << "answered by a silent peer";
    } catch (const WaitCutShort& error) {
        FAIL() << error.what();
    } catch (const TimeoutError& error) {
        EXPECT_STREQ("Timeout waiting for reply to request: DISCONNECT", error.what());
    }
    const auto waited = std::chrono::steady_clock::now() - farewell_start;
    EXPECT_GE(waited, std::chrono::milliseconds(poll_ms - 1));
    EXPECT_LT(waited, std::chrono::milliseconds(3 * poll_ms));
}

TEST(RequestBrokerTest, a_farewell_under_way_is_heard_when_waits_are_interrupted_during_it) {
    constexpr auto reply_after = std::chrono::milliseconds(200);
    ScriptedPeer peer({[reply_after](const Message&) {
        std::this_thread::sleep_for(reply_after);
        return one_frame(Message(DISCONNECTED, "", 0, ""));
    }});
    RequestBroker broker;
    broker.prepare_connection(peer.endpoint(), REPLY_TIMEOUT_MS);
    std::thread interrupter([&broker] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        broker.interrupt_waits();
    });
    Message farewell(DISCONNECT, "client-1", 0, "");
    Message reply;
    EXPECT_NO_THROW(broker.send_farewell(farewell, reply));
    interrupter.join();
    EXPECT_EQ(DISCONNECTED, reply.get_type());
}

TEST(RequestBrokerTest, a_time_limited_request_polls_no_later_than_its_limit) {
    ScriptedPeer peer({});  // bound, never answers
    RequestBroker broker;
    constexpr std::uint32_t poll_ms = 100;
    broker.prepare_connection(peer.endpoint(), poll_ms);
    // A limit one poll ahead allows that poll; one two and a half polls ahead ends there.
    for (const double polls : {1.0, 2.5}) {
        const auto limit = std::chrono::milliseconds(static_cast<int>(polls * poll_ms));
        const auto start = std::chrono::steady_clock::now();
        Message reply;
        Message request(GET_STATISTICS, "", 0, "");
        EXPECT_THROW(broker.send_request_within(request, reply, start + limit), TimeoutError);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_GE(elapsed, limit - std::chrono::milliseconds(1));
        EXPECT_LT(elapsed, limit + test_support::time_margin(std::chrono::milliseconds(poll_ms)));
        broker.prepare_connection(peer.endpoint(), poll_ms);
    }
}
