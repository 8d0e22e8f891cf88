// Whole sessions through the public API against the reference server program.

#include "api_test_support.h"
#include "client_api/server_query.h"
#include "client_api/vexil_client.h"
#include "forked_child.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>
#include <atomic>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

using vexil::ConnectionStatus;
using vexil::PassReadResult;
using vexil::Result;
using vexil::VexilClient;
using Metadata = bass::data_wrappers::Metadata;
using bass::data_wrappers::DataView;

namespace {

/// Status changes as the handler saw them, on the notification thread.
struct StatusLog {
    std::mutex mutex;
    std::vector<std::pair<ConnectionStatus, ConnectionStatus>> changes;

    VexilClient::StateChangeHandler handler() {
        return [this](ConnectionStatus previous, ConnectionStatus current, const std::string&) {
            const std::lock_guard<std::mutex> lock(mutex);
            changes.emplace_back(previous, current);
        };
    }
    bool saw(ConnectionStatus status) {
        const auto deadline = std::chrono::steady_clock::now() + api_test::condition_timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            {
                const std::lock_guard<std::mutex> lock(mutex);
                if (std::any_of(changes.begin(), changes.end(), [&](const auto& c) { return c.second == status; })) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
};

/// Every read that came back, by tag, with whether it was called.
std::map<std::uint64_t, bool> returned_reads(VexilClient& client) {
    std::vector<std::vector<vexil::Read>> groups;
    client.get_completed_reads(groups);
    std::map<std::uint64_t, bool> called;
    for (const auto& group : groups) {
        for (const auto& read : group) {
            called[read.get_read_tag()] = !api_test::sequence_of(read).empty();
        }
    }
    return called;
}

Metadata quick_params() {
    Metadata params;
    params.insert("client_name", std::string("api_test"));
    params.insert<std::uint32_t>("query_timeout", api_test::scaled_ms(500));
    params.insert<std::uint32_t>("reconnect_timeout", 2);
    params.insert<std::uint64_t>("max_message_size", 2000);
    return params;
}

}  // namespace

TEST(ClientSession, ConnectPassCollectFinish) {
    api_test::ServerProcess server;
    VexilClient client(server.address(), "dna_sim_fast", "", true);
    StatusLog log;
    Metadata params = quick_params();
    params.insert("barcode_kits", std::string("SIM-BC12"));
    params.insert("detect_barcodes", false);
    ASSERT_EQ(Result::success, client.set_params(params));
    ASSERT_EQ(Result::success, client.set_priority(vexil::Read::LOW_PRIORITY));
    ASSERT_EQ(Result::success, client.set_state_change_handler(log.handler()));
    ASSERT_EQ(Result::success, client.connect()) << client.get_error_message();
    EXPECT_EQ(ConnectionStatus::connected, client.get_status());
    EXPECT_TRUE(log.saw(ConnectionStatus::connected));

    // Connected: settings and a second connect are refused.
    EXPECT_EQ(Result::already_connected, client.connect());
    EXPECT_EQ(Result::already_connected, client.set_params(params));
    EXPECT_EQ(Result::already_connected, client.set_priority(vexil::Read::HIGH_PRIORITY));
    EXPECT_EQ(Result::already_connected, client.set_callback_function(nullptr));
    EXPECT_EQ(Result::already_connected, client.set_state_change_handler({}));

    vexil::ConnectedServerInfo info;
    ASSERT_EQ(Result::success, client.get_connected_server_info(info));
    EXPECT_FALSE(info.client_uid.empty());
    Metadata config;
    ASSERT_EQ(Result::success, client.get_basecalling_config(config));
    EXPECT_EQ(5U, config.get_value<std::uint64_t>("model_stride"));
    EXPECT_FALSE(config.get_value<bool>("duplex"));
    EXPECT_EQ("dna_sim_fast", config.get_value<std::string>("config_name"));

    std::map<std::uint64_t, std::string> sequences;
    for (std::uint64_t tag = 1; tag <= 3; ++tag) {
        sequences[tag] = api_test::random_sequence(300 + 700 * tag, static_cast<std::uint32_t>(tag));
        auto read = api_test::make_read(tag, sequences[tag]);
        ASSERT_EQ(PassReadResult::success, client.pass_read(read, 1000));
    }
    // A tag wider than 32 bits would come back as a foreign read and end the connection.
    auto wide = api_test::make_read(1ULL << 32, "ACGTACGT");
    EXPECT_EQ(PassReadResult::bad_read, client.pass_read(wide));
    EXPECT_EQ(1ULL << 32, wide.get_read_tag());

    // A read no server could call, or one whose tag is in flight, is refused, explained and left
    // with the caller; in a list it refuses the whole list, which comes back as it was.
    std::vector<vexil::Read> batch;
    for (std::uint64_t tag = 10; tag < 16; ++tag) {
        sequences[tag] = api_test::random_sequence(200, static_cast<std::uint32_t>(tag));
        batch.push_back(api_test::make_read(tag, sequences[tag]));
    }
    const std::vector<std::pair<std::function<void(vexil::Read&)>, std::string>> spoilers = {
            {[](vexil::Read& read) { read.get_datasets().clear(); }, "raw_data dataset not found"},
            {[](vexil::Read& read) { read.get_metadata().insert("read_id", 14); }, "read_id must be a string"},
            {[](vexil::Read& read) { read.get_metadata().insert("daq_offset", 2.0); }, "daq_offset must be a float"},
            {[](vexil::Read& read) { read.get_metadata().insert("daq_scaling", std::nanf("")); },
             "daq_scaling must be"},
            {[](vexil::Read& read) { read.get_metadata().insert("daq_scaling", 0.0F); }, "daq_scaling must be"},
            {[](vexil::Read& read) {
                 read.get_datasets().erase(dataset::raw_data);
                 read.get_datasets().emplace(dataset::raw_data, DataView(std::vector<std::int16_t>()));
             },
             "raw_data holds no samples"},
            {[](vexil::Read& read) {
                 read.get_datasets().erase(dataset::raw_data);
                 read.get_datasets().emplace(dataset::raw_data, DataView(std::vector<float>(9)));
             },
             "raw_data must be a one-dimensional int16"},
            {[](vexil::Read& read) { read.set_read_tag(3); }, "read tag 3 is already in flight"},
            {[](vexil::Read& read) { vexil::Read taken(std::move(read)); }, "moved from"},
            {[](vexil::Read& read) { read.set_read_tag(13); }, "read tag 13 is repeated"},
    };
    for (const auto& [spoil, reason] : spoilers) {
        std::string message;
        if (reason.find("repeated") == std::string::npos) {
            auto alone = api_test::make_read(20, sequences[12]);
            spoil(alone);
            EXPECT_FALSE(client.validate_read(alone, message));
            EXPECT_NE(std::string::npos, message.find(reason)) << message;
            EXPECT_EQ(PassReadResult::bad_read, client.pass_read(alone)) << reason;
        }
        auto spoilt = api_test::make_read(12, sequences[12]);
        spoil(spoilt);
        std::swap(spoilt, batch[2]);
        EXPECT_EQ(PassReadResult::bad_read, client.pass_reads(batch)) << reason;
        std::swap(spoilt, batch[2]);
        ASSERT_EQ(6U, batch.size());
        for (std::size_t i = 0; i < batch.size(); ++i) {
            EXPECT_EQ(10U + i, batch[i].get_read_tag());
            EXPECT_EQ("", batch[i].get_by_name("strand_id")) << "a refused list is not prepared";
        }
    }
    ASSERT_EQ(PassReadResult::success, client.pass_reads(batch, 1000));
    EXPECT_TRUE(batch.empty());

    ASSERT_EQ(Result::success, client.finish(30 * api_test::slow_factor));
    EXPECT_EQ(ConnectionStatus::disconnected, client.get_status());
    EXPECT_TRUE(log.saw(ConnectionStatus::disconnected));
    std::vector<std::vector<vexil::Read>> groups(1);  // earlier content stays in front
    client.get_completed_reads(groups);
    ASSERT_EQ(1U + sequences.size(), groups.size());
    EXPECT_TRUE(groups[0].empty());
    std::set<std::uint64_t> seen;
    for (std::size_t i = 1; i < groups.size(); ++i) {
        ASSERT_EQ(1U, groups[i].size());
        const auto& read = groups[i][0];
        EXPECT_TRUE(seen.insert(read.get_read_tag()).second);
        EXPECT_EQ(sequences[read.get_read_tag()], api_test::sequence_of(read)) << read.get_read_tag();
        EXPECT_EQ(vexil::Read::LOW_PRIORITY, read.get_priority());
    }
    EXPECT_EQ(Result::no_connection, client.disconnect());
    EXPECT_EQ(Result::success, client.set_priority(vexil::Read::HIGH_PRIORITY));
    // The ended connection's configuration is still what its server sent.
    Metadata kept;
    EXPECT_EQ(Result::success, client.get_basecalling_config(kept));
    EXPECT_EQ("dna_sim_fast", kept.get_value<std::string>("config_name"));

    // The connection options carried the kits, with barcode detection forced on by them.
    const std::string requests = server.requests();
    EXPECT_NE(std::string::npos, requests.find(">barcode_kits=SIM-BC12")) << requests;
    EXPECT_NE(std::string::npos, requests.find(">detect_barcodes=1")) << requests;
    EXPECT_NE(std::string::npos, requests.find(">client_name=api_test")) << requests;
    EXPECT_NE(std::string::npos, requests.find("CONNECT client= value=0 ")) << "low priority travels as 0";
}

TEST(ClientSession, ConnectFailuresMapToResultsAndDisconnectAllowsAFreshEngine) {
    api_test::ServerProcess server;
    VexilClient client(server.address(), "no_such_config", "", false);
    ASSERT_EQ(Result::success, client.set_params(quick_params()));
    EXPECT_EQ(Result::basecall_config_unavailable, client.connect());
    EXPECT_EQ(ConnectionStatus::error, client.get_status());
    EXPECT_NE("", client.get_error_message());
    // No server sent a configuration: nothing is reported, and the caller's records stay as they were.
    Metadata config;
    config.insert("config_name", std::string("mine"));
    std::string header = "mine";
    vexil::ConnectedServerInfo info{"mine", "mine", "mine"};
    EXPECT_EQ(Result::no_connection, client.get_basecalling_config(config));
    EXPECT_EQ(Result::no_connection, client.get_alignment_sam_header(header));
    EXPECT_EQ(Result::no_connection, client.get_connected_server_info(info));
    EXPECT_EQ("mine", config.get_value<std::string>("config_name"));
    EXPECT_EQ(1U, config.get_keys().size());
    EXPECT_EQ("mine", header);
    EXPECT_EQ("mine", info.client_uid);
    EXPECT_EQ("mine", info.server_version);
    EXPECT_EQ(Result::failed, client.connect());
    EXPECT_EQ(Result::already_connected, client.set_params(quick_params()));
    EXPECT_EQ(Result::failed, client.finish(1));
    EXPECT_EQ(Result::success, client.disconnect());
    EXPECT_EQ(ConnectionStatus::disconnected, client.get_status());
    EXPECT_EQ(Result::success, client.set_params(quick_params()));
    EXPECT_EQ(Result::basecall_config_unavailable, client.connect());

    VexilClient unreadable_index(server.address(), "dna_sim_fast", "", false);
    Metadata params = quick_params();
    params.insert("align_ref", server.dir().write("not_fasta.fa", "no header line\n"));
    ASSERT_EQ(Result::success, unreadable_index.set_params(params));
    EXPECT_EQ(Result::align_index_unavailable, unreadable_index.connect());
}

TEST(ClientSession, ReadsTheServerKeepsComeBackUncalledAfterFinishOrDisconnect) {
    api_test::ServerProcess server({"--fault", "none_pending,request=GET_FIRST_CALLED_BLOCK,count=forever"});
    VexilClient client(server.address(), "dna_sim_fast", "", false);
    ASSERT_EQ(Result::success, client.set_params(quick_params()));
    const auto connect_and_pass_two = [&] {
        ASSERT_EQ(Result::success, client.connect());
        for (std::uint64_t tag = 1; tag <= 2; ++tag) {
            auto read = api_test::make_read(tag, api_test::random_sequence(100, 7));
            ASSERT_EQ(PassReadResult::success, client.pass_read(read, 1000));
        }
    };
    const std::map<std::uint64_t, bool> both_uncalled{{1, false}, {2, false}};

    connect_and_pass_two();
    EXPECT_EQ(Result::not_ready, client.finish(1));
    EXPECT_EQ(ConnectionStatus::disconnected, client.get_status());
    EXPECT_EQ(both_uncalled, returned_reads(client));

    // The loop now waits its pause before telling the server no more data comes: a disconnect
    // ends the pause rather than waiting it out.
    connect_and_pass_two();
    client.no_more_data();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Result::success, client.disconnect());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2 * api_test::slow_factor));
    ASSERT_EQ(Result::success, client.connect());
    // Still the caller's until collected: their tags stay in flight.
    auto again = api_test::make_read(1, api_test::random_sequence(100, 8));
    EXPECT_EQ(PassReadResult::bad_read, client.pass_read(again, 1000));
    EXPECT_EQ(both_uncalled, returned_reads(client));
    EXPECT_EQ(PassReadResult::success, client.pass_read(again, 1000));
    EXPECT_EQ(Result::success, client.disconnect());
}

