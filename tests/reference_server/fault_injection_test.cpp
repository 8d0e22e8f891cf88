#include "reference_server/reference_server.h"

#include "server_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

using namespace reference_server;
using namespace server_test;
using namespace std::chrono_literals;

namespace {

FaultRule rule(FaultAction action, std::optional<MessageType> request = std::nullopt,
               std::optional<std::uint64_t> count = 1, std::uint64_t from = 1) {
    FaultRule result;
    result.action = action;
    result.request = request;
    result.count = count;
    result.from = from;
    return result;
}

class FaultInjectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServerOptions options;
        options.address = m_dir.ipc_endpoint();
        m_server = std::make_unique<ReferenceServer>(std::move(options));
        // Short poll time-outs: silence costs four polls.
        m_client = std::make_unique<TestClient>(m_server->endpoint(), short_poll_timeout_ms);
    }
    std::size_t add(FaultRule fault) { return m_server->faults().add(std::move(fault)); }

    TempDir m_dir;
    std::unique_ptr<ReferenceServer> m_server;
    std::unique_ptr<TestClient> m_client;
};

}  // namespace

TEST_F(FaultInjectionTest, LoadingNTimesThenSuccess) {
    const auto index = add(rule(FaultAction::loading, LOAD_CONFIG, 3));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(LOADING, m_client->send(LOAD_CONFIG, "", 0, "dna_sim_fast").get_type());
    }
    EXPECT_EQ(SUCCESS, m_client->send(LOAD_CONFIG, "", 0, "dna_sim_fast").get_type());
    EXPECT_EQ(3U, m_server->faults().times_fired(index));
    // Other requests were never touched.
    EXPECT_EQ(RETURN_CONFIGS, m_client->send(GET_CONFIGS).get_type());
}

TEST_F(FaultInjectionTest, LoadingForever) {
    add(rule(FaultAction::loading, LOAD_INDEX, std::nullopt));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(LOADING, m_client->send(LOAD_INDEX, "", 0, "/any").get_type());
    }
}

TEST_F(FaultInjectionTest, NotReadyRefusesTheFirstBlockWhichIsThenAcceptedAgain) {
    const std::string id = m_client->connect();
    add(rule(FaultAction::not_ready, PASS_FIRST_RAW_BLOCK));
    const TestRead read = simulated_read(3, random_sequence(100, 1));
    EXPECT_EQ(NOT_READY, m_client->pass_read(id, read));
    EXPECT_EQ(NONE_PENDING, m_client->send(GET_FIRST_CALLED_BLOCK, id).get_type());
    EXPECT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, read));
    EXPECT_EQ(read.sequence, m_client->fetch_read(id).sequence);
}

TEST_F(FaultInjectionTest, NonePendingKeepsTheReadsButReadsLostDropsThem) {
    const std::string id = m_client->connect();
    const TestRead read = simulated_read(3, random_sequence(100, 1));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, read));
    add(rule(FaultAction::none_pending, GET_FIRST_CALLED_BLOCK));
    const Message pending = m_client->send(GET_FIRST_CALLED_BLOCK, id);
    EXPECT_EQ(NONE_PENDING, pending.get_type());
    EXPECT_EQ(0U, reply_value(pending));
    EXPECT_EQ(read.sequence, m_client->fetch_read(id).sequence);

    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, read));
    add(rule(FaultAction::reads_lost, GET_FIRST_CALLED_BLOCK));
    const Message lost = m_client->send(GET_FIRST_CALLED_BLOCK, id);
    EXPECT_EQ(NONE_PENDING, lost.get_type());
    EXPECT_EQ(1U, reply_value(lost));
    const Message after = m_client->send(GET_FIRST_CALLED_BLOCK, id);
    EXPECT_EQ(NONE_PENDING, after.get_type());
    EXPECT_EQ(0U, reply_value(after));
}

TEST_F(FaultInjectionTest, ClientNotRecognisedLeavesTheClientRegistered) {
    const std::string id = m_client->connect();
    add(rule(FaultAction::client_not_recognised, HEARTBEAT_PING));
    EXPECT_THROW(m_client->send(HEARTBEAT_PING, id), TimeoutError);
    m_client->reset();
    EXPECT_EQ(HEARTBEAT_ECHO, m_client->send(HEARTBEAT_PING, id).get_type());
}

