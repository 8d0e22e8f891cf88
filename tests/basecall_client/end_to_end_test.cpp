// A BasecallClient against the in-process reference server: reads go out, come back called to
// their exact sequences, and survive server restarts and silences through reconnection.

#include "basecall_client/basecall_client.h"

#include "engine_client_test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace engine_test;
using basecall_service::BasecallClient;
using basecall_service::ClientStatus;
using basecall_service::ConnectionError;
using basecall_service::FinishOutcome;
using basecall_service::PassReadResult;
using reference_server::FaultAction;

// Long enough for any healthy run, even under the sanitizers; a read that never comes back fails
// the test instead of hanging it.
constexpr unsigned long long FINISH_LIMIT_S = 120;

class EndToEndTest : public ::testing::Test {
protected:
    EndToEndTest() : server(server_options(dir)) {}

    void connect(BasecallClient& client) {
        client.connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, connection_info());
        ASSERT_EQ(client.get_connection_state().get_status(), ClientStatus::connected);
    }

    // Short single reads, long multi-block reads and one pass_reads batch of short reads.
    void pass_mixed_reads(BasecallClient& client) {
        for (std::uint64_t tag = 1; tag <= 4; ++tag) {
            auto read = reads.add(tag, 200 + 50 * tag);
            ASSERT_EQ(client.pass_read(*read, 1000), PassReadResult::success);
        }
        for (std::uint64_t tag = 100; tag < 103; ++tag) {
            auto read = reads.add(tag, 2500 + 100 * (tag - 100));  // 12500+ samples: four blocks
            ASSERT_EQ(client.pass_read(*read, 1000), PassReadResult::success);
        }
        interfaces::ReadList batch;
        for (std::uint64_t tag = 200; tag < 220; ++tag) {
            batch.push_back(reads.add(tag, 100 + tag % 7));
        }
        ASSERT_EQ(client.pass_reads(batch, 1000), PassReadResult::success);
        EXPECT_TRUE(batch.empty());
    }

    // Every passed read came back once, called to its exact sequence and moves.
    void expect_every_read_back(BasecallClient& client) {
        const auto out = collect_by_tag(client);
        EXPECT_EQ(out.size(), reads.size());
        for (const auto& [tag, sequence] : reads.sequences()) {
            const auto found = out.find(tag);
            ASSERT_NE(found, out.end()) << "read " << tag << " lost";
            expect_called_read(*found->second, sequence, true);
        }
    }

    // Runs `test` against a server that holds a pull until its read is called and against one that
    // answers it at once that nothing is ready, each made from `options`, with fresh reads.
    void against_both_kinds_of_server(reference_server::ServerOptions options,
                                      const std::function<void(reference_server::ReferenceServer&)>& test) {
        server.stop();
        for (const bool hold_pulls : {true, false}) {
            SCOPED_TRACE(hold_pulls ? "pulls held" : "pulls answered at once");
            options.hold_pulls = hold_pulls;
            reference_server::ReferenceServer serving(options);
            reads = ReadSet();
            test(serving);
        }
    }

    server_test::TempDir dir;
    reference_server::ReferenceServer server;
    ReadSet reads;
};

// With the loop's own pause before NO_MORE_DATA.
TEST_F(EndToEndTest, EveryReadComesBackWithItsExactSequenceAndMoves) {
    against_both_kinds_of_server(server_options(dir), [this](reference_server::ReferenceServer& serving) {
        BasecallClient client(client_block_size, 100, 10, false, false, nullptr);
        connect(client);
        pass_mixed_reads(client);
        EXPECT_EQ(client.finish_by(FINISH_LIMIT_S), FinishOutcome::success);
        expect_every_read_back(client);
        EXPECT_EQ(client.get_connection_state().get_status(), ClientStatus::disconnected);
        EXPECT_EQ(client.get_connection_state().get_error_state().code, ConnectionError::no_error);
        EXPECT_LE(serving.request_log().count(ipc_tools::NO_MORE_DATA), 1U);
        EXPECT_EQ(serving.request_log().count(ipc_tools::DISCONNECT), 1U);
        EXPECT_GE(serving.request_log().count(ipc_tools::GET_NEXT_CALLED_BLOCK), 9U);
    });
}