TEST(ClientSession, FinishOverAFailedConnectionIsFailedAndTheReadComesBackUncalled) {
    api_test::ServerProcess server({"--fault", "bad_request,request=GET_FIRST_CALLED_BLOCK,count=forever"});
    VexilClient client(server.address(), "dna_sim_fast", "", false);
    ASSERT_EQ(Result::success, client.set_params(quick_params()));
    ASSERT_EQ(Result::success, client.connect());
    auto read = api_test::make_read(1, api_test::random_sequence(100, 3));
    ASSERT_EQ(PassReadResult::success, client.pass_read(read, 1000));
    EXPECT_EQ(Result::failed, client.finish(30 * api_test::slow_factor));
    EXPECT_EQ(ConnectionStatus::error, client.get_status());
    EXPECT_NE("", client.get_error_message());
    const std::map<std::uint64_t, bool> expected{{1, false}};
    EXPECT_EQ(expected, returned_reads(client));
}

TEST(ClientSession, PassReadWithoutAWaitUsesThePassReadTimeout) {
    api_test::ServerProcess server({"--fault", "not_ready,request=PASS_FIRST_RAW_BLOCK,count=forever"});
    VexilClient client(server.address(), "dna_sim_fast", "", false);
    Metadata params = quick_params();
    params.insert<std::uint64_t>("max_reads_queued", 1);
    params.insert<std::uint32_t>("pass_read_timeout", 500);
    ASSERT_EQ(Result::success, client.set_params(params));
    ASSERT_EQ(Result::success, client.connect());
    // The server takes no block, so the queue fills; the refusal comes after the set wait.
    PassReadResult result = PassReadResult::success;
    std::chrono::steady_clock::duration waited{};
    for (std::uint64_t tag = 1; tag <= 10 && result == PassReadResult::success; ++tag) {
        auto read = api_test::make_read(tag, api_test::random_sequence(100, 5));
        const auto start = std::chrono::steady_clock::now();
        result = client.pass_read(read);
        waited = std::chrono::steady_clock::now() - start;
    }
    EXPECT_EQ(PassReadResult::queue_full, result) << server.requests();
    EXPECT_GE(waited, std::chrono::milliseconds(450));
    EXPECT_EQ(Result::success, client.disconnect());
}

