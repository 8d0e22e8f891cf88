#include "basecall_client/connection_protocol.h"

#include "common/diagnostics/tracing/testability.h"
#include "common/diagnostics/tracing/trace_flush.h"
#include "reference_server/reference_server.h"
#include "reference_server/reply_builder.h"
#include "scripted_server.h"
#include "tests/reference_server/server_test_support.h"

#include <boost/log/core/core.hpp>
#include <gsl/gsl>
#include <gtest/gtest.h>

#include "test_support/trace_lines.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <vector>

namespace {

using basecall_service::ClientConnectionState;
using basecall_service::ClientConnectionStateSnapshot;
using basecall_service::ClientStatus;
using basecall_service::ConnectionError;
using basecall_service::ConnectionProtocol;
using reference_server::FaultAction;
using reference_server::FaultRule;

namespace tracing = common::diagnostics::tracing;

using test_support::TraceLines;

const auto* const tracing_environment =
        ::testing::AddGlobalTestEnvironment(new test_support::TraceCollectingEnvironment(
                [] { return common::ClassName<ConnectionProtocol>::class_name(); }));

// Time-out of requests meant to be answered.
constexpr std::uint32_t TIMEOUT_MS = 2000 * test_support::slow_factor;
const std::vector<ClientStatus> FULL_HANDSHAKE = {
        ClientStatus::preparing_connection, ClientStatus::loading_config, ClientStatus::loading_alignment_index,
        ClientStatus::loading_bed_file,     ClientStatus::connecting,     ClientStatus::connected};

// Records what the registered change handler receives, for the test thread to wait on. The
// handler runs on the state's notification thread, which outlives this recorder in the fixture,
// so what it writes to is shared with the handler.
class StatusRecorder {
public:
    explicit StatusRecorder(ClientConnectionState& state) {
        state.register_change_handler(
                [shared = m_shared](ClientStatus, std::shared_ptr<ClientConnectionStateSnapshot> snapshot) {
                    std::lock_guard<std::mutex> lock(shared->mutex);
                    shared->statuses.push_back(snapshot->get_status());
                    shared->changed.notify_all();
                });
    }
    std::vector<ClientStatus> wait_for(std::size_t count) {
        std::unique_lock<std::mutex> lock(m_shared->mutex);
        m_shared->changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_shared->statuses.size() >= count; });
        return m_shared->statuses;
    }

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<ClientStatus> statuses;
    };
    std::shared_ptr<Shared> m_shared = std::make_shared<Shared>();
};

std::vector<ClientStatus> first_statuses(std::size_t count) {
    return {FULL_HANDSHAKE.begin(), FULL_HANDSHAKE.begin() + static_cast<std::ptrdiff_t>(count)};
}

ipc_tools::ConnectionInfo connection_info(const std::string& config = "dna_sim_fast") {
    ipc_tools::ConnectionInfo info;
    info.config_name = config;
    info.client_name = "protocol_test";
    info.timeout_interval = 60000;  // the protocol alone does not ping
    return info;
}

class ConnectionProtocolTest : public ::testing::Test {
protected:
    ConnectionProtocolTest() : server(make_options()), recorder(state), protocol(state) {
        protocol.set_connection_params(server.endpoint(), TIMEOUT_MS);
    }

    reference_server::ServerOptions make_options() const {
        reference_server::ServerOptions options;
        options.address = temp.ipc_endpoint();
        options.quiet = true;
        return options;
    }

    void add_fault(FaultAction action, ipc_tools::MessageType request, std::optional<std::uint64_t> count = 1) {
        FaultRule rule;
        rule.action = action;
        rule.request = request;
        rule.count = count;
        server.faults().add(rule);
    }

    std::size_t requests_of(ipc_tools::MessageType type) const { return server.request_log().count(type); }

    server_test::TempDir temp;
    reference_server::ReferenceServer server;
    ClientConnectionState state;
    StatusRecorder recorder;
    ConnectionProtocol protocol;
};

