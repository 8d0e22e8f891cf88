#include "basecall_client/server_proxy.h"

#include "ipc_tools/request_errors.h"
#include "reference_server/barcode_kits.h"
#include "reference_server/reference_server.h"
#include "reference_server/reply_builder.h"
#include "scripted_server.h"
#include "tests/reference_server/server_test_support.h"

#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace basecall_service::server_proxy;
using reference_server::FaultAction;
using reference_server::FaultRule;

// Time-out of queries meant to be answered.
const std::uint32_t TIMEOUT_MS = 2000 * test_support::slow_factor;

class ServerProxyTest : public ::testing::Test {
protected:
    ServerProxyTest() : server(make_options()) {}

    reference_server::ServerOptions make_options() const {
        reference_server::ServerOptions options;
        options.address = temp.ipc_endpoint();
        options.quiet = true;
        return options;
    }

    void add_fault(FaultAction action, ipc_tools::MessageType request, std::string text = {}) {
        FaultRule rule;
        rule.action = action;
        rule.request = request;
        rule.text = std::move(text);
        server.faults().add(rule);
    }

    server_test::TempDir temp;
    reference_server::ReferenceServer server;
};

TEST_F(ServerProxyTest, barcode_kits_come_back_in_server_order_with_every_field) {
    const auto kits = get_barcode_kits(server.endpoint(), TIMEOUT_MS);
    const auto& expected = reference_server::builtin_barcode_kits();
    ASSERT_EQ(kits.size(), expected.size());
    for (std::size_t i = 0; i < kits.size(); ++i) {
        EXPECT_EQ(kits[i].kit_name, expected[i].name);
        EXPECT_EQ(kits[i].first_index, static_cast<std::int32_t>(expected[i].first_index));
        EXPECT_EQ(kits[i].last_index, static_cast<std::int32_t>(expected[i].last_index));
        EXPECT_EQ(kits[i].first_inner_index, static_cast<std::int32_t>(expected[i].first_inner_index));
        EXPECT_EQ(kits[i].last_inner_index, static_cast<std::int32_t>(expected[i].last_inner_index));
        EXPECT_EQ(kits[i].is_dual, expected[i].is_dual);
        EXPECT_EQ(kits[i].is_both_ends, expected[i].is_both_ends);
        EXPECT_EQ(kits[i].suffix_12a, expected[i].suffix_12a);
        EXPECT_EQ(kits[i].naming_pattern, expected[i].naming_pattern);
    }
    // Queries register nothing and always carry an empty client id.
    const auto entries = server.request_log().entries_from(0);
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].type, ipc_tools::GET_BARCODE_KITS);
    EXPECT_EQ(entries[0].client_id, "");
}

TEST_F(ServerProxyTest, lamp_kits_keep_their_targets_in_order) {
    const auto kits = get_lamp_kits(server.endpoint(), TIMEOUT_MS);
    const auto& expected = reference_server::builtin_lamp_kits();
    ASSERT_EQ(kits.size(), expected.size());
    ASSERT_FALSE(kits.empty());
    EXPECT_EQ(kits[0].kit_name, expected[0].name);
    EXPECT_EQ(kits[0].first_index, static_cast<std::int32_t>(expected[0].first_index));
    EXPECT_EQ(kits[0].last_index, static_cast<std::int32_t>(expected[0].last_index));
    EXPECT_EQ(kits[0].naming_pattern, expected[0].naming_pattern);
    EXPECT_EQ(kits[0].targets, expected[0].targets);
}

TEST_F(ServerProxyTest, statistics_of_a_server_without_clients_has_no_client_entries) {
    const auto stats = get_server_statistics(server.endpoint(), TIMEOUT_MS);
    EXPECT_EQ(stats.lifetime_reads_in, 0U);
    EXPECT_EQ(stats.period_reads_out, 0U);
    EXPECT_TRUE(stats.client_statistics.empty());
}