namespace {
std::atomic<int> hook_runs{0};
void count_hook_run() { hook_runs.fetch_add(1); }
}  // namespace

TEST(ClientSession, DuplexConfigurationsAskForMoreReadDataAndTheWorkerRunsTheHook) {
    api_test::ServerProcess server;
    VexilClient client(server.address(), "dna_sim_duplex", "", false);
    ASSERT_EQ(Result::success, client.set_params(quick_params()));
    ASSERT_EQ(Result::success, client.set_callback_function(count_hook_run));
    const int runs_before = hook_runs.load();
    ASSERT_EQ(Result::success, client.connect());
    EXPECT_EQ(runs_before + 1, hook_runs.load());

    auto read = api_test::make_read(1, "ACGTACGTACGTACGTACGTACGT");
    read.get_metadata().insert<std::int32_t>("channel", 3);
    read.get_metadata().insert("run_id", std::string("run"));
    read.get_metadata().insert<float>("sampling_rate", 4000.0F);
    read.get_metadata().insert<std::uint64_t>("start_time", 10);
    std::string message;
    EXPECT_FALSE(client.validate_read(read, message));
    EXPECT_EQ("Missing data in ReadHolder object: mux metadata field not found.", message);
    read.get_metadata().insert<std::uint32_t>("mux", 1);
    EXPECT_TRUE(client.validate_read(read, message));
    EXPECT_EQ(Result::success, client.disconnect());
}

