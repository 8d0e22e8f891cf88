// A client that never reaches a server: refusals, settings, validation and the state report.

#include "api_test_support.h"
#include "client_api/vexil_client.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

using vexil::PassReadResult;
using vexil::Result;
using vexil::VexilClient;
using Metadata = bass::data_wrappers::Metadata;

namespace {

const char* const ADDRESS = "ipc:///tmp/vexil_api_nothing_listens_here.sock";

nlohmann::ordered_json client_report(const VexilClient& client) {
    return nlohmann::ordered_json::parse(client.get_internal_state()).at("VexilClient");
}

}  // namespace

TEST(ClientWithoutConnection, RefusesWorkAndLeavesOutputsAlone) {
    VexilClient client(ADDRESS, "dna_sim_fast", "", false);
    EXPECT_EQ(vexil::ConnectionStatus::disconnected, client.get_status());
    EXPECT_EQ("", client.get_error_message());
    EXPECT_EQ(0U, client.num_completed_reads());
    EXPECT_EQ(Result::no_connection, client.finish(1));
    EXPECT_EQ(Result::no_connection, client.disconnect());

    vexil::Read invalid;
    invalid.set_read_tag(3);
    EXPECT_EQ(PassReadResult::not_accepting_reads, client.pass_read(invalid));
    EXPECT_EQ(3U, invalid.get_read_tag());
    std::vector<vexil::Read> reads;
    reads.push_back(api_test::make_read(1, "ACGT"));
    reads.push_back(api_test::make_read(2, "ACGT"));
    EXPECT_EQ(PassReadResult::not_accepting_reads, client.pass_reads(reads));
    ASSERT_EQ(2U, reads.size());
    EXPECT_EQ(1U, reads[0].get_read_tag());
    EXPECT_EQ(2U, reads[1].get_read_tag());

    std::vector<std::vector<vexil::Read>> completed(1);
    client.get_completed_reads(completed);
    EXPECT_EQ(1U, completed.size());
    Metadata config;
    config.insert("mine", 1);
    EXPECT_EQ(Result::no_connection, client.get_basecalling_config(config));
    EXPECT_EQ(1U, config.size());
    std::string header = "kept";
    EXPECT_EQ(Result::no_connection, client.get_alignment_sam_header(header));
    EXPECT_EQ("kept", header);
    vexil::ConnectedServerInfo info;
    EXPECT_EQ(Result::no_connection, client.get_connected_server_info(info));
}

