#include "basecall_client/request_broker_adapter.h"

#include "reference_server/reference_server.h"
#include "tests/reference_server/server_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <system_error>

using namespace basecall_service;
using namespace ipc_tools;
using reference_server::FaultAction;
using reference_server::FaultRule;

namespace {

FaultRule fault(FaultAction action, MessageType request, std::string text = {}) {
    FaultRule rule;
    rule.action = action;
    rule.request = request;
    rule.text = std::move(text);
    return rule;
}

class RequestBrokerAdapterServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        reference_server::ServerOptions options;
        options.address = m_dir.ipc_endpoint();
        m_server = std::make_unique<reference_server::ReferenceServer>(std::move(options));
        ASSERT_TRUE(m_adapter.prepare_connection(m_server->endpoint(), server_test::short_poll_timeout_ms));
    }

    bool get_configs() {
        Message request(GET_CONFIGS, "", 0, "");
        Message reply;
        const bool ok = m_adapter.send_request(request, reply);
        if (ok) {
            EXPECT_EQ(RETURN_CONFIGS, reply.get_type());
        }
        return ok;
    }

    void expect_no_error() const {
        EXPECT_EQ(ConnectionError::no_error, m_adapter.error_state().code);
        EXPECT_EQ("", m_adapter.error_state().message);
    }

    server_test::TempDir m_dir;
    std::unique_ptr<reference_server::ReferenceServer> m_server;
    RequestBrokerAdapter m_adapter;
};

}  // namespace

TEST_F(RequestBrokerAdapterServerTest, SilenceTimesOutAndTheNextSuccessClearsTheError) {
    ASSERT_TRUE(get_configs());
    expect_no_error();

    m_server->faults().add(fault(FaultAction::silence, GET_CONFIGS));
    EXPECT_FALSE(get_configs());
    EXPECT_EQ(ConnectionError::timed_out, m_adapter.error_state().code);
    EXPECT_EQ("Timeout waiting for reply to request: GET_CONFIGS", m_adapter.error_state().message);

    // The REQ socket is stuck until a new connection is prepared; the adapter does not do it itself.
    ASSERT_TRUE(m_adapter.prepare_connection(m_server->endpoint(), server_test::short_poll_timeout_ms));
    expect_no_error();
    EXPECT_TRUE(get_configs());
    expect_no_error();
}

TEST_F(RequestBrokerAdapterServerTest, BadRequestReplyBecomesBadRequest) {
    m_server->faults().add(fault(FaultAction::bad_request, GET_CONFIGS, "not today"));
    EXPECT_FALSE(get_configs());
    EXPECT_EQ(ConnectionError::bad_request, m_adapter.error_state().code);
    EXPECT_EQ("Bad request message: GET_CONFIGS. not today", m_adapter.error_state().message);
    // A BAD_REQUEST is a complete exchange: the same socket goes on working.
    EXPECT_TRUE(get_configs());
    expect_no_error();
}

TEST_F(RequestBrokerAdapterServerTest, ClientNotRecognisedCountsAsTimeOut) {
    m_server->faults().add(fault(FaultAction::client_not_recognised, GET_CONFIGS));
    EXPECT_FALSE(get_configs());
    EXPECT_EQ(ConnectionError::timed_out, m_adapter.error_state().code);
    EXPECT_EQ("Received CLIENT_NOT_RECOGNISED from server. Treating as a server restart.",
              m_adapter.error_state().message);
}

TEST_F(RequestBrokerAdapterServerTest, MalformedReplyBecomesBadReply) {
    m_server->faults().add(fault(FaultAction::malformed_short, GET_CONFIGS));
    EXPECT_FALSE(get_configs());
    EXPECT_EQ(ConnectionError::bad_reply, m_adapter.error_state().code);
    EXPECT_NE(std::string::npos, m_adapter.error_state().message.find("GET_CONFIGS"));
}