namespace {

/// Collects every read a client gives back, across connections, until `count` distinct tags have
/// come or the time runs out; returns how often each tag came.
std::map<std::uint64_t, int> collect_until(VexilClient& client, std::size_t count) {
    std::map<std::uint64_t, int> seen;
    const auto deadline = std::chrono::steady_clock::now() + api_test::condition_timeout;
    while (seen.size() < count && std::chrono::steady_clock::now() < deadline) {
        std::vector<std::vector<vexil::Read>> groups;
        client.get_completed_reads(groups);
        for (const auto& group : groups) {
            for (const auto& read : group) {
                ++seen[read.get_read_tag()];
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return seen;
}

enum class Ending { disconnect, finish };
enum class Reconnector { handler, other_thread };

/// Passes reads the server is slow to return, ends the connection while they are out and connects
/// again at once, from the status handler or from a thread that keeps trying: every read must
/// come back exactly once.
void reconnect_while_ending(const std::string& address, Ending ending, Reconnector reconnector) {
    constexpr std::uint64_t reads = 40;
    VexilClient client(address, "dna_sim_fast", "", false);
    Metadata params = quick_params();
    params.insert<std::uint64_t>("max_reads_queued", reads);  // all passed at once
    ASSERT_EQ(Result::success, client.set_params(params));
    std::atomic<bool> reconnect{false};
    std::atomic<int> reconnected{0};
    const auto connect_once = [&] {
        if (reconnect.exchange(false)) {
            reconnected = client.connect() == Result::success ? 1 : -1;
        }
    };
    if (reconnector == Reconnector::handler) {
        ASSERT_EQ(Result::success,
                  client.set_state_change_handler([&](ConnectionStatus, ConnectionStatus now, const std::string&) {
                      if (now == ConnectionStatus::disconnected) {
                          connect_once();
                      }
                  }));
    }
    ASSERT_EQ(Result::success, client.connect());
    for (std::uint64_t tag = 1; tag <= reads; ++tag) {
        auto read = api_test::make_read(tag, api_test::random_sequence(100, static_cast<std::uint32_t>(tag)));
        ASSERT_EQ(PassReadResult::success, client.pass_read(read, 5000 * api_test::slow_factor));
    }
    reconnect = true;
    std::thread racer;
    if (reconnector == Reconnector::other_thread) {
        racer = std::thread([&] {
            while (reconnect.load()) {
                if (client.get_status() == ConnectionStatus::disconnected) {
                    connect_once();
                }
                std::this_thread::yield();
            }
        });
    }
    if (ending == Ending::disconnect) {
        EXPECT_EQ(Result::success, client.disconnect());
    } else {
        client.finish(1);
    }
    const auto start = std::chrono::steady_clock::now();
    while (reconnected.load() == 0 && std::chrono::steady_clock::now() - start < api_test::condition_timeout) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    reconnect = false;
    if (racer.joinable()) {
        racer.join();
    }
    EXPECT_EQ(1, reconnected.load()) << "status " << vexil::to_string(client.get_status()) << ": "
                                     << client.get_error_message();
    const auto seen = collect_until(client, reads);
    EXPECT_EQ(reads, seen.size());
    for (const auto& [tag, times] : seen) {
        EXPECT_EQ(1, times) << "read " << tag;
    }
    client.disconnect();
}

}  // namespace

TEST(ClientSession, ConnectingAgainWhileAConnectionEndsLosesNoRead) {
    // Each pull held, so that reads are still out when the connection ends.
    api_test::ServerProcess server({"--fault", "delay,request=GET_FIRST_CALLED_BLOCK,count=forever,delay=100"});
    for (const auto ending : {Ending::disconnect, Ending::finish}) {
        for (const auto reconnector : {Reconnector::handler, Reconnector::other_thread}) {
            SCOPED_TRACE(testing::Message() << "ending " << static_cast<int>(ending) << ", reconnecting from "
                                            << (reconnector == Reconnector::handler ? "the handler" : "a thread"));
            reconnect_while_ending(server.address(), ending, reconnector);
        }
    }
}

namespace {

/// Waits, bounded, until `done` holds.
bool wait_for(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + api_test::condition_timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace

TEST(ClientSession, AHandlerThatConnectsAgainNeitherLosesItsEngineNorHoldsUpDisconnect) {
    for (const bool server_stops : {false, true}) {
        SCOPED_TRACE(server_stops ? "server stopped" : "server running");
        std::optional<api_test::ServerProcess> server(std::in_place);
        auto client = std::make_unique<VexilClient>(server->address(), "dna_sim_fast", "", false);
        Metadata params = quick_params();
        params.insert<std::uint32_t>("query_timeout", 100 * api_test::slow_factor);
        // Far longer than disconnect may take: a disconnect that waited for the handler's connect
        // would wait this out.
        params.insert<std::uint32_t>("reconnect_timeout", 6 * api_test::slow_factor);
        ASSERT_EQ(Result::success, client->set_params(params));
        std::atomic<bool> armed{false};
        std::atomic<int> reconnect_result{-1};
        // A change may come while the client is being destroyed: its connect is then refused.
        VexilClient* const self = client.get();
        ASSERT_EQ(Result::success, client->set_state_change_handler(
                                           [&, self](ConnectionStatus, ConnectionStatus now, const std::string&) {
                                               if (now == ConnectionStatus::disconnected && armed.exchange(false)) {
                                                   reconnect_result = static_cast<int>(self->connect());
                                               }
                                           }));
        ASSERT_EQ(Result::success, client->connect());
        auto read = api_test::make_read(1, api_test::random_sequence(100, 1));
        ASSERT_EQ(PassReadResult::success, client->pass_read(read, 1000));
        if (server_stops) {
            server.reset();
        }
        armed = true;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Result::success, client->disconnect());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2 * api_test::slow_factor));
        if (!server_stops) {
            EXPECT_TRUE(wait_for([&] { return reconnect_result.load() != -1; }));
            EXPECT_EQ(static_cast<int>(Result::success), reconnect_result.load());
        }
        const auto seen = collect_until(*client, 1);
        EXPECT_EQ((std::map<std::uint64_t, int>{{1, 1}}), seen);
        // Ends the handler's connect, if still trying.
        client.reset();
    }
}

TEST(ClientSession, AHandlerMayEndOrDestroyItsOwnClient) {
    api_test::ServerProcess server;
    enum class Act { disconnect, finish, destroy };
    for (const Act act : {Act::disconnect, Act::finish, Act::destroy}) {
        SCOPED_TRACE(static_cast<int>(act));
        auto client = std::make_unique<VexilClient>(server.address(), "dna_sim_fast", "", false);
        ASSERT_EQ(Result::success, client->set_params(quick_params()));
        std::atomic<bool> may_destroy{false};
        std::atomic<int> acted{-1};
        const auto trigger = act == Act::destroy ? ConnectionStatus::disconnected : ConnectionStatus::connected;
        ASSERT_EQ(Result::success,
                  client->set_state_change_handler([&](ConnectionStatus, ConnectionStatus now, const std::string&) {
                      if (now != trigger || acted.load() != -1) {
                          return;
                      }
                      if (act == Act::disconnect) {
                          acted = static_cast<int>(client->disconnect());
                      } else if (act == Act::finish) {
                          acted = static_cast<int>(client->finish(1));
                      } else if (wait_for([&] { return may_destroy.load(); })) {
                          client.reset();
                          acted = static_cast<int>(Result::success);
                      }
                  }));
        // Ended from the handler at once, the connection may count as failed.
        client->connect();
        if (act == Act::destroy) {
            EXPECT_EQ(Result::success, client->disconnect());
            may_destroy = true;
        }
        EXPECT_TRUE(wait_for([&] { return acted.load() != -1; }));
        EXPECT_EQ(static_cast<int>(Result::success), acted.load());
        if (act != Act::destroy) {
            EXPECT_TRUE(wait_for([&] { return client->get_status() == ConnectionStatus::disconnected; }));
            client.reset();
        }
    }
}

TEST(ClientSession, AForkedChildThatExitsEndsWhetherItsCopyOfTheClientIsKeptDestroyedOrGone) {
    api_test::ServerProcess server;
    // What the child does with the client it inherited before it calls exit(0): nothing (exit only
    // destroys the library's statics, among them the tracing that set_params started), destroy it (a
    // client local to main), or the parent had destroyed it before the fork.
    enum class Child { keeps, destroys, none_left };
    for (const Child child : {Child::keeps, Child::destroys, Child::none_left}) {
        SCOPED_TRACE(static_cast<int>(child));
        auto client = std::make_unique<VexilClient>(server.address(), "dna_sim_fast", "", false);
        ASSERT_EQ(Result::success, client->set_params(quick_params()));
        ASSERT_EQ(Result::success, client->connect());
        auto read = api_test::make_read(1, api_test::random_sequence(300, 1));
        ASSERT_EQ(PassReadResult::success, client->pass_read(read, 10000));
        ASSERT_EQ((std::map<std::uint64_t, int>{{1, 1}}), collect_until(*client, 1));
        if (child == Child::none_left) {
            client.reset();
        }
        const pid_t pid = fork();
        ASSERT_NE(-1, pid);
        if (pid == 0) {
            test_support::mark_forked_child();
            if (child == Child::destroys) {
                client.reset();
            }
            std::exit(0);
        }
        int status = -1;
        const bool ended = wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; });
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        ASSERT_TRUE(ended) << "the child hung";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

TEST(ClientSession, DestructionWaitsOnlyForTheHandlerCallThatIsRunning) {
    // The quiet client's first pings find it forgotten, as after a restart: it connects again each time.
    api_test::ServerProcess server({"--fault", "restart,request=HEARTBEAT_PING,count=3"});
    const auto handler_call = std::chrono::seconds(2);
    auto client = std::make_unique<VexilClient>(server.address(), "dna_sim_fast", "", false);
    const Metadata params = quick_params();
    ASSERT_EQ(Result::success, client->set_params(params));
    ASSERT_EQ(Result::success,
              client->set_state_change_handler([&](ConnectionStatus, ConnectionStatus, const std::string&) {
                  std::this_thread::sleep_for(handler_call);
              }));
    ASSERT_EQ(Result::success, client->connect());
    const auto connects = [&] {
        const std::string requests = server.requests();
        std::size_t count = 0;
        for (auto at = requests.find(" CONNECT "); at != std::string::npos; at = requests.find(" CONNECT ", at + 1)) {
            ++count;
        }
        return count;
    };
    // Dozens of changes are queued by now, each a two-second call of the handler.
    ASSERT_TRUE(wait_for([&] { return connects() == 4 && client->get_status() == ConnectionStatus::connected; }));

    const auto start = std::chrono::steady_clock::now();
    client.reset();
    const auto query_timeout = std::chrono::milliseconds(params.get_value<std::uint32_t>("query_timeout"));
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              handler_call + query_timeout + test_support::time_margin(std::chrono::milliseconds(500)));
}

namespace {

std::size_t notification_threads() {
    std::size_t count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (api_test::read_file(task.path().string() + "/comm") == "conn_state_ntfy\n") {
            ++count;
        }
    }
    return count;
}

}  // namespace