TEST_F(EndToEndTest, ServerRestartMidRunLeadsToAReconnectAndNoReadIsLost) {
    server.faults().add(fault(FaultAction::restart, ipc_tools::GET_FIRST_CALLED_BLOCK, 3));
    auto client = make_client();
    connect(*client);
    const std::string first_id = client->get_connected_info().client_uid;
    pass_mixed_reads(*client);
    EXPECT_EQ(client->finish_by(FINISH_LIMIT_S), FinishOutcome::success);
    expect_every_read_back(*client);
    // A group built before the reconnection still carries the old id and may cost one more.
    EXPECT_GE(server.request_log().count(ipc_tools::CONNECT), 2U);
    EXPECT_NE(client->get_connected_info().client_uid, first_id);
    EXPECT_EQ(client->get_connection_state().get_error_state().code, ConnectionError::no_error);
}

TEST_F(EndToEndTest, ClientNotRecognisedLeadsToAReconnectAndNoReadIsLost) {
    server.faults().add(fault(FaultAction::client_not_recognised, ipc_tools::PASS_FIRST_RAW_BLOCK, 2));
    auto client = make_client();
    connect(*client);
    pass_mixed_reads(*client);
    EXPECT_EQ(client->finish_by(FINISH_LIMIT_S), FinishOutcome::success);
    expect_every_read_back(*client);
    EXPECT_GE(server.request_log().count(ipc_tools::CONNECT), 2U);
}

TEST_F(EndToEndTest, SilentServerMidRunLeadsToAReconnectAndNoReadIsLost) {
    server.faults().add(fault(FaultAction::silence, ipc_tools::GET_FIRST_CALLED_BLOCK, 2));
    auto client = make_client();
    connect(*client);
    pass_mixed_reads(*client);
    EXPECT_EQ(client->finish_by(FINISH_LIMIT_S), FinishOutcome::success);
    expect_every_read_back(*client);
    EXPECT_GE(server.request_log().count(ipc_tools::CONNECT), 2U);
    // A timed-out connection is not told goodbye; the last, clean one is.
    EXPECT_EQ(server.request_log().count(ipc_tools::DISCONNECT), 1U);
}

TEST_F(EndToEndTest, ReadsInFlightAtTooManyReconnectionsAreGivenBackUncalled) {
    // Every pull is answered CLIENT_NOT_RECOGNISED for a while: reads in flight survive no
    // reconnection with a failure limit of 0.
    server.faults().add(fault(FaultAction::client_not_recognised, ipc_tools::GET_FIRST_CALLED_BLOCK, 1, 1));
    auto client = make_client(100, 0);
    connect(*client);
    auto read = reads.add(1, 500);
    ASSERT_EQ(client->pass_read(*read, 1000), PassReadResult::success);
    // A read given back uncalled is not a success.
    EXPECT_EQ(client->finish_by(FINISH_LIMIT_S), FinishOutcome::failed);
    auto out = collect_by_tag(*client);
    ASSERT_EQ(out.size(), 1U);
    EXPECT_FALSE(out.at(1)->has_dataset(bass::data_wrappers::dataset::sequence));
    EXPECT_TRUE(out.at(1)->has_dataset(bass::data_wrappers::dataset::raw_data));
}

TEST_F(EndToEndTest, ReadsLostOnTheServerComeBackUncalled) {
    const auto rule = server.faults().add(fault(FaultAction::reads_lost, ipc_tools::GET_FIRST_CALLED_BLOCK, 2));
    auto client = make_client();
    connect(*client);
    pass_mixed_reads(*client);
    EXPECT_EQ(client->finish_by(FINISH_LIMIT_S), FinishOutcome::failed);
    EXPECT_EQ(server.faults().times_fired(rule), 1U);
    const auto out = collect_by_tag(*client);
    EXPECT_EQ(out.size(), reads.size());
    std::size_t uncalled = 0;
    for (const auto& [tag, read] : out) {
        if (read->has_dataset(bass::data_wrappers::dataset::sequence)) {
            expect_called_read(*read, reads.sequences().at(tag), true);
        } else {
            ++uncalled;
        }
    }
    EXPECT_GE(uncalled, 1U);
    EXPECT_EQ(client->get_connection_state().get_error_state().code, ConnectionError::no_error);
}