TEST(ClientSettings, TakenOnlyWithTheirExactTypeAndReportedInOrder) {
    VexilClient client(ADDRESS, "dna_sim_fast", "", false);
    auto report = client_report(client);
    const std::vector<std::string> keys{"status",
                                        "priority",
                                        "m_connection_timeout_ms",
                                        "m_address",
                                        "m_config_name",
                                        "m_barcode_kits",
                                        "m_align_index_file",
                                        "m_bed_file",
                                        "m_minimap2_opt_string",
                                        "m_timeout",
                                        "m_server_file_load_timeout",
                                        "m_block_size",
                                        "m_max_reads_queued",
                                        "m_disable_events",
                                        "m_enable_state_data",
                                        "m_pair_by_channel",
                                        "BasecallClient"};
    std::vector<std::string> reported;
    for (const auto& item : report.items()) {
        reported.push_back(item.key());
    }
    EXPECT_EQ(keys, reported);
    EXPECT_EQ("disconnected", report["status"]);
    EXPECT_EQ(1, report["priority"]);
    EXPECT_EQ(2000, report["m_timeout"]);
    EXPECT_EQ(256000, report["m_block_size"]);
    EXPECT_EQ(true, report["m_disable_events"]);
    EXPECT_EQ(ADDRESS, report["m_address"]);
    EXPECT_EQ("null", report["BasecallClient"]["client"]);

    Metadata wrong_types;
    wrong_types.insert<std::int32_t>("query_timeout", 5000);
    wrong_types.insert<std::uint32_t>("max_message_size", 1000);
    wrong_types.insert<std::uint64_t>("max_reads_queued", 7);
    wrong_types.insert("post_out", true);
    EXPECT_EQ(Result::success, client.set_params(wrong_types));
    report = client_report(client);
    EXPECT_EQ(2000, report["m_timeout"]);
    EXPECT_EQ(256000, report["m_block_size"]);
    EXPECT_EQ(7, report["m_max_reads_queued"]);
    EXPECT_EQ(true, report["m_enable_state_data"]);

    Metadata right_types;
    right_types.insert<std::uint32_t>("query_timeout", 5000);
    right_types.insert<std::uint64_t>("max_message_size", 1000);
    right_types.insert("move_and_trace_enabled", true);
    right_types.insert("barcode_kits", std::string("SIM-BC12"));
    EXPECT_EQ(Result::success, client.set_params(right_types));
    EXPECT_EQ(Result::success, client.set_priority(vexil::Read::LOW_PRIORITY));
    report = client_report(client);
    EXPECT_EQ(5000, report["m_timeout"]);
    EXPECT_EQ(1000, report["m_block_size"]);
    EXPECT_EQ(false, report["m_disable_events"]);
    EXPECT_EQ("SIM-BC12", report["m_barcode_kits"]);
    EXPECT_EQ(2, report["priority"]);

    // A block size of 0 would divide by zero later: ignored like a value of the wrong type.
    Metadata zero_block;
    zero_block.insert<std::uint64_t>("max_message_size", 0);
    EXPECT_EQ(Result::success, client.set_params(zero_block));
    EXPECT_EQ(1000, client_report(client)["m_block_size"]);

    Metadata text_flag;
    text_flag.insert<std::uint32_t>("server_file_load_timeout", 9);
    text_flag.insert("move_and_trace_enabled", std::string("true"));
    EXPECT_THROW(client.set_params(text_flag), std::out_of_range);
    EXPECT_EQ(9, client_report(client)["m_server_file_load_timeout"]);
}

TEST(ClientWithoutConnection, AnUnresolvableIndexPathLeavesConnectBeforeAnythingChanged) {
    VexilClient client(ADDRESS, "dna_sim_fast", "", false);
    Metadata params;
    params.insert("align_ref", std::string("no/such/folder/reference.fa"));
    ASSERT_EQ(Result::success, client.set_params(params));
    try {
        client.connect();
        FAIL() << "connect accepted an unresolvable path";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(
                0U,
                std::string(error.what()).rfind("Error while converting relative path no/such/folder/reference.fa", 0))
                << error.what();
    }
    EXPECT_EQ(vexil::ConnectionStatus::disconnected, client.get_status());
    EXPECT_EQ(Result::success, client.set_params(Metadata()));
    EXPECT_EQ("null", client_report(client)["BasecallClient"]["client"]);
}

TEST(ClientStateReport, EachClientReportsItselfAndNeverADestroyedOne) {
    auto first = std::make_unique<VexilClient>("ipc:///first", "dna_sim_fast", "", false);
    auto second = std::make_unique<VexilClient>("ipc:///second", "dna_sim_fast", "", false);
    EXPECT_EQ("ipc:///first", client_report(*first)["m_address"]);
    EXPECT_EQ("ipc:///second", client_report(*second)["m_address"]);
    second.reset();
    EXPECT_EQ("ipc:///first", client_report(*first)["m_address"]);
    const VexilClient last("ipc:///last", "dna_sim_fast", "", false);
    first.reset();
    EXPECT_EQ("ipc:///last", client_report(last)["m_address"]);
}

TEST(ClientStateReport, ReportsRacingDestructionsStaySound) {
    std::atomic<bool> stop{false};
    std::thread reporter([&] {
        const VexilClient observer("ipc:///observer", "dna_sim_fast", "", false);
        while (!stop.load()) {
            EXPECT_NO_THROW(client_report(observer));
        }
    });
    for (int i = 0; i < 200; ++i) {
        const VexilClient transient("ipc:///transient", "dna_sim_fast", "", false);
    }
    stop.store(true);
    reporter.join();
}

