#include "reference_server/fault_rules.h"

#include <gtest/gtest.h>

using namespace reference_server;
using namespace ipc_tools;

TEST(FaultRuleParsing, ReadsEveryKey) {
    const auto rule = parse_fault_rule("delay,request=GET_CONFIGS,client=worker_1,from=3,count=2,delay=150");
    EXPECT_EQ(FaultAction::delay, rule.action);
    ASSERT_TRUE(rule.request);
    EXPECT_EQ(GET_CONFIGS, *rule.request);
    EXPECT_EQ("worker_1", rule.client.value_or(""));
    EXPECT_EQ(3U, rule.from);
    EXPECT_EQ(2U, rule.count.value_or(0));
    EXPECT_EQ(150, rule.delay.count());

    const auto defaults = parse_fault_rule("silence");
    EXPECT_FALSE(defaults.request);
    EXPECT_FALSE(defaults.client);
    EXPECT_EQ(1U, defaults.from);
    EXPECT_EQ(1U, defaults.count.value_or(0));

    EXPECT_FALSE(parse_fault_rule("loading,count=forever").count);
    // The text runs to the end, commas included.
    EXPECT_EQ("no, not now", parse_fault_rule("bad_request,request=CONNECT,text=no, not now").text);
}

TEST(FaultRuleParsing, RefusesBadRulesWithAClearMessage) {
    EXPECT_THROW(parse_fault_rule("explode"), std::invalid_argument);
    EXPECT_THROW(parse_fault_rule("loading,request=NOT_A_TYPE"), std::invalid_argument);
    EXPECT_THROW(parse_fault_rule("loading,count=-1"), std::invalid_argument);
    EXPECT_THROW(parse_fault_rule("loading,count=two"), std::invalid_argument);
    EXPECT_THROW(parse_fault_rule("loading,from=0"), std::invalid_argument);
    EXPECT_THROW(parse_fault_rule("loading,colour=red"), std::invalid_argument);
    EXPECT_THROW(parse_fault_rule("loading,count"), std::invalid_argument);
    try {
        parse_fault_rule("explode");
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string::npos, std::string(error.what()).find("restart"));  // lists the actions
    }
}

TEST(FaultRuleParsing, EveryActionNameRoundTrips) {
    for (const char* name :
         {"loading", "not_ready", "none_pending", "reads_lost", "client_not_recognised", "restart", "bad_request",
          "silence", "delay", "malformed_short", "malformed_identifier", "malformed_content", "unknown_read_tag",
          "zero_duration", "oversized_genome_name", "repeated_block"}) {
        EXPECT_EQ(name, to_string(fault_action_from_string(name)));
    }
}

TEST(FaultInjector, FiresOnlyOnTheChosenOccurrencesOfTheChosenRequest) {
    FaultInjector injector;
    FaultRule rule;
    rule.action = FaultAction::loading;
    rule.request = LOAD_CONFIG;
    rule.from = 2;
    rule.count = 2;
    const auto index = injector.add(rule);
    EXPECT_FALSE(injector.check(GET_CONFIGS, "", "", false));  // other types are not counted
    EXPECT_FALSE(injector.check(LOAD_CONFIG, "", "", false));  // 1st
    EXPECT_TRUE(injector.check(LOAD_CONFIG, "", "", false));   // 2nd
    EXPECT_TRUE(injector.check(LOAD_CONFIG, "", "", false));   // 3rd
    EXPECT_FALSE(injector.check(LOAD_CONFIG, "", "", false));  // 4th
    EXPECT_EQ(2U, injector.times_fired(index));
}

TEST(FaultInjector, ForeverKeepsFiring) {
    FaultInjector injector;
    FaultRule rule;
    rule.action = FaultAction::silence;
    rule.count.reset();
    injector.add(rule);
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(injector.check(HEARTBEAT_PING, "", "", false));
    }
}

TEST(FaultInjector, ClientFilterMatchesIdOrName) {
    FaultInjector injector;
    FaultRule rule;
    rule.action = FaultAction::not_ready;
    rule.client = "alice";
    rule.count.reset();
    injector.add(rule);
    EXPECT_TRUE(injector.check(PASS_READ_BATCH, "client_1", "alice", false));
    EXPECT_TRUE(injector.check(PASS_READ_BATCH, "alice", "", false));
    EXPECT_FALSE(injector.check(PASS_READ_BATCH, "client_2", "bob", false));
    EXPECT_FALSE(injector.check(PASS_READ_BATCH, "", "", false));
}

TEST(FaultInjector, ReadCorruptionsWaitForARead) {
    FaultInjector injector;
    FaultRule rule;
    rule.action = FaultAction::zero_duration;
    const auto index = injector.add(rule);
    EXPECT_FALSE(injector.check(GET_FIRST_CALLED_BLOCK, "c", "", false));
    EXPECT_FALSE(injector.check(GET_FIRST_CALLED_BLOCK, "c", "", false));
    const auto fired = injector.check(GET_FIRST_CALLED_BLOCK, "c", "", true);
    ASSERT_TRUE(fired);
    EXPECT_EQ(FaultAction::zero_duration, fired->rule.action);
    EXPECT_FALSE(injector.check(GET_FIRST_CALLED_BLOCK, "c", "", true));
    EXPECT_EQ(1U, injector.times_fired(index));
}

TEST(FaultInjector, FirstFiringRuleWinsButEveryMatchingRuleCounts) {
    FaultInjector injector;
    FaultRule first;
    first.action = FaultAction::bad_request;
    first.request = HEARTBEAT_PING;
    FaultRule second;
    second.action = FaultAction::silence;
    second.request = HEARTBEAT_PING;
    second.from = 2;
    injector.add(first);
    injector.add(second);
    EXPECT_EQ(FaultAction::bad_request, injector.check(HEARTBEAT_PING, "", "", false)->rule.action);
    EXPECT_EQ(FaultAction::silence, injector.check(HEARTBEAT_PING, "", "", false)->rule.action);
    EXPECT_FALSE(injector.check(HEARTBEAT_PING, "", "", false));
    injector.clear();
    EXPECT_EQ(0U, injector.size());
}