TEST_F(EndToEndTest, BadRequestEndsTheWorkerRecordsTheErrorAndStopsAcceptingReads) {
    auto rule = fault(FaultAction::bad_request, ipc_tools::GET_FIRST_CALLED_BLOCK);
    rule.text = "refused by the test server";
    server.faults().add(rule);
    auto client = make_client();
    connect(*client);
    auto first = reads.add(1, 500);
    ASSERT_EQ(client->pass_read(*first, 1000), PassReadResult::success);
    ASSERT_TRUE(wait_for([&] { return client->get_connection_state().get_status() == ClientStatus::error; }));
    const auto error = client->get_connection_state().get_error_state();
    EXPECT_EQ(error.code, ConnectionError::bad_request);
    EXPECT_NE(error.message.find("refused by the test server"), std::string::npos) << error.message;
    auto second = reads.add(2, 500);
    EXPECT_EQ(client->pass_read(*second, 0), PassReadResult::not_accepting_reads);
    EXPECT_TRUE(server.request_log().wait_for_count(ipc_tools::DISCONNECT, 1, condition_timeout));
    EXPECT_EQ(server.request_log().count(ipc_tools::CONNECT), 1U);
    EXPECT_EQ(client->finish_by(0), FinishOutcome::failed);
    // The read in flight when the worker ended is given back.
    EXPECT_EQ(collect_by_tag(*client).count(1), 1U);
    client->disconnect();
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::disconnected);
}

TEST_F(EndToEndTest, LaterBlockAnsweredWithTheOneBeforeEndsWithBadReplyAndTheReadUncalled) {
    // The third block is answered with the second: joined, the read would come back called with
    // wrong bases and the right length.
    auto rule = fault(FaultAction::repeated_block, ipc_tools::GET_NEXT_CALLED_BLOCK);
    rule.count.reset();
    server.faults().add(rule);
    auto client = make_client();
    connect(*client);
    auto read = reads.add(1, 2500);  // four blocks
    ASSERT_EQ(client->pass_read(*read, 1000), PassReadResult::success);
    ASSERT_TRUE(wait_for([&] { return client->get_connection_state().get_status() == ClientStatus::error; }));
    const auto error = client->get_connection_state().get_error_state();
    EXPECT_EQ(error.code, ConnectionError::bad_reply);
    EXPECT_EQ(error.message, "Server returned block 1 of read 1 when block 2 of read 1 was expected (server at " +
                                     dir.ipc_endpoint() + ")");
    EXPECT_EQ(client->finish_by(0), FinishOutcome::failed);
    const auto out = collect_by_tag(*client);
    ASSERT_EQ(out.count(1), 1U);
    EXPECT_FALSE(out.at(1)->has_dataset(bass::data_wrappers::dataset::sequence));
    EXPECT_EQ(out.at(1)->get_dataset(bass::data_wrappers::dataset::raw_data).m_info.size, 2500U * 5);
}

TEST_F(EndToEndTest, ReadWhosePushAlwaysFailsComesBackUncalledAndFinishEnds) {
    // Every push brings the server down: each failed push counts against the read it carried, so
    // the failure limit gives it back rather than sending it to every new connection for ever.
    auto rule = fault(FaultAction::restart, ipc_tools::PASS_FIRST_RAW_BLOCK);
    rule.count.reset();
    server.faults().add(rule);
    auto client = make_client(100, 1);
    client->set_reconnect_timeout(std::chrono::seconds(1));
    connect(*client);
    auto read = reads.add(1, 500);
    ASSERT_EQ(client->pass_read(*read, 1000), PassReadResult::success);
    EXPECT_EQ(client->finish_by(FINISH_LIMIT_S), FinishOutcome::failed);
    const auto out = collect_by_tag(*client);
    ASSERT_EQ(out.count(1), 1U);
    EXPECT_FALSE(out.at(1)->has_dataset(bass::data_wrappers::dataset::sequence));
    EXPECT_EQ(out.at(1)->get_dataset(bass::data_wrappers::dataset::raw_data).m_info.size, 500U * 5);
    EXPECT_LE(server.request_log().count(ipc_tools::CONNECT), 4U);
}