TEST_F(ConnectionProtocolTest, handshake_without_files_passes_every_status_and_loads_nothing_else) {
    auto info = connection_info("dna_sim_hac");
    info.priority = 0;  // high priority travels as 2
    auto* adapter = protocol.establish_server_connection(info, 10);
    ASSERT_NE(adapter, nullptr) << to_string(protocol.error_state());
    EXPECT_EQ(recorder.wait_for(6), FULL_HANDSHAKE);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::no_error);

    const auto& details = protocol.get_config_details();
    EXPECT_EQ(details.config_name, "dna_sim_hac");
    EXPECT_EQ(details.model_stride, 10U);
    EXPECT_EQ(details.model_type, "reference_signal_model");
    EXPECT_EQ(details.model_version_id, "reference_model_v1");
    EXPECT_FLOAT_EQ(details.qscore_scale, 1.0F);
    EXPECT_FLOAT_EQ(details.beam_cut, 100.0F);
    EXPECT_EQ(details.beam_width, 40U);
    EXPECT_FALSE(details.duplex);

    const auto& connected = protocol.get_connected_info();
    EXPECT_FALSE(connected.client_uid.empty());
    EXPECT_EQ(connected.server_version, "7.2.15+reference");
    EXPECT_EQ(connected.minimap_version, "reference_aligner-1.0");

    const auto entries = server.request_log().entries_from(0);
    ASSERT_EQ(entries.size(), 3U);
    EXPECT_EQ(entries[0].type, ipc_tools::LOAD_CONFIG);
    EXPECT_EQ(entries[0].text, "dna_sim_hac");
    EXPECT_EQ(entries[1].type, ipc_tools::GET_CONFIGS);
    EXPECT_EQ(entries[2].type, ipc_tools::CONNECT);
    EXPECT_EQ(entries[2].value, 2U);
    EXPECT_EQ(entries[2].text, info.build_connection_string());
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.client_id, "");
    }

    protocol.disconnect_from_server();
    ASSERT_EQ(requests_of(ipc_tools::DISCONNECT), 1U);
    EXPECT_EQ(server.request_log().entries_from(3).at(0).client_id, connected.client_uid);
}

TEST_F(ConnectionProtocolTest, duplex_configuration_details_and_a_second_handshake_on_the_same_protocol) {
    ASSERT_NE(protocol.establish_server_connection(connection_info("dna_sim_fast"), 10), nullptr);
    const std::string first_id = protocol.get_connected_info().client_uid;
    // A reconnection goes from connected back through the whole handshake.
    ASSERT_NE(protocol.establish_server_connection(connection_info("dna_sim_duplex"), 10), nullptr);
    auto expected = FULL_HANDSHAKE;
    expected.insert(expected.end(), FULL_HANDSHAKE.begin(), FULL_HANDSHAKE.end());
    EXPECT_EQ(recorder.wait_for(12), expected);
    EXPECT_TRUE(protocol.get_config_details().duplex);
    EXPECT_NE(protocol.get_connected_info().client_uid, first_id);
}

TEST_F(ConnectionProtocolTest, alignment_index_and_bed_file_by_relative_path) {
    const std::string fasta = temp.write("ref.fasta", ">chr1\nACGTACGTACGTTTGACCA\n>chr2\nGGGCCCAAATTT\n");
    const std::string bed = temp.write("regions.bed", "chr1\t0\t10\tfirst\n");
    const std::string relative = std::filesystem::relative(fasta).string();
    ASSERT_FALSE(std::filesystem::path(relative).is_absolute());

    auto info = connection_info();
    info.align_ref = relative;
    info.minimap_opt_string = "-k 15";
    info.bed_file = std::filesystem::relative(bed).string();
    info.priority = 5;
    ASSERT_NE(protocol.establish_server_connection(info, 10), nullptr) << to_string(protocol.error_state());
    EXPECT_EQ(recorder.wait_for(6), FULL_HANDSHAKE);

    const auto entries = server.request_log().entries_from(0);
    std::vector<ipc_tools::MessageType> types;
    for (const auto& entry : entries) {
        types.push_back(entry.type);
    }
    EXPECT_EQ(types, (std::vector<ipc_tools::MessageType>{ipc_tools::LOAD_CONFIG, ipc_tools::GET_CONFIGS,
                                                          ipc_tools::LOAD_INDEX, ipc_tools::GET_INDICES,
                                                          ipc_tools::LOAD_BED, ipc_tools::CONNECT}));
    // The index is loaded by the path as given; the BED file by its canonical path.
    EXPECT_EQ(entries[2].text, relative + ":>minimap_opt_string=-k 15");
    EXPECT_EQ(entries[4].text, std::filesystem::canonical(bed).string());
    EXPECT_EQ(entries[5].value, 5U);
    const std::string header = protocol.get_alignment_file_header();
    EXPECT_NE(header.find("@SQ\tSN:chr1\tLN:19"), std::string::npos);
    EXPECT_NE(header.find("@SQ\tSN:chr2\tLN:12"), std::string::npos);

    // A later handshake without an index leaves the header of the earlier one in place.
    ASSERT_NE(protocol.establish_server_connection(connection_info(), 10), nullptr);
    EXPECT_EQ(protocol.get_alignment_file_header(), header);
}

