// The one-shot server queries against the reference server program, and the kit naming rules.

#include "api_test_support.h"
#include "client_api/server_query.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>

using namespace vexil::server_query;
using vexil::Result;

namespace {

/// Time-out of queries that the server answers: only silence would use it up.
const std::uint32_t TIMEOUT_MS = 5000 * api_test::slow_factor;

/// The out_of_range text of a naming call, or "<no exception>".
std::string range_error(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::out_of_range& error) {
        return error.what();
    }
    return "<no exception>";
}

/// Every query with outputs that hold a marker beforehand; `untouched` says whether they still do.
struct QueryOutputs {
    std::vector<BarcodeKitDefinition> barcode_kits{
            BarcodeKitDefinition("mine", 1, 2, 0, 0, false, false, false, "b%02i")};
    std::vector<LampKitDefinition> lamp_kits{LampKitDefinition("mine", 1, 2, "l%i", {})};
    ServerStatistics stats{7, 7, 7, 7, {}};
    std::string info = "kept";
    std::string state = "kept";
    std::string help = "kept";
    std::string version = "kept";

    std::vector<Result> run_all(const std::string& address, std::uint32_t timeout_ms) {
        return {get_barcode_kits(barcode_kits, address, timeout_ms),
                get_lamp_kits(lamp_kits, address, timeout_ms),
                get_server_statistics(stats, address, timeout_ms),
                get_server_information(info, address, timeout_ms),
                get_server_internal_state(state, address, timeout_ms),
                get_server_minimap_help(help, version, address, timeout_ms)};
    }
    bool untouched() const {
        return barcode_kits.size() == 1 && lamp_kits.size() == 1 && stats.lifetime_reads_in == 7 &&
               stats.period_reads_out == 7 && info == "kept" && state == "kept" && help == "kept" && version == "kept";
    }
};

}  // namespace

TEST(ServerQueries, AnswersOfTheReferenceServer) {
    const api_test::ServerProcess server;
    QueryOutputs outputs;
    for (const Result result : outputs.run_all(server.address(), TIMEOUT_MS)) {
        EXPECT_EQ(Result::success, result);
    }
    // Kits are appended after what the vector held; a second call appends again.
    ASSERT_EQ(3U, outputs.barcode_kits.size());
    EXPECT_EQ("mine", outputs.barcode_kits[0].kit_name());
    EXPECT_EQ("SIM-BC12", outputs.barcode_kits[1].kit_name());
    EXPECT_EQ("SIM-BC96", outputs.barcode_kits[2].kit_name());
    EXPECT_EQ(12, outputs.barcode_kits[1].last_index());
    ASSERT_EQ(Result::success, get_barcode_kits(outputs.barcode_kits, server.address(), TIMEOUT_MS));
    EXPECT_EQ(5U, outputs.barcode_kits.size());

    ASSERT_EQ(2U, outputs.lamp_kits.size());
    EXPECT_EQ("SIM-LAMP", outputs.lamp_kits[1].kit_name());
    EXPECT_FALSE(outputs.lamp_kits[1].targets().empty());

    EXPECT_EQ(0U, outputs.stats.lifetime_reads_in);
    const auto state = nlohmann::json::parse(outputs.state);
    ASSERT_TRUE(state.contains("ServerInformation"));
    // The information is the same member, written compactly.
    EXPECT_EQ(state["ServerInformation"], nlohmann::json::parse(outputs.info));
    EXPECT_EQ(std::string::npos, outputs.info.find('\n'));
    EXPECT_FALSE(outputs.help.empty());
    EXPECT_FALSE(outputs.version.empty());
}