TEST_F(FaultInjectionTest, RestartForgetsEveryClient) {
    TestClient other(m_server->endpoint(), short_poll_timeout_ms);
    const std::string first = m_client->connect();
    const std::string second = other.connect();
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(first, simulated_read(1, random_sequence(50, 1))));
    add(rule(FaultAction::restart, GET_CONFIGS));
    EXPECT_EQ(RETURN_CONFIGS, m_client->send(GET_CONFIGS).get_type());  // the request itself is answered
    EXPECT_THROW(m_client->send(GET_FIRST_CALLED_BLOCK, first), TimeoutError);
    EXPECT_THROW(other.send(HEARTBEAT_PING, second), TimeoutError);
    m_client->reset();
    const std::string fresh = m_client->connect();
    EXPECT_NE(first, fresh);
    EXPECT_NE(second, fresh);
    EXPECT_EQ(NONE_PENDING, m_client->send(GET_FIRST_CALLED_BLOCK, fresh).get_type());
}

TEST_F(FaultInjectionTest, BadRequestCarriesTheRuleText) {
    auto fault = rule(FaultAction::bad_request, GET_STATISTICS);
    fault.text = "statistics are off today";
    add(fault);
    try {
        m_client->send(GET_STATISTICS);
        FAIL() << "expected a bad request";
    } catch (const BadRequest& error) {
        EXPECT_EQ("Bad request message: GET_STATISTICS. statistics are off today", std::string(error.what()));
    }
    m_client->reset();
    EXPECT_EQ(RETURN_STATISTICS, m_client->send(GET_STATISTICS).get_type());
}

TEST_F(FaultInjectionTest, SilenceSendsNoReply) {
    add(rule(FaultAction::silence, HEARTBEAT_PING));
    EXPECT_THROW(m_client->send(HEARTBEAT_PING), TimeoutError);
    m_client->reset();
    EXPECT_EQ(HEARTBEAT_ECHO, m_client->send(HEARTBEAT_PING).get_type());
    EXPECT_EQ(2U, m_server->request_log().count(HEARTBEAT_PING));
}

TEST_F(FaultInjectionTest, DelayHoldsTheReplyBackWithoutBlockingOthers) {
    auto fault = rule(FaultAction::delay, GET_CONFIGS);
    fault.delay = 150ms;
    add(fault);
    TestClient patient(m_server->endpoint(), reply_timeout_ms);
    const auto start = std::chrono::steady_clock::now();
    auto delayed = std::async(std::launch::async, [&patient] { return patient.send(GET_CONFIGS).get_type(); });
    ASSERT_TRUE(m_server->request_log().wait_for_count(GET_CONFIGS, 1, condition_timeout));
    EXPECT_EQ(HEARTBEAT_ECHO, m_client->send(HEARTBEAT_PING).get_type());  // served meanwhile
    EXPECT_EQ(RETURN_CONFIGS, delayed.get());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
}

TEST_F(FaultInjectionTest, MalformedRepliesAreBadReplies) {
    add(rule(FaultAction::malformed_short, HEARTBEAT_PING, 1, 1));
    add(rule(FaultAction::malformed_identifier, HEARTBEAT_PING, 1, 2));
    add(rule(FaultAction::malformed_content, HEARTBEAT_PING, 1, 3));
    for (int i = 0; i < 3; ++i) {
        EXPECT_THROW(m_client->send(HEARTBEAT_PING), BadReply) << i;
    }
    EXPECT_EQ(HEARTBEAT_ECHO, m_client->send(HEARTBEAT_PING).get_type());
}

TEST_F(FaultInjectionTest, WrongCalledReads) {
    const std::string reference = random_sequence(2000, 5);
    const auto fasta = m_dir.write("ref.fa", ">chr\n" + reference + "\n");
    ASSERT_EQ(SUCCESS, m_client->send(LOAD_INDEX, "", 0, fasta).get_type());
    const std::string id = m_client->connect("dna_sim_fast", "t", ">align_ref=" + fasta);
    add(rule(FaultAction::unknown_read_tag, GET_FIRST_CALLED_BLOCK));
    add(rule(FaultAction::zero_duration, GET_FIRST_CALLED_BLOCK, 1, 2));
    add(rule(FaultAction::oversized_genome_name, GET_FIRST_CALLED_BLOCK, 1, 3));
    // No read waiting: the corruption rules do not count this request.
    EXPECT_EQ(NONE_PENDING, m_client->send(GET_FIRST_CALLED_BLOCK, id).get_type());
    for (std::uint32_t tag = 1; tag <= 4; ++tag) {
        ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, simulated_read(tag, reference.substr(100 * tag, 80))));
    }
    const auto unknown = m_client->fetch_read(id);
    EXPECT_NE(1U, unknown.tag);
    const auto zero = m_client->fetch_read(id);
    EXPECT_EQ(2U, zero.tag);
    EXPECT_EQ(0U, zero.duration);
    const auto oversized = m_client->fetch_read(id);
    ASSERT_EQ(1U, oversized.genomes.size());
    EXPECT_EQ(300U, oversized.genomes[0].size());
    const auto clean = m_client->fetch_read(id);
    EXPECT_EQ(4U, clean.tag);
    EXPECT_EQ("chr", clean.genomes.at(0));
    EXPECT_EQ(400U, clean.genome_starts.at(0));
    EXPECT_NE(0U, clean.duration);
}