TEST_F(RequestBrokerAdapterServerTest, PingRightAfterASendCausesNoTraffic) {
    // Right after means within the quiet second: an exchange that a busy machine made last that long
    // tells nothing, and the attempt is made again.
    bool told = false;
    for (int attempt = 0; attempt < 5 && !told; ++attempt) {
        const auto pings = m_server->request_log().count(HEARTBEAT_PING);
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_TRUE(get_configs());
        // A ping that did go out names a client the server does not know, and fails.
        const bool quiet = m_adapter.ping_server_if_quiet("some_client");
        told = std::chrono::steady_clock::now() - sent < std::chrono::milliseconds(990);
        if (told) {
            EXPECT_TRUE(quiet);
            expect_no_error();
            EXPECT_EQ(pings, m_server->request_log().count(HEARTBEAT_PING));
        }
    }
    EXPECT_TRUE(told) << "every exchange took a second";
}

TEST(RequestBrokerAdapterInvoke, MapsEveryLinkExceptionAndClearsOnSuccess) {
    RequestBrokerAdapter adapter;
    EXPECT_EQ(ConnectionError::no_error, adapter.error_state().code);

    const std::string timeout_text = "Timeout waiting for reply to request: CONNECT";
    EXPECT_FALSE(adapter.invoke([&] { throw TimeoutError(timeout_text); }));
    EXPECT_EQ(ConnectionError::timed_out, adapter.error_state().code);
    EXPECT_EQ(timeout_text, adapter.error_state().message);

    EXPECT_TRUE(adapter.invoke([] {}));
    EXPECT_EQ(ConnectionError::no_error, adapter.error_state().code);
    EXPECT_EQ("", adapter.error_state().message);

    EXPECT_FALSE(adapter.invoke([] { throw BadReply("br"); }));
    EXPECT_EQ(ConnectionError::bad_reply, adapter.error_state().code);
    EXPECT_EQ("br", adapter.error_state().message);
    EXPECT_FALSE(adapter.invoke([] { throw BadRequest("bq"); }));
    EXPECT_EQ(ConnectionError::bad_request, adapter.error_state().code);
    EXPECT_FALSE(adapter.invoke([] { throw InvalidResponse("ir"); }));
    EXPECT_EQ(ConnectionError::invalid_response, adapter.error_state().code);
    EXPECT_EQ("ir", adapter.error_state().message);
}

TEST(RequestBrokerAdapterInvoke, SystemAndZmqErrorsBecomeFailedWithTheirDetails) {
    RequestBrokerAdapter adapter;

    const std::system_error system(35, std::system_category(), "Client zmq_msg_send failed");
    EXPECT_FALSE(adapter.invoke([&] { throw system; }));
    EXPECT_EQ(ConnectionError::failed, adapter.error_state().code);
    EXPECT_EQ(std::string("std::system_error[system:35] : ") + system.what(), adapter.error_state().message);

    const std::system_error generic(std::make_error_code(std::errc::resource_unavailable_try_again), "recv");
    EXPECT_FALSE(adapter.invoke([&] { throw generic; }));
    EXPECT_EQ("std::system_error[generic:" + std::to_string(EAGAIN) + "] : " + generic.what(),
              adapter.error_state().message);

    const zmq::error_t zmq_error(EHOSTUNREACH);
    EXPECT_FALSE(adapter.invoke([&] { throw zmq_error; }));
    EXPECT_EQ(ConnectionError::failed, adapter.error_state().code);
    EXPECT_EQ(std::string("zmq::error_t : ") + zmq_error.what(), adapter.error_state().message);
}

TEST(RequestBrokerAdapterInvoke, OtherExceptionsPassThroughWithTheErrorCleared) {
    RequestBrokerAdapter adapter;
    EXPECT_FALSE(adapter.invoke([] { throw BadReply("earlier"); }));
    EXPECT_THROW(adapter.invoke([] { throw std::runtime_error("not a link failure"); }), std::runtime_error);
    EXPECT_EQ(ConnectionError::no_error, adapter.error_state().code);
    EXPECT_EQ("", adapter.error_state().message);
    EXPECT_THROW(adapter.invoke([] { throw 42; }), int);
}

TEST(RequestBrokerAdapterInvoke, NoServerMeansTimedOut) {
    server_test::TempDir dir;
    RequestBrokerAdapter adapter;
    ASSERT_TRUE(adapter.prepare_connection(dir.ipc_endpoint(), server_test::short_poll_timeout_ms));
    Message request(GET_CONFIGS, "", 0, "");
    Message reply;
    EXPECT_FALSE(adapter.send_request(request, reply));
    EXPECT_EQ(ConnectionError::timed_out, adapter.error_state().code);
}