TEST(ServerQueries, NoServerTimesOutWithinTheTimeOutAndWritesNothing) {
    const api_test::TempDir dir;
    // A silent link costs one poll of the time-out, not the four of a working connection's retries.
    const std::uint32_t timeout_ms = 300 * (api_test::slow_factor > 1 ? 4 : 1);
    QueryOutputs outputs;
    const auto start = std::chrono::steady_clock::now();
    for (const Result result : outputs.run_all(dir.ipc_endpoint(), timeout_ms)) {
        EXPECT_EQ(Result::timed_out, result);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(outputs.untouched());
    EXPECT_GE(elapsed, std::chrono::milliseconds(6 * timeout_ms));
    EXPECT_LT(elapsed, std::chrono::milliseconds(6 * timeout_ms) * 3 / 2);
}

TEST(ServerQueries, FaultyRepliesBecomeCodesAndWriteNothing) {
    struct Case {
        const char* fault;
        Result expected;
    };
    const Case cases[] = {
            {"bad_request,count=forever", Result::bad_request},
            {"not_ready,count=forever", Result::invalid_response},
            {"malformed_content,count=forever", Result::bad_reply},
            {"malformed_short,count=forever", Result::bad_reply},
    };
    for (const auto& item : cases) {
        const api_test::ServerProcess server({"--fault", item.fault});
        QueryOutputs outputs;
        for (const Result result : outputs.run_all(server.address(), TIMEOUT_MS)) {
            EXPECT_EQ(item.expected, result) << item.fault;
        }
        EXPECT_TRUE(outputs.untouched()) << item.fault;
    }
}

TEST(KitDefinitions, BarcodeNamesFollowTheKitsRules) {
    const BarcodeKitDefinition twelve("kit", 1, 12, 0, 0, false, true, true, "barcode%02i");
    EXPECT_EQ("barcode12a", twelve.generate_barcode_name(12, 99));
    EXPECT_EQ("barcode11", twelve.generate_barcode_name(11, 0));
    EXPECT_EQ("barcode05", twelve.generate_barcode_name(5, 0));
    EXPECT_EQ(
            "barcode12",
            BarcodeKitDefinition("kit", 1, 12, 0, 0, false, false, false, "barcode%02i").generate_barcode_name(12, 0));
    EXPECT_EQ("get_outer_barcode index 13 out of range [1 .. 12]",
              range_error([&] { twelve.generate_barcode_name(13, 0); }));
    const BarcodeKitDefinition copy = twelve;
    EXPECT_EQ("kit", copy.kit_name());
    EXPECT_TRUE(copy.is_both_ends());
    EXPECT_FALSE(copy.is_dual());

    const BarcodeKitDefinition dual("dual", 1, 12, 1, 96, true, false, false, "barcode%02i");
    EXPECT_EQ("barcode_external03_internal05", dual.generate_barcode_name(3, 5));
    EXPECT_EQ("get_inner_barcode index 97 out of range [1 .. 96]",
              range_error([&] { dual.generate_barcode_name(3, 97); }));

    // Without a valid outer range the pattern is the name, whatever the indices.
    EXPECT_EQ("barcode%02i",
              BarcodeKitDefinition("k", -1, 12, 0, 0, false, false, false, "barcode%02i").generate_barcode_name(5, 5));
    EXPECT_EQ(
            "barcode%02i",
            BarcodeKitDefinition("k", 13, 12, 0, 0, true, false, false, "barcode%02i").generate_barcode_name(200, 200));
    EXPECT_THROW(BarcodeKitDefinition("k", 1, 12, 0, 0, false, false, false, "bad%d").generate_barcode_name(1, 0),
                 std::runtime_error);

    const LampKitDefinition lamp("lamp", 1, 12, "FIP%02i", {"a", "b"});
    EXPECT_EQ("FIP12", lamp.generate_barcode_name(12));
    EXPECT_EQ(2U, lamp.targets().size());
    EXPECT_EQ("get_barcode index 0 out of range [1 .. 12]", range_error([&] { lamp.generate_barcode_name(0); }));
    EXPECT_EQ("FIP%02i", LampKitDefinition("lamp", 5, 1, "FIP%02i", {}).generate_barcode_name(3));
}