TEST_F(ServerProxyTest, statistics_list_one_entry_per_connected_client) {
    server_test::TestClient client(server.endpoint());
    client.connect("dna_sim_fast", "one");
    client.connect("dna_sim_fast", "two");
    const auto stats = get_server_statistics(server.endpoint(), TIMEOUT_MS);
    EXPECT_EQ(stats.client_statistics.size(), 2U);
}

TEST_F(ServerProxyTest, internal_state_is_json_with_server_information) {
    const std::string state = get_server_internal_state(server.endpoint(), TIMEOUT_MS);
    const std::string info = extract_server_information(state);
    EXPECT_EQ(info.front(), '{');
    EXPECT_EQ(info.find('\n'), std::string::npos);  // compact
    EXPECT_NE(info.find("\"server_version\":\"7.2.15+reference\""), std::string::npos);
}

TEST(ServerInformation, missing_member_or_non_object_text_fails_clearly) {
    // Nesting deep enough to exhaust the stack of a recursive parser is refused, not parsed.
    const std::string deep = "{\"ServerInformation\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    for (const std::string& text :
         {std::string("{\"Other\":1}"), std::string("[1,2]"), std::string("not json"), std::string(), deep}) {
        try {
            extract_server_information(text);
            ADD_FAILURE() << "no exception for " << text.substr(0, 40);
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "ServerInformation field not found in internal state json.");
        }
    }
    EXPECT_EQ(extract_server_information("{ \"ServerInformation\" : { \"a\" : [1, 2] } }"), "{\"a\":[1,2]}");
    // Brackets inside strings are text, not nesting.
    const std::string brackets(1000, '[');
    EXPECT_EQ(extract_server_information("{\"ServerInformation\":{\"b\":\"" + brackets + "\\\"\"}}"),
              "{\"b\":\"" + brackets + "\\\"\"}");
}

TEST_F(ServerProxyTest, aligner_help_and_version_split_at_last_newline) {
    std::string help;
    std::string version;
    get_server_minimap_help_and_version(help, version, server.endpoint(), TIMEOUT_MS);
    EXPECT_EQ(version, "reference_aligner-1.0");
    EXPECT_EQ(help.rfind("Usage: reference aligner", 0), 0U);
    EXPECT_NE(help.find('\n'), std::string::npos);  // inner newlines stay in the help
    EXPECT_NE(help.back(), '\n');
}

TEST(MinimapSplit, edge_cases) {
    std::string help = "old help";
    std::string version = "old version";
    split_minimap_help_and_version("\nv2", help, version);
    EXPECT_EQ(help, "");
    EXPECT_EQ(version, "v2");

    for (const std::string text : {"no newline", "ends with newline\n", ""}) {
        help = "keep";
        version = "keep too";
        try {
            split_minimap_help_and_version(text, help, version);
            ADD_FAILURE() << "no exception for " << text.substr(0, 40);
        } catch (const ipc_tools::InvalidResponse& error) {
            EXPECT_STREQ(error.what(),
                         "Could not retrieve minimap help from server, invalid reply, missing version information");
        }
        EXPECT_EQ(help, "keep");
        EXPECT_EQ(version, "keep too");
    }
}

TEST_F(ServerProxyTest, link_failures_pass_through_as_the_brokers_exceptions) {
    add_fault(FaultAction::bad_request, ipc_tools::GET_BARCODE_KITS, "no kits for you");
    EXPECT_THROW(get_barcode_kits(server.endpoint(), TIMEOUT_MS), ipc_tools::BadRequest);

    add_fault(FaultAction::malformed_short, ipc_tools::GET_LAMP_KITS);
    EXPECT_THROW(get_lamp_kits(server.endpoint(), TIMEOUT_MS), ipc_tools::BadReply);

    add_fault(FaultAction::malformed_content, ipc_tools::GET_STATISTICS);
    EXPECT_THROW(get_server_statistics(server.endpoint(), TIMEOUT_MS), ipc_tools::BadReply);

    add_fault(FaultAction::client_not_recognised, ipc_tools::QUERY);
    EXPECT_THROW(get_server_internal_state(server.endpoint(), TIMEOUT_MS), ipc_tools::TimeoutError);

    // Every query has its own link: after the failures above a plain query still works.
    EXPECT_FALSE(get_barcode_kits(server.endpoint(), TIMEOUT_MS).empty());
}