TEST(ClientWithoutConnection, StartsNoThreadWithOrWithoutAHandler) {
    const auto threads = [] {
        const std::filesystem::directory_iterator entries("/proc/self/task");
        return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
    };
    // What the process sets up once, with its first client, is not counted.
    VexilClient(ADDRESS, "dna_sim_fast", "", false);
    const std::size_t before = threads();
    std::vector<std::unique_ptr<VexilClient>> clients;
    for (int i = 0; i < 20; ++i) {
        clients.push_back(std::make_unique<VexilClient>(ADDRESS, "dna_sim_fast", "", false));
        if (i % 2 == 0) {
            ASSERT_EQ(Result::success, clients.back()->set_state_change_handler(
                                               [](vexil::ConnectionStatus, vexil::ConnectionStatus, std::string) {}));
        }
    }
    EXPECT_EQ(before, threads());
}

TEST(ClientSettings, WrittenAndReportedFromSeveralThreadsAtOnce) {
    VexilClient client(ADDRESS, "dna_sim_fast", "", false);
    std::thread writer([&] {
        for (std::uint32_t i = 0; i < 200; ++i) {
            Metadata params;
            params.insert("barcode_kits", "kit_" + std::to_string(i));
            params.insert<std::uint32_t>("query_timeout", i + 1);
            EXPECT_EQ(Result::success, client.set_params(params));
            EXPECT_EQ(Result::success, client.set_priority(vexil::Read::Priority(i % 3)));
        }
    });
    for (int i = 0; i < 200; ++i) {
        const std::string kits = client_report(client)["m_barcode_kits"];
        EXPECT_TRUE(kits.empty() || kits.rfind("kit_", 0) == 0) << kits;
    }
    writer.join();
    EXPECT_EQ("kit_199", client_report(client)["m_barcode_kits"]);
}

TEST(ClientSettings, ManyClientsSetUpOnSeveralThreadsAtOnce) {
    // Every client names the process's trace files; the first to initialise wins, none may race.
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                VexilClient client(ADDRESS, "dna_sim_fast", "", false);
                Metadata params;
                params.insert("client_name",
                              "a_client_with_a_long_name_" + std::to_string(t) + "_" + std::to_string(i));
                EXPECT_EQ(Result::success, client.set_params(params));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

TEST(ReadValidation, MessagesNameWhatIsMissingInOrderAndLargeTagsAreRefused) {
    const VexilClient client(ADDRESS, "dna_sim_fast", "", false);
    vexil::Read read;
    read.get_metadata().insert("read_id", std::string("r"));
    read.get_metadata().insert<float>("daq_scaling", 0.5F);
    std::string message = "untouched";
    EXPECT_FALSE(client.validate_read(read, message));
    EXPECT_EQ("Missing data in ReadHolder object: raw_data dataset not found. daq_offset field not found.", message);

    vexil::Read empty;
    EXPECT_FALSE(client.validate_read(empty, message));
    EXPECT_EQ(
            "Missing data in ReadHolder object: raw_data dataset not found. read_id metadata field not found."
            " daq_offset field not found. daq_scaling metadata field not found.",
            message);

    vexil::Read valid = api_test::make_read(std::numeric_limits<std::uint32_t>::max(), "ACGT");
    message = "untouched";
    EXPECT_TRUE(client.validate_read(valid, message));
    EXPECT_EQ("untouched", message);

    // A tag travels as 32 bits: a larger one would come back as a foreign read.
    valid.set_read_tag(1ULL << 32);
    EXPECT_FALSE(client.validate_read(valid, message));
    EXPECT_NE(std::string::npos, message.find("4294967296")) << message;
}

TEST(ClientWithoutConnection, ZeroQueryTimeOutEndsInTimedOutWithDescriptorsBounded) {
    const auto open_descriptors = [] {
        const std::filesystem::directory_iterator entries("/proc/self/fd");
        return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
    };
    const std::size_t before = open_descriptors();
    for (const char* address : {"tcp://127.0.0.1:1", ADDRESS}) {
        VexilClient client(address, "dna_sim_fast", "", false);
        Metadata params;
        params.insert<std::uint32_t>("query_timeout", 0);
        params.insert<std::uint32_t>("reconnect_timeout", 1);
        ASSERT_EQ(Result::success, client.set_params(params));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Result::timed_out, client.connect()) << address;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10 * api_test::slow_factor));
        EXPECT_LE(open_descriptors(), before + 24);
        EXPECT_EQ(Result::success, client.disconnect());
    }
}