TEST_F(FaultInjectionTest, RulesSelectByClientNameAndOccurrence) {
    TestClient other(m_server->endpoint(), short_poll_timeout_ms);
    const std::string alice = m_client->connect("dna_sim_fast", "alice");
    const std::string bob = other.connect("dna_sim_fast", "bob");
    auto fault = rule(FaultAction::none_pending, GET_FIRST_CALLED_BLOCK, 1, 2);
    fault.client = "bob";
    const auto index = add(fault);
    const TestRead read = simulated_read(1, random_sequence(60, 1));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(alice, read));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, other.pass_read(bob, read));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, other.pass_read(bob, simulated_read(2, random_sequence(60, 2))));
    EXPECT_EQ(read.sequence, m_client->fetch_read(alice).sequence);               // alice: not affected
    EXPECT_EQ(1U, other.fetch_read(bob).tag);                                     // bob's 1st: not yet
    EXPECT_EQ(NONE_PENDING, other.send(GET_FIRST_CALLED_BLOCK, bob).get_type());  // bob's 2nd
    EXPECT_EQ(2U, other.fetch_read(bob).tag);                                     // bob's 3rd: over
    EXPECT_EQ(1U, m_server->faults().times_fired(index));
}

TEST_F(FaultInjectionTest, RulesFromTheCommandLineSyntax) {
    add(parse_fault_rule("loading,request=LOAD_CONFIG,from=2,count=1"));
    EXPECT_EQ(SUCCESS, m_client->send(LOAD_CONFIG, "", 0, "dna_sim_fast").get_type());
    EXPECT_EQ(LOADING, m_client->send(LOAD_CONFIG, "", 0, "dna_sim_fast").get_type());
    EXPECT_EQ(SUCCESS, m_client->send(LOAD_CONFIG, "", 0, "dna_sim_fast").get_type());
}

TEST_F(FaultInjectionTest, AClientAwaitingItsLateRegistrationIsNotForgotten) {
    // The CONNECT carries no id yet; its silence still counts from the end of the late CONNECTED.
    const auto limit = test_support::time_margin(300ms);
    TestClient patient(m_server->endpoint(), reply_timeout_ms);
    ASSERT_EQ(SUCCESS, patient.send(LOAD_CONFIG, "", 0, "dna_sim_fast").get_type());
    auto fault = rule(FaultAction::delay, CONNECT);
    fault.delay = 3 * limit;
    add(fault);
    auto late = std::async(std::launch::async, [&] {
        return patient.send(CONNECT, "", 1,
                            "dna_sim_fast:>timeout_interval=" + std::to_string(limit.count()) + ">client_name=patient");
    });
    ASSERT_TRUE(m_server->request_log().wait_for_count(CONNECT, 1, condition_timeout));
    std::this_thread::sleep_for(2 * limit);
    EXPECT_EQ(RETURN_CONFIGS, m_client->send(GET_CONFIGS).get_type());
    const Message connected = late.get();
    ASSERT_EQ(CONNECTED, connected.get_type());
    EXPECT_EQ(HEARTBEAT_ECHO,
              patient.send(HEARTBEAT_PING, connected.get_message_data()->client_id()->str()).get_type());
}

TEST_F(FaultInjectionTest, AClientAwaitingALateReplyIsNotForgotten) {
    // Its silence counts from the end of that reply, and no other client's request forgets it meanwhile.
    const auto limit = test_support::time_margin(300ms);
    TestClient patient(m_server->endpoint(), reply_timeout_ms);
    ASSERT_EQ(SUCCESS, patient.send(LOAD_CONFIG, "", 0, "dna_sim_fast").get_type());
    const Message connected = patient.send(
            CONNECT, "", 1, "dna_sim_fast:>timeout_interval=" + std::to_string(limit.count()) + ">client_name=patient");
    ASSERT_EQ(CONNECTED, connected.get_type());
    const std::string id = connected.get_message_data()->client_id()->str();
    auto fault = rule(FaultAction::delay, HEARTBEAT_PING);
    fault.client = "patient";
    fault.delay = 3 * limit;
    add(fault);
    auto late = std::async(std::launch::async, [&] { return patient.send(HEARTBEAT_PING, id).get_type(); });
    ASSERT_TRUE(m_server->request_log().wait_for_count(HEARTBEAT_PING, 1, condition_timeout));
    std::this_thread::sleep_for(2 * limit);
    EXPECT_EQ(RETURN_CONFIGS, m_client->send(GET_CONFIGS).get_type());
    ASSERT_EQ(HEARTBEAT_ECHO, late.get());
    EXPECT_EQ(HEARTBEAT_ECHO, patient.send(HEARTBEAT_PING, id).get_type());
}