TEST_F(ServerProxyTest, silent_server_times_out_and_aligner_outputs_stay_unchanged) {
    FaultRule rule;
    rule.action = FaultAction::silence;
    rule.count.reset();
    server.faults().add(rule);
    std::string help = "h";
    std::string version = "v";
    EXPECT_THROW(
            get_server_minimap_help_and_version(help, version, server.endpoint(), server_test::short_poll_timeout_ms),
            ipc_tools::TimeoutError);
    EXPECT_EQ(help, "h");
    EXPECT_EQ(version, "v");
}

TEST(ServerProxyNoServer, every_query_times_out) {
    server_test::TempDir temp;
    const std::string nowhere = temp.ipc_endpoint();
    const auto timeout = server_test::short_poll_timeout_ms;
    EXPECT_THROW(get_barcode_kits(nowhere, timeout), ipc_tools::TimeoutError);
    EXPECT_THROW(get_lamp_kits(nowhere, timeout), ipc_tools::TimeoutError);
    EXPECT_THROW(get_server_statistics(nowhere, timeout), ipc_tools::TimeoutError);
    EXPECT_THROW(get_server_internal_state(nowhere, timeout), ipc_tools::TimeoutError);
}

// Replies of the wrong type, and well-typed replies with missing parts.
class ScriptedProxyTest : public ::testing::Test {
protected:
    std::string invalid_response_text(const std::function<void()>& query) {
        try {
            query();
        } catch (const ipc_tools::InvalidResponse& error) {
            return error.what();
        }
        return "<no InvalidResponse>";
    }

    server_test::TempDir temp;
};

TEST_F(ScriptedProxyTest, wrong_reply_types_name_the_reply) {
    engine_test::ScriptedServer scripted(temp.ipc_endpoint(), [](const ipc_tools::Message&) {
        return ipc_tools::Message(ipc_tools::REQUEST_FAILED, "", 0, "aligner not available");
    });
    const auto& address = scripted.endpoint();
    EXPECT_EQ(invalid_response_text([&] { get_barcode_kits(address, TIMEOUT_MS); }),
              "Could not retrieve barcode kits from server, invalid reply: REQUEST_FAILED");
    EXPECT_EQ(invalid_response_text([&] { get_lamp_kits(address, TIMEOUT_MS); }),
              "Could not retrieve lamp kits from server, invalid reply: REQUEST_FAILED");
    EXPECT_EQ(invalid_response_text([&] { get_server_statistics(address, TIMEOUT_MS); }),
              "Could not retrieve statistics from server, invalid reply: REQUEST_FAILED");
    EXPECT_EQ(invalid_response_text([&] { get_server_internal_state(address, TIMEOUT_MS); }),
              "Could not retrieve state from server, invalid reply: REQUEST_FAILED");
    std::string help = "h";
    std::string version = "v";
    EXPECT_EQ(invalid_response_text([&] { get_server_minimap_help_and_version(help, version, address, TIMEOUT_MS); }),
              "Could not retrieve minimap help from server, invalid reply: REQUEST_FAILED aligner not available");
    EXPECT_EQ(help, "h");
    EXPECT_EQ(version, "v");

    const auto requests = scripted.requests();
    ASSERT_EQ(requests.size(), 5U);
    EXPECT_EQ(requests[3].first, ipc_tools::QUERY);
}