TEST_F(EndToEndTest, FailedGoodbyeAfterEveryReadCameBackCalledIsStillASuccess) {
    // The pull that brings the read back is held until it is called, and NO_MORE_DATA follows it
    // in the same pass: the goodbye fails once nothing is left to lose.
    server.faults().add(fault(FaultAction::bad_request, ipc_tools::NO_MORE_DATA));
    auto client = make_client();
    connect(*client);
    auto read = reads.add(1, 300);
    ASSERT_EQ(client->pass_read(*read, 1000), PassReadResult::success);
    client->set_no_more_data();
    ASSERT_TRUE(wait_for([&] { return client->get_connection_state().get_status() == ClientStatus::error; }));
    EXPECT_EQ(client->get_connection_state().get_error_state().code, ConnectionError::bad_request);
    EXPECT_EQ(client->finish_by(FINISH_LIMIT_S), FinishOutcome::success);
    expect_every_read_back(*client);
}

TEST_F(EndToEndTest, SplitReadsComeBackWithTheirOwnPartsWhicheverComesFirst) {
    // Parts come before their parent in single replies, and before or after it in batches.
    auto options = server_options(dir);
    options.split_reads = 2;
    against_both_kinds_of_server(options, [this](reference_server::ReferenceServer&) {
        auto client = make_client();
        connect(*client);
        pass_mixed_reads(*client);
        EXPECT_EQ(client->finish_by(FINISH_LIMIT_S), FinishOutcome::success);
        interfaces::ReadList out;
        client->get_completed_reads(out, interfaces::medium_priority);
        std::map<std::pair<std::uint64_t, std::uint64_t>, const interfaces::ReadHolder*> by_tags;
        for (const auto& read : out) {
            EXPECT_TRUE(by_tags.emplace(std::make_pair(read->read_tag, read->sub_tag), read.get()).second);
        }
        EXPECT_EQ(by_tags.size(), 3 * reads.size());
        for (const auto& [tag, sequence] : reads.sequences()) {
            const std::size_t half = sequence.size() / 2;
            const std::string parts[] = {sequence, sequence.substr(0, half), sequence.substr(half)};
            for (std::uint64_t sub_tag = 0; sub_tag < 3; ++sub_tag) {
                const auto found = by_tags.find({tag, sub_tag});
                ASSERT_NE(found, by_tags.end()) << "read " << tag << " sub-read " << sub_tag << " lost";
                expect_called_read(*found->second, parts[sub_tag], true);
            }
        }
    });
}

TEST_F(EndToEndTest, TheCallReplacesWhatTheCallerPassedUnderItsIdsWholeOrSplit) {
    // A read passed with an old call of its own: the new call's sequence and keys must win, in the
    // read and in every part of it, while the caller's other data stays as passed.
    server.stop();
    for (const std::uint64_t split_parts : {0, 2}) {
        SCOPED_TRACE("split into " + std::to_string(split_parts));
        auto options = server_options(dir);
        options.split_reads = split_parts;
        reference_server::ReferenceServer serving(options);
        ReadSet stale_reads;
        auto client = make_client();
        connect(*client);
        for (std::uint64_t tag = 1; tag <= 3; ++tag) {
            auto read = stale_reads.add(tag, 300);
            read->set_dataset(bass::data_wrappers::dataset::sequence, std::string("ACGT"));
            read->metadata.insert<std::uint64_t>("sequence_length", 4);
            read->metadata.insert("caller_note", std::string("kept"));
            ASSERT_EQ(client->pass_read(*read, 1000), PassReadResult::success);
        }
        EXPECT_EQ(client->finish_by(FINISH_LIMIT_S), FinishOutcome::success);
        interfaces::ReadList out;
        client->get_completed_reads(out, interfaces::medium_priority);
        EXPECT_EQ(out.size(), stale_reads.size() * (split_parts + 1));
        for (const auto& read : out) {
            const std::string& whole = stale_reads.sequences().at(read->read_tag);
            const std::size_t half = whole.size() / 2;
            const std::string parts[] = {whole, whole.substr(0, half), whole.substr(half)};
            ASSERT_LT(read->sub_tag, 3U);
            expect_called_read(*read, parts[read->sub_tag], true);
            EXPECT_EQ(read->get_by_name("sequence_length"), std::to_string(parts[read->sub_tag].size()));
            EXPECT_EQ(read->get_by_name("caller_note"), "kept");
            EXPECT_TRUE(read->has_dataset(bass::data_wrappers::dataset::raw_data));
        }
        client->disconnect();
    }
}