TEST_F(ConnectionProtocolTest, load_retried_every_500ms_while_the_server_is_loading) {
    add_fault(FaultAction::loading, ipc_tools::LOAD_CONFIG, 4);
    ASSERT_NE(protocol.establish_server_connection(connection_info(), 10), nullptr);
    EXPECT_EQ(recorder.wait_for(6), FULL_HANDSHAKE);
    const auto entries = server.request_log().entries_from(0);
    std::vector<std::chrono::steady_clock::time_point> attempts;
    for (const auto& entry : entries) {
        if (entry.type == ipc_tools::LOAD_CONFIG) {
            attempts.push_back(entry.arrival);
        }
    }
    ASSERT_EQ(attempts.size(), 5U);
    for (std::size_t i = 1; i < attempts.size(); ++i) {
        EXPECT_GE(attempts[i] - attempts[i - 1], std::chrono::milliseconds(480));
    }
    EXPECT_EQ(requests_of(ipc_tools::GET_CONFIGS), 1U);
}

TEST_F(ConnectionProtocolTest, load_that_never_finishes_ends_in_file_load_timeout) {
    add_fault(FaultAction::loading, ipc_tools::LOAD_CONFIG, std::nullopt);
    // A second, or more (at most four) where replies are slow, so that the load is retried within it.
    const auto limit_s = std::min(
            4U, static_cast<unsigned>(
                        std::ceil(test_support::time_margin(std::chrono::milliseconds(1000)).count() / 1000.0)));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(protocol.establish_server_connection(connection_info(), limit_s), nullptr);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(protocol.error_state().code, ConnectionError::file_load_timeout);
    EXPECT_EQ(protocol.error_state().message,
              "Server did not process load request 'LOAD_CONFIG' for file dna_sim_fastwithin the " +
                      std::to_string(limit_s) + "s timeout. Try increasing server_file_load_timeout");
    // Tried every 500 ms until the limit has passed, and no sleep after that.
    const auto attempts = requests_of(ipc_tools::LOAD_CONFIG);
    EXPECT_LE(attempts, 2 * limit_s + 2);
    // The sanitizer slows every request down: only the retry itself is certain.
    EXPECT_GE(attempts, test_support::slow_factor > 1 ? 2U : limit_s + 2);
    EXPECT_LT(elapsed, std::chrono::seconds(limit_s) + std::chrono::milliseconds(500) +
                               test_support::time_margin(std::chrono::milliseconds(700)));
    EXPECT_EQ(requests_of(ipc_tools::GET_CONFIGS), 0U);
    EXPECT_EQ(recorder.wait_for(2), first_statuses(2));
    // The protocol leaves the recording of the error to its owner.
    EXPECT_EQ(state.get_status(), ClientStatus::loading_config);
}