TEST_F(ScriptedProxyTest, reply_without_content_reads_as_empty) {
    // A RETURN_CONFIGS without kit lists, a RESPONSE without text.
    engine_test::ScriptedServer scripted(temp.ipc_endpoint(), [](const ipc_tools::Message& request) {
        if (request.get_type() == ipc_tools::QUERY) {
            return ipc_tools::Message(ipc_tools::RESPONSE, "", 0, "");
        }
        return reference_server::reply_builder::configurations("", {});
    });
    EXPECT_TRUE(get_barcode_kits(scripted.endpoint(), TIMEOUT_MS).empty());
    EXPECT_TRUE(get_lamp_kits(scripted.endpoint(), TIMEOUT_MS).empty());
    EXPECT_EQ(get_server_internal_state(scripted.endpoint(), TIMEOUT_MS), "");
}

TEST_F(ScriptedProxyTest, kit_tables_with_absent_fields_decode_to_defaults) {
    engine_test::ScriptedServer scripted(temp.ipc_endpoint(), [](const ipc_tools::Message& request) {
        if (request.get_type() == ipc_tools::GET_LAMP_KITS) {
            reference_server::LampKit bare;  // no name, no pattern, no targets
            bare.first_index = 0;
            bare.last_index = 0;
            return reference_server::reply_builder::lamp_kits("", {bare});
        }
        reference_server::BarcodeKit flagged;
        flagged.name = "third_flag";
        flagged.suffix_12a = true;
        reference_server::BarcodeKit big;
        big.name = "big";
        big.first_index = 0xFFFFFFFFU;  // the 32 bits are kept as they are
        big.naming_pattern.clear();
        return reference_server::reply_builder::barcode_kits("", {flagged, big});
    });
    const auto kits = get_barcode_kits(scripted.endpoint(), TIMEOUT_MS);
    ASSERT_EQ(kits.size(), 2U);
    EXPECT_EQ(kits[0].kit_name, "third_flag");
    EXPECT_TRUE(kits[0].suffix_12a);
    EXPECT_FALSE(kits[0].is_dual);
    EXPECT_EQ(kits[0].first_inner_index, 0);
    EXPECT_EQ(kits[0].last_inner_index, 0);
    EXPECT_EQ(kits[1].kit_name, "big");
    EXPECT_EQ(kits[1].first_index, -1);
    EXPECT_EQ(kits[1].naming_pattern, "");

    const auto lamp = get_lamp_kits(scripted.endpoint(), TIMEOUT_MS);
    ASSERT_EQ(lamp.size(), 1U);
    EXPECT_EQ(lamp[0].kit_name, "");
    EXPECT_EQ(lamp[0].first_index, 0);
    EXPECT_TRUE(lamp[0].targets.empty());
}

TEST_F(ScriptedProxyTest, statistics_copy_every_counter_and_client_in_order) {
    engine_test::ScriptedServer scripted(temp.ipc_endpoint(), [](const ipc_tools::Message&) {
        reference_server::reply_builder::Statistics stats;
        stats.lifetime_reads_in = 1ULL << 40;
        stats.lifetime_reads_out = 2;
        stats.period_reads_in = 3;
        stats.period_reads_out = 4;
        stats.clients = {{5, 6}, {7, 8}};
        return reference_server::reply_builder::statistics("", stats);
    });
    const auto stats = get_server_statistics(scripted.endpoint(), TIMEOUT_MS);
    EXPECT_EQ(stats.lifetime_reads_in, 1ULL << 40);
    EXPECT_EQ(stats.lifetime_reads_out, 2U);
    EXPECT_EQ(stats.period_reads_in, 3U);
    EXPECT_EQ(stats.period_reads_out, 4U);
    ASSERT_EQ(stats.client_statistics.size(), 2U);
    EXPECT_EQ(stats.client_statistics[0].input_read_count, 5U);
    EXPECT_EQ(stats.client_statistics[0].output_read_count, 6U);
    EXPECT_EQ(stats.client_statistics[1].input_read_count, 7U);
    EXPECT_EQ(stats.client_statistics[1].output_read_count, 8U);
}

}  // namespace