TEST_F(EndToEndTest, AReconnectionTakesTheNewConfigurationsModelStride) {
    auto client = make_client();
    connect(*client);
    EXPECT_EQ(client->current_model_stride(), 5U);
    server.stop();
    auto options = server_options(dir);
    for (auto& configuration : options.configurations) {
        configuration.model_stride = 6;
    }
    reference_server::ReferenceServer restarted(options);
    ASSERT_TRUE(wait_for([&] { return client->current_model_stride() == 6U; }));
    EXPECT_EQ(client->get_basecalling_config().model_stride, 6U);
    client->disconnect();
}

TEST_F(EndToEndTest, ThePauseBeforeNoMoreDataNeitherDelaysNorStrandsAnyRead) {
    // A pause far longer than any run: a loop that stopped pulling during it would show.
    constexpr auto pause = std::chrono::seconds(60);
    const auto quick = std::chrono::seconds(2) * slow_factor;
    struct Case {
        bool hold_pulls;
        std::uint64_t early_pulls_answered_none;  // as reads not called yet: the queue drains first
        std::uint32_t split_reads;
        unsigned long long finish_limit_s;
    };
    server.stop();
    for (const Case& run : {Case{false, 3, 0, 3}, Case{true, 0, 2, 0}, Case{true, 0, 2, 2}}) {
        SCOPED_TRACE("hold_pulls " + std::to_string(run.hold_pulls) + ", split into " +
                     std::to_string(run.split_reads) + ", finish(" + std::to_string(run.finish_limit_s) + ")");
        auto options = server_options(dir);
        options.hold_pulls = run.hold_pulls;
        options.split_reads = run.split_reads;
        reference_server::ReferenceServer serving(options);
        if (run.early_pulls_answered_none != 0) {
            serving.faults().add(fault(FaultAction::none_pending, ipc_tools::GET_FIRST_CALLED_BLOCK, 1,
                                       run.early_pulls_answered_none));
        }
        auto client = std::make_unique<BasecallClient>(client_block_size, 100, 10, false, false, nullptr);
        auto loop = std::make_shared<basecall_service::ReadProcessingProtocol>();
        loop->set_no_more_data_pause(pause);
        client->set_read_processing_protocol(loop);
        connect(*client);
        ReadSet passed;
        for (std::uint64_t tag = 1; tag <= 3; ++tag) {
            auto read = passed.add(tag, 300);
            ASSERT_EQ(client->pass_read(*read, 1000), PassReadResult::success);
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(client->finish_by(run.finish_limit_s * slow_factor), FinishOutcome::success);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_LT(elapsed, quick) << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms";
        interfaces::ReadList out;
        client->get_completed_reads(out, interfaces::medium_priority);
        EXPECT_EQ(out.size(), passed.size() * (run.split_reads + 1));
        for (const auto& read : out) {
            EXPECT_TRUE(read->has_dataset(bass::data_wrappers::dataset::sequence))
                    << "read " << read->read_tag << " handed back uncalled";
        }
    }
}

}  // namespace