TEST_F(ConnectionProtocolTest, refused_loads_carry_the_servers_text) {
    EXPECT_EQ(protocol.establish_server_connection(connection_info("no_such_config"), 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::basecall_config_unavailable);
    EXPECT_EQ(protocol.error_state().message, "Unknown basecall configuration: no_such_config");

    auto info = connection_info();
    info.align_ref = temp.write("ref.fasta", ">chr1\nACGT\n");
    info.minimap_opt_string = "k15";
    EXPECT_EQ(protocol.establish_server_connection(info, 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::invalid_aligner_options);
    EXPECT_EQ(protocol.error_state().message, "Invalid aligner options: k15");

    info.minimap_opt_string.clear();
    info.align_ref = temp.path("missing.fasta");
    EXPECT_EQ(protocol.establish_server_connection(info, 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::align_index_unavailable);
    // The server may add why it could not open the file.
    EXPECT_EQ(protocol.error_state().message.rfind("Could not open alignment index file: " + info.align_ref, 0), 0U)
            << protocol.error_state().message;

    info.align_ref.clear();
    info.bed_file = temp.path("missing.bed");
    EXPECT_EQ(protocol.establish_server_connection(info, 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::bed_file_unavailable);
    EXPECT_EQ(protocol.error_state().message.rfind("Could not open BED file: " + info.bed_file, 0), 0U)
            << protocol.error_state().message;

    // Each failed attempt stops at its step: config, index, index, BED.
    auto expected = first_statuses(2);
    for (const std::size_t count : {3U, 3U, 4U}) {
        const auto part = first_statuses(count);
        expected.insert(expected.end(), part.begin(), part.end());
    }
    EXPECT_EQ(recorder.wait_for(expected.size()), expected);
    EXPECT_EQ(requests_of(ipc_tools::CONNECT), 0U);
}

TEST_F(ConnectionProtocolTest, connect_refusals_of_the_reference_server) {
    auto info = connection_info();
    // The client facade also hands these over as options: only options reach the connection string.
    info.barcode_kits = "NO_SUCH_KIT";
    info.options.insert("barcode_kits", info.barcode_kits);
    EXPECT_EQ(protocol.establish_server_connection(info, 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::barcode_kit_unavailable);
    EXPECT_EQ(protocol.error_state().message,
              "Could not register on server (connection refused due to unsupported barcoding kit \"NO_SUCH_KIT\").");

    info.barcode_kits.clear();
    info.options = {};
    info.align_ref = temp.write("empty.fasta", "");
    info.options.insert("align_ref", info.align_ref);
    EXPECT_EQ(protocol.establish_server_connection(info, 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::align_index_no_seq);
    EXPECT_EQ(protocol.error_state().message,
              "Could not register on server (connection refused due to full alignment not being supported by "
              "alignment index \"" +
                      std::filesystem::canonical(info.align_ref).string() + "\").");
    auto expected = first_statuses(5);
    const auto again = first_statuses(5);
    expected.insert(expected.end(), again.begin(), again.end());
    EXPECT_EQ(recorder.wait_for(10), expected);
}

TEST_F(ConnectionProtocolTest, link_failures_take_the_adapters_error) {
    add_fault(FaultAction::bad_request, ipc_tools::CONNECT);
    EXPECT_EQ(protocol.establish_server_connection(connection_info(), 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::bad_request);

    add_fault(FaultAction::malformed_short, ipc_tools::LOAD_CONFIG);
    EXPECT_EQ(protocol.establish_server_connection(connection_info(), 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::bad_reply);

    add_fault(FaultAction::silence, ipc_tools::GET_CONFIGS, std::nullopt);
    protocol.set_connection_params(server.endpoint(), server_test::short_poll_timeout_ms);
    EXPECT_EQ(protocol.establish_server_connection(connection_info(), 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::timed_out);
    EXPECT_FALSE(protocol.error_state().message.empty());

    // The next attempt opens a fresh socket and clears the error.
    server.faults().clear();
    EXPECT_NE(protocol.establish_server_connection(connection_info(), 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::no_error);
    EXPECT_EQ(protocol.error_state().message, "");
}

TEST_F(ConnectionProtocolTest, disconnect_of_a_forgotten_client_leaves_the_error_alone) {
    ASSERT_NE(protocol.establish_server_connection(connection_info(), 10), nullptr);
    add_fault(FaultAction::client_not_recognised, ipc_tools::DISCONNECT);
    protocol.disconnect_from_server();
    EXPECT_EQ(requests_of(ipc_tools::DISCONNECT), 1U);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::no_error);
    EXPECT_EQ(state.get_status(), ClientStatus::connected);
}

std::size_t open_descriptors() {
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

// The worker retries a timed-out handshake at once. With a 0 ms time-out each attempt gives its
// socket up within microseconds, faster than ZeroMQ frees closed sockets on its own threads.
TEST_F(ConnectionProtocolTest, retried_handshakes_keep_the_descriptors_bounded_whatever_the_time_out) {
    FaultRule late;  // so that the live server misses even the first of the 0 ms polls
    late.action = FaultAction::delay;
    late.request = ipc_tools::LOAD_CONFIG;
    late.count = std::nullopt;
    late.delay = std::chrono::milliseconds(50);
    server.faults().add(late);
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    const int many = 250;  // each attempt starts and ends ZeroMQ's threads, slow under the sanitizers
#else
    const int many = 1000;
#endif
    const std::string closed_port = "tcp://127.0.0.1:1";
    const struct {
        std::string address;
        std::uint32_t timeout_ms;
        int attempts;
    } runs[] = {{closed_port, 0, many},
                {"ipc://" + temp.path("closed"), 0, many / 10},
                {server.endpoint(), 0, many / 10},
                {closed_port, 2, 5}};

    // Each attempt logs that it connects; a thousand such lines would hide the test's own output.
    boost::log::core::get()->set_logging_enabled(false);
    const auto logging_back = gsl::finally([] { boost::log::core::get()->set_logging_enabled(true); });
    const std::size_t before = open_descriptors();
    std::size_t peak = before;
    for (const auto& run : runs) {
        protocol.set_connection_params(run.address, run.timeout_ms);
        for (int attempt = 0; attempt < run.attempts; ++attempt) {
            ASSERT_EQ(protocol.establish_server_connection(connection_info(), 10), nullptr);
            ASSERT_EQ(protocol.error_state().code, ConnectionError::timed_out)
                    << run.address << " " << to_string(protocol.error_state());
            if (attempt % 10 == 0) {
                peak = std::max(peak, open_descriptors());
            }
        }
    }
    // One context and socket of the client (and the server's end of it), whatever the attempts.
    EXPECT_LE(peak, before + 24);
}

TEST(ConnectionProtocolNoServer, unreachable_server_times_out_while_loading_the_config) {
    server_test::TempDir temp;
    ClientConnectionState state;
    ConnectionProtocol protocol(state);
    protocol.set_connection_params(temp.ipc_endpoint(), server_test::short_poll_timeout_ms);
    TraceLines::instance().clear();
    EXPECT_EQ(protocol.establish_server_connection(connection_info(), 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::timed_out);
    EXPECT_EQ(state.get_status(), ClientStatus::loading_config);

    // The load attempt traces the server's answers and the errors made of them; a link failure
    // is not one of them.
    const auto lines = TraceLines::instance().flushed();
    bool load_traced = false;
    for (const auto& line : lines) {
        load_traced = load_traced || line.find(connection_info().config_name) != std::string::npos;
        EXPECT_EQ(line.find("[timed_out]"), std::string::npos) << line;
    }
    EXPECT_TRUE(load_traced);
}

// Replies the reference server does not give: refusals after a successful load, wrong types.
class ScriptedHandshakeTest : public ::testing::Test {
protected:
    using Override = std::function<std::optional<ipc_tools::Message>(const ipc_tools::Message&)>;

    // Answers like a cooperative server unless `override` has its own reply.
    void start(Override override) {
        scripted = std::make_unique<engine_test::ScriptedServer>(temp.ipc_endpoint(),
                                                                 [this, override](const ipc_tools::Message& request) {
                                                                     if (auto reply = override(request)) {
                                                                         return std::move(*reply);
                                                                     }
                                                                     return cooperative_reply(request);
                                                                 });
        protocol.set_connection_params(scripted->endpoint(), TIMEOUT_MS);
    }

    ipc_tools::Message cooperative_reply(const ipc_tools::Message& request) const {
        switch (request.get_type()) {
            case ipc_tools::GET_CONFIGS: {
                reference_server::BasecallConfiguration a;
                a.name = "a";
                a.model_stride = 3;
                reference_server::BasecallConfiguration ab;
                ab.name = "ab";
                ab.model_stride = 7;
                return reference_server::reply_builder::configurations("", {a, ab});
            }
            case ipc_tools::GET_INDICES:
                return reference_server::reply_builder::alignment_indices("", {{index_path, "@SQ\tSN:x\tLN:4\n"}});
            case ipc_tools::CONNECT: {
                ipc_tools::ConnectedInfo connected{"server_v", "aligner_v", "client_9"};
                return ipc_tools::Message(ipc_tools::CONNECTED, "client_9", 0, connected.create_message_string());
            }
            default:
                return ipc_tools::Message(ipc_tools::SUCCESS, "", 0, "");
        }
    }

    ipc_tools::ConnectionInfo full_info(const std::string& config) {
        auto info = connection_info(config);
        info.align_ref = index_path;
        info.minimap_opt_string = "-x sr";
        info.bed_file = temp.write("r.bed", "x\t0\t1\n");
        info.barcode_kits = "KIT";
        return info;
    }

    static Override connect_answers(ipc_tools::MessageType type, std::string text = "refused") {
        return [type, text](const ipc_tools::Message& request) -> std::optional<ipc_tools::Message> {
            if (request.get_type() != ipc_tools::CONNECT) {
                return std::nullopt;
            }
            return ipc_tools::Message(type, "", 0, text);
        };
    }

    server_test::TempDir temp;
    std::string index_path = temp.write("x.fasta", ">x\nACGT\n");
    ClientConnectionState state;
    ConnectionProtocol protocol{state};
    std::unique_ptr<engine_test::ScriptedServer> scripted;
};

TEST_F(ScriptedHandshakeTest, config_name_must_match_exactly) {
    start([](const ipc_tools::Message&) { return std::nullopt; });
    ASSERT_NE(protocol.establish_server_connection(connection_info("ab"), 10), nullptr);
    EXPECT_EQ(protocol.get_config_details().config_name, "ab");
    EXPECT_EQ(protocol.get_config_details().model_stride, 7U);
    EXPECT_EQ(protocol.get_connected_info().client_uid, "client_9");

    EXPECT_EQ(protocol.establish_server_connection(connection_info("AB"), 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::basecall_config_unavailable);
    EXPECT_EQ(protocol.error_state().message, "could not retrieve details for config from server: AB");
}

TEST_F(ScriptedHandshakeTest, every_connect_refusal_has_its_code_and_text) {
    struct Case {
        ipc_tools::MessageType reply;
        ConnectionError code;
        std::string message;
    };
    const auto info = full_info("a");
    const std::string index = std::filesystem::canonical(index_path).string();
    const std::string bed = std::filesystem::canonical(info.bed_file).string();
    const std::vector<Case> cases = {
            {ipc_tools::INVALID_CONFIG, ConnectionError::basecall_config_unavailable,
             "Could not register on server (connection refused, the requested basecall config is not currently "
             "loaded \"a\")."},
            {ipc_tools::INVALID_BARCODE_KIT, ConnectionError::barcode_kit_unavailable,
             "Could not register on server (connection refused due to unsupported barcoding kit \"KIT\")."},
            {ipc_tools::INVALID_INDEX, ConnectionError::align_index_unavailable,
             "Could not register on server (connection refused due to unsupported alignment index|options "
             "combination \"" +
                     index + "|-x sr\")."},
            {ipc_tools::INVALID_BED, ConnectionError::bed_file_unavailable,
             "Could not register on server (connection refused, the requested bed file is not currently loaded \"" +
                     bed + "\")."},
            {ipc_tools::INDEX_NO_SEQ, ConnectionError::align_index_no_seq,
             "Could not register on server (connection refused due to full alignment not being supported by "
             "alignment index \"" +
                     index + "\")."},
            {ipc_tools::INVALID_ALIGNER_OPTIONS, ConnectionError::invalid_response,
             "Could not register on server (invalid response)."},
            {ipc_tools::SUCCESS, ConnectionError::invalid_response, "Could not register on server (invalid response)."},
    };
    for (const auto& test_case : cases) {
        SCOPED_TRACE(ipc_tools::message_type_as_string(test_case.reply));
        start(connect_answers(test_case.reply));
        EXPECT_EQ(protocol.establish_server_connection(info, 10), nullptr);
        EXPECT_EQ(protocol.error_state().code, test_case.code);
        EXPECT_EQ(protocol.error_state().message, test_case.message);
        EXPECT_EQ(state.get_status(), ClientStatus::connecting);
        scripted.reset();
    }
}

TEST_F(ScriptedHandshakeTest, unparsable_connected_answer_is_a_bad_reply) {
    start(connect_answers(ipc_tools::CONNECTED, "client_uid=>nonsense"));
    EXPECT_EQ(protocol.establish_server_connection(connection_info("a"), 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::bad_reply);
    EXPECT_EQ(protocol.error_state().message, "Could not parse CONNECTED message data");
}

TEST_F(ScriptedHandshakeTest, wrong_reply_types_to_the_lookups_and_loads) {
    start([](const ipc_tools::Message& request) -> std::optional<ipc_tools::Message> {
        if (request.get_type() == ipc_tools::GET_CONFIGS) {
            return ipc_tools::Message(ipc_tools::HEARTBEAT_ECHO, "", 0, "");
        }
        return std::nullopt;
    });
    EXPECT_EQ(protocol.establish_server_connection(connection_info("a"), 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::invalid_response);
    EXPECT_EQ(protocol.error_state().message, "Could not get details from server (invalid reply type). HEARTBEAT_ECHO");
    scripted.reset();

    start([](const ipc_tools::Message& request) -> std::optional<ipc_tools::Message> {
        if (request.get_type() == ipc_tools::GET_INDICES) {
            return ipc_tools::Message(ipc_tools::RESPONSE, "", 0, "");
        }
        return std::nullopt;
    });
    EXPECT_EQ(protocol.establish_server_connection(full_info("a"), 10), nullptr);
    EXPECT_EQ(protocol.error_state().message,
              "Could not get alignment indices from server (invalid reply type). RESPONSE");
    scripted.reset();

    start([](const ipc_tools::Message& request) -> std::optional<ipc_tools::Message> {
        if (request.get_type() == ipc_tools::LOAD_BED) {
            return ipc_tools::Message(ipc_tools::DISCONNECTED, "", 0, "");
        }
        return std::nullopt;
    });
    EXPECT_EQ(protocol.establish_server_connection(full_info("a"), 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::invalid_response);
    EXPECT_EQ(protocol.error_state().message,
              "Error. Load request 'LOAD_BED' received an invalid reply type: DISCONNECTED");
}

TEST_F(ScriptedHandshakeTest, index_missing_from_the_servers_list) {
    start([](const ipc_tools::Message& request) -> std::optional<ipc_tools::Message> {
        if (request.get_type() == ipc_tools::GET_INDICES) {
            return reference_server::reply_builder::alignment_indices("", {});
        }
        return std::nullopt;
    });
    EXPECT_EQ(protocol.establish_server_connection(full_info("a"), 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::align_index_unavailable);
    EXPECT_EQ(protocol.error_state().message,
              "Could not retrieve alignment file header for: " + std::filesystem::canonical(index_path).string());
}

TEST_F(ScriptedHandshakeTest, load_config_refused_with_invalid_aligner_options_is_config_unavailable) {
    start([](const ipc_tools::Message& request) -> std::optional<ipc_tools::Message> {
        if (request.get_type() == ipc_tools::LOAD_CONFIG) {
            return ipc_tools::Message(ipc_tools::INVALID_ALIGNER_OPTIONS, "", 0, "server says no");
        }
        return std::nullopt;
    });
    EXPECT_EQ(protocol.establish_server_connection(connection_info("a"), 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::basecall_config_unavailable);
    EXPECT_EQ(protocol.error_state().message, "server says no");
}

TEST_F(ScriptedHandshakeTest, path_that_stops_resolving_is_an_error_not_an_exception) {
    start([](const ipc_tools::Message&) { return std::nullopt; });
    auto info = connection_info("a");
    info.bed_file = temp.write("gone.bed", "x\t0\t1\n");
    info.client_name = "bad>name";  // no text form in the connection string
    EXPECT_EQ(protocol.establish_server_connection(info, 10), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::failed);
    EXPECT_EQ(protocol.error_state().message.rfind("Could not build connection string: ", 0), 0U);
}

}  // namespace