TEST(ClientSession, OnlyAClientWithAHandlerHasANotificationThread) {
    api_test::ServerProcess server;
    VexilClient plain(server.address(), "dna_sim_fast", "", false);
    ASSERT_EQ(Result::success, plain.set_params(quick_params()));
    ASSERT_EQ(Result::success, plain.connect());
    EXPECT_EQ(0U, notification_threads());

    VexilClient handled(server.address(), "dna_sim_fast", "", false);
    ASSERT_EQ(Result::success, handled.set_params(quick_params()));
    ASSERT_EQ(Result::success,
              handled.set_state_change_handler([](ConnectionStatus, ConnectionStatus, const std::string&) {}));
    ASSERT_EQ(Result::success, handled.connect());
    EXPECT_LT(0U, notification_threads());
}

TEST(ClientSession, TheServerForgetsAKilledClientAndKeepsALiveOne) {
    api_test::ServerProcess server;
    // Longer than a live client's pause between pings (a second), short enough to wait out.
    const auto silence = std::chrono::milliseconds(2000) + test_support::time_margin(std::chrono::milliseconds(300));
    Metadata params = quick_params();
    params.insert<std::uint32_t>("connection_timeout", static_cast<std::uint32_t>(silence.count()));
    const auto server_information = [&] {
        std::string text;
        const auto result =
                vexil::server_query::get_server_information(text, server.address(), 5000 * api_test::slow_factor);
        return result == Result::success ? nlohmann::json::parse(text) : nlohmann::json();
    };

#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer cannot start threads in the child of a process that has threads: when the
    // tests before this one in the same program left the library's threads, the child cannot connect.
    // ctest runs each test in a program of its own: then only the sanitizer's own thread runs.
    if (std::distance(std::filesystem::directory_iterator("/proc/self/task"), std::filesystem::directory_iterator()) >
        2) {
        GTEST_SKIP() << "run alone under ThreadSanitizer";
    }
#endif
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    const pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        close(ready[0]);
        VexilClient vanishing(server.address(), "dna_sim_fast", "", false);
        const char connected =
                vanishing.set_params(params) == Result::success && vanishing.connect() == Result::success ? 'y' : 'n';
        if (write(ready[1], &connected, 1) != 1 || connected != 'y') {
            _exit(1);
        }
        pause();
        _exit(0);
    }
    close(ready[1]);
    char connected = 0;
    const bool heard = read(ready[0], &connected, 1) == 1;
    close(ready[0]);
    VexilClient live(server.address(), "dna_sim_fast", "", false);
    EXPECT_EQ(Result::success, live.set_params(params));
    EXPECT_EQ(Result::success, live.connect());
    vexil::ConnectedServerInfo info;
    EXPECT_EQ(Result::success, live.get_connected_server_info(info));
    EXPECT_EQ(2, server_information().value("connected_clients", -1));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(heard && connected == 'y') << "the child's client did not connect";

    EXPECT_TRUE(wait_for([&] { return server_information().value("connected_clients", -1) == 1; }));
    // A whole time-out later the live client is still the one registered: it pinged meanwhile.
    std::this_thread::sleep_for(silence);
    std::string state;
    ASSERT_EQ(Result::success,
              vexil::server_query::get_server_internal_state(state, server.address(), 5000 * api_test::slow_factor));
    const auto clients = nlohmann::json::parse(state).at("Clients");
    EXPECT_EQ(1U, clients.size());
    EXPECT_TRUE(clients.contains(info.client_uid)) << state;
    EXPECT_EQ(ConnectionStatus::connected, live.get_status());
}
