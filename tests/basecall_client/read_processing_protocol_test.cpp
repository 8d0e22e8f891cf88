#include "basecall_client/read_processing_protocol.h"

#include "basecall_client/read_buffer.h"
#include "basecall_client/request_broker_adapter.h"
#include "common/contract.h"
#include "interfaces/read_alignment_helper.h"
#include "engine_client_test_support.h"
#include "ipc_tools/protocol_version.h"
#include "scripted_server.h"
#include "test_support/log_recorder.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <deque>
#include <future>
#include <mutex>
#include <optional>

namespace {

using namespace engine_test;
using basecall_service::ConnectionError;
using basecall_service::ErrorState;
using basecall_service::ReadBuffer;
using basecall_service::ReadProcessingProtocol;
using basecall_service::RequestBrokerAdapter;
using reference_server::FaultAction;

constexpr unsigned long block_size = 4000;  // samples: 800 bases
// A loop here has no reconnection to fall back on: on a busy machine a reply can outlast the link's
// short time-out, so the loop waits patiently unless a test wants the time-out itself.
constexpr std::uint32_t patient_request_timeout_ms = 2000 * slow_factor;

// The ceiling that paces a loop with nothing on the server, which a loop with reads there stays
// well below: exact on an idle machine in a plain build, where a wake-up is prompt; a sanitizer or
// a busy machine delays every wake-up of a pausing loop, so the bound widens with them.
std::chrono::steady_clock::duration idle_ceiling_bound() {
    const double widening = (slow_factor > 1 ? 2.0 : 1.0) * test_support::machine_slowness();
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(basecall_service::PullPacer::longest_pause *
                                                                           widening);
}

// Gaps between the arrivals of the server's requests of one type, in arrival order.
std::vector<std::chrono::steady_clock::duration> arrival_gaps(const reference_server::RequestLog& log,
                                                              ipc_tools::MessageType type) {
    std::vector<std::chrono::steady_clock::duration> gaps;
    std::optional<std::chrono::steady_clock::time_point> last;
    for (const auto& request : log.snapshot()) {
        if (request.type == type) {
            if (last) {
                gaps.push_back(request.arrival - *last);
            }
            last = request.arrival;
        }
    }
    return gaps;
}

// One registered client on the reference server, with the engine's read buffer, link and loop.
class ReadLoopTest : public ::testing::Test {
protected:
    ReadLoopTest() : server(server_options(dir)), client(dir.ipc_endpoint()) {
        client_id = client.connect(config_name(), "read_loop_test", ">move_and_trace_enabled=1");
        EXPECT_TRUE(adapter.prepare_connection(dir.ipc_endpoint(), patient_request_timeout_ms));
        buffer.set_block_size(block_size);
        buffer.set_max_input_queue_size(100);
        buffer.set_connection_id(client_id);
        protocol.set_connection_id(client_id);
        protocol.set_no_more_data_pause(10ms);
    }

    ~ReadLoopTest() override {
        if (loop.valid()) {
            protocol.stop();
            loop.wait();
        }
    }

    void queue(std::unique_ptr<interfaces::ReadHolder> read) { ASSERT_TRUE(buffer.queue_read(*read, 0)); }

    void start() {
        loop = std::async(std::launch::async, [this] { return protocol.process_reads(&buffer, &adapter); });
    }

    // Waits for the loop to end by itself (an error) and returns what it returned.
    ErrorState wait_for_end() {
        EXPECT_EQ(loop.wait_for(condition_timeout), std::future_status::ready);
        return loop.get();
    }

    ErrorState stop() {
        protocol.stop();
        return loop.get();
    }

    std::vector<std::unique_ptr<interfaces::ReadHolder>> wait_for_reads(std::size_t n) {
        EXPECT_TRUE(wait_for([&] { return buffer.num_reads_out() >= n; })) << buffer.num_reads_out() << " of " << n;
        interfaces::ReadList out;
        buffer.get_reads_out(out);
        return {std::make_move_iterator(out.begin()), std::make_move_iterator(out.end())};
    }

    server_test::TempDir dir;
    reference_server::ReferenceServer server;
    server_test::TestClient client;
    std::string client_id;
    RequestBrokerAdapter adapter;
    ReadBuffer buffer;
    ReadProcessingProtocol protocol;
    ReadSet reads;
    std::future<ErrorState> loop;
};

TEST_F(ReadLoopTest, PushesSinglesAndBatchesAndPullsEveryReadBackWhole) {
    queue(reads.add(1, 2000));  // 10000 samples: three blocks
    queue(reads.add(2, 700));   // one block
    interfaces::ReadList batch;
    for (std::uint64_t tag = 10; tag < 16; ++tag) {
        batch.push_back(reads.add(tag, 120));  // 600 samples each: batches of six
    }
    ASSERT_TRUE(buffer.queue_reads(batch, 0));
    start();

    const auto out = wait_for_reads(reads.size());
    EXPECT_EQ(stop().code, ConnectionError::no_error);
    ASSERT_EQ(out.size(), reads.size());
    for (const auto& read : out) {
        expect_called_read(*read, reads.sequences().at(read->read_tag), true);
    }
    EXPECT_TRUE(buffer.all_reads_processed());
    // Two further blocks of the three-block read were fetched, nothing else.
    EXPECT_EQ(server.request_log().count(ipc_tools::GET_NEXT_CALLED_BLOCK), 2U);
    EXPECT_EQ(server.request_log().count(ipc_tools::PASS_NEXT_RAW_BLOCK), 2U);
    EXPECT_GE(server.request_log().count(ipc_tools::PASS_READ_BATCH), 1U);
    // No end of input was declared, so none was sent.
    EXPECT_EQ(server.request_log().count(ipc_tools::NO_MORE_DATA), 0U);
}

TEST_F(ReadLoopTest, GroupRefusedWithNotReadyIsOfferedAgainWithoutError) {
    server.faults().add(fault(FaultAction::not_ready, ipc_tools::PASS_FIRST_RAW_BLOCK, 1, 5));
    queue(reads.add(1, 2000));
    start();

    const auto out = wait_for_reads(1);
    EXPECT_EQ(stop().code, ConnectionError::no_error);
    ASSERT_EQ(out.size(), 1U);
    expect_called_read(*out.front(), reads.sequences().at(1), true);
    EXPECT_EQ(server.request_log().count(ipc_tools::PASS_FIRST_RAW_BLOCK), 6U);
}

TEST_F(ReadLoopTest, LaterBlockRefusedEndsTheLoopWithBadReplyNamingTheRead) {
    server.faults().add(fault(FaultAction::not_ready, ipc_tools::PASS_NEXT_RAW_BLOCK));
    queue(reads.add(42, 2000));
    start();

    const ErrorState error = wait_for_end();
    EXPECT_EQ(error.code, ConnectionError::bad_reply);
    EXPECT_EQ(error.message, "Server accepted first block of read, but then rejected subsequent block for read: 42");
    // The read was not marked submitted: it waits to be requeued by the next connection.
    EXPECT_EQ(buffer.num_queued_reads(), 1U);
    EXPECT_EQ(buffer.num_submitted_reads(), 0U);
}

TEST_F(ReadLoopTest, CalledBlockRequestCarriesTheTwoOptions) {
    for (const auto& [disable_events, pull_state, expected] :
         std::vector<std::tuple<bool, bool, std::uint32_t>>{{true, true, 3}, {false, true, 2}, {true, false, 1}}) {
        ReadProcessingProtocol options;
        options.set_disable_events(disable_events);
        options.set_pull_state_data(pull_state);
        EXPECT_EQ(options.called_block_options(), expected);
    }

    protocol.set_disable_events(true);
    protocol.set_pull_state_data(true);
    queue(reads.add(1, 500));
    start();
    const auto out = wait_for_reads(1);
    stop();
    const auto log = server.request_log().snapshot();
    const auto pulls = std::count_if(log.begin(), log.end(), [](const auto& request) {
        return request.type == ipc_tools::GET_FIRST_CALLED_BLOCK;
    });
    ASSERT_GT(pulls, 0);
    for (const auto& request : log) {
        if (request.type == ipc_tools::GET_FIRST_CALLED_BLOCK) {
            EXPECT_EQ(request.value, 3U);
            EXPECT_EQ(request.client_id, client_id);
        }
    }
    // Events disabled: sequence and qualities only.
    ASSERT_EQ(out.size(), 1U);
    expect_called_read(*out.front(), reads.sequences().at(1), false);
    EXPECT_FALSE(out.front()->has_dataset(bass::data_wrappers::dataset::movement));
}

TEST_F(ReadLoopTest, NonePendingWithoutLossKeepsTheReads) {
    server.faults().add(fault(FaultAction::none_pending, ipc_tools::GET_FIRST_CALLED_BLOCK, 1, 3));
    queue(reads.add(1, 500));
    start();
    const auto out = wait_for_reads(1);
    EXPECT_EQ(stop().code, ConnectionError::no_error);
    ASSERT_EQ(out.size(), 1U);
    expect_called_read(*out.front(), reads.sequences().at(1), true);
}

TEST_F(ReadLoopTest, PullsAnsweredNonePendingArePacedAndTheReadStillComesBack) {
    // A server that answers every pull at once with nothing ready, as a busy one may: a loop that
    // pulled again at once would send thousands a second. Load only lowers the count.
    constexpr double most_pulls_per_second = 1000;
    auto rule = fault(FaultAction::none_pending, ipc_tools::GET_FIRST_CALLED_BLOCK);
    rule.count.reset();
    server.faults().add(rule);
    queue(reads.add(1, 500));
    start();
    ASSERT_TRUE(server.request_log().wait_for_count(ipc_tools::GET_FIRST_CALLED_BLOCK, 1, condition_timeout));
    const auto first_count = server.request_log().count(ipc_tools::GET_FIRST_CALLED_BLOCK);
    const auto window_start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1s);
    const auto pulls = server.request_log().count(ipc_tools::GET_FIRST_CALLED_BLOCK) - first_count;
    const std::chrono::duration<double> window = std::chrono::steady_clock::now() - window_start;
    EXPECT_LE(static_cast<double>(pulls) / window.count(), most_pulls_per_second)
            << pulls << " pulls in " << window.count() << " s";
    // Yet with a read on the server it asks about once a millisecond, so that a read called
    // meanwhile comes back soon: the pause does not grow to the ceiling kept for an idle server.
    auto gaps = arrival_gaps(server.request_log(), ipc_tools::GET_FIRST_CALLED_BLOCK);
    ASSERT_GT(gaps.size(), 10U);
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    EXPECT_LT(gaps[gaps.size() / 2], idle_ceiling_bound())
            << "median gap between pulls "
            << std::chrono::duration_cast<std::chrono::microseconds>(gaps[gaps.size() / 2]).count() << " us";

    server.faults().clear();
    const auto out = wait_for_reads(1);
    EXPECT_EQ(stop().code, ConnectionError::no_error);
    ASSERT_EQ(out.size(), 1U);
    expect_called_read(*out.front(), reads.sequences().at(1), true);
}

TEST_F(ReadLoopTest, PushesRefusedWithNotReadyArePacedAndTheReadsComeBackOnceTaken) {
    // A server with no room refuses every push but the first at once, and answers every pull that
    // nothing is ready: a loop that offered the refused group again at once would send thousands
    // of requests a second and keep a core busy. Load only lowers the count; the sanitizers raise
    // the CPU a request costs.
    constexpr double most_requests_per_second = 1000;
    constexpr double most_cpu_share = 0.1 * (slow_factor > 1 ? 4 : 1);
    auto refuse = fault(FaultAction::not_ready, ipc_tools::PASS_FIRST_RAW_BLOCK, 2);
    refuse.count.reset();
    server.faults().add(refuse);
    auto nothing_ready = fault(FaultAction::none_pending, ipc_tools::GET_FIRST_CALLED_BLOCK);
    nothing_ready.count.reset();
    server.faults().add(nothing_ready);
    for (std::uint64_t tag = 1; tag <= 3; ++tag) {
        queue(reads.add(tag, 500));
    }
    std::promise<clockid_t> worker_clock;
    loop = std::async(std::launch::async, [this, &worker_clock] {
        clockid_t clock = 0;
        pthread_getcpuclockid(pthread_self(), &clock);
        worker_clock.set_value(clock);
        return protocol.process_reads(&buffer, &adapter);
    });
    const clockid_t clock = worker_clock.get_future().get();
    const auto cpu_time = [clock] {
        timespec now{};
        clock_gettime(clock, &now);
        return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
    };
    ASSERT_TRUE(server.request_log().wait_for_count(ipc_tools::PASS_FIRST_RAW_BLOCK, 2, condition_timeout));
    const auto first_count = server.request_log().size();
    const auto cpu_start = cpu_time();
    const auto window_start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1s);
    const auto requests = server.request_log().size() - first_count;
    const std::chrono::duration<double> cpu = cpu_time() - cpu_start;
    const std::chrono::duration<double> window = std::chrono::steady_clock::now() - window_start;
    EXPECT_LE(static_cast<double>(requests) / window.count(), most_requests_per_second)
            << requests << " requests in " << window.count() << " s";
    EXPECT_LE(cpu.count() / window.count(), most_cpu_share) << cpu.count() << " s of CPU in " << window.count() << " s";
    EXPECT_EQ(buffer.num_queued_reads(), 2U);

    server.faults().clear();
    const auto out = wait_for_reads(3);
    EXPECT_EQ(stop().code, ConnectionError::no_error);
    ASSERT_EQ(out.size(), 3U);
    for (const auto& read : out) {
        expect_called_read(*read, reads.sequences().at(read->read_tag), true);
    }
}

TEST_F(ReadLoopTest, GroupRefusedWhileAReadWaitsOnTheServerIsOfferedAgainSoon) {
    // The first read stays on the server, its pulls answered that nothing is ready, long enough for
    // an idle server's pause to reach its ceiling; then the next read is refused three times.
    auto nothing_ready = fault(FaultAction::none_pending, ipc_tools::GET_FIRST_CALLED_BLOCK);
    nothing_ready.count.reset();
    server.faults().add(nothing_ready);
    queue(reads.add(1, 500));
    start();
    ASSERT_TRUE(server.request_log().wait_for_count(ipc_tools::GET_FIRST_CALLED_BLOCK, 8, condition_timeout));
    server.faults().add(fault(FaultAction::not_ready, ipc_tools::PASS_FIRST_RAW_BLOCK, 1, 3));
    queue(reads.add(2, 500));
    ASSERT_TRUE(server.request_log().wait_for_count(ipc_tools::PASS_FIRST_RAW_BLOCK, 5, condition_timeout));
    EXPECT_TRUE(wait_for([&] { return buffer.num_submitted_reads() == 2; }));
    // Room may free before the read comes back: the first offers again go out well within the
    // ceiling that paces a loop with nothing on the server.
    auto gaps = arrival_gaps(server.request_log(), ipc_tools::PASS_FIRST_RAW_BLOCK);
    ASSERT_EQ(gaps.size(), 4U);
    EXPECT_LT(*std::min_element(gaps.begin() + 1, gaps.end()), idle_ceiling_bound())
            << "shortest gap between offers "
            << std::chrono::duration_cast<std::chrono::microseconds>(*std::min_element(gaps.begin() + 1, gaps.end()))
                       .count()
            << " us";

    server.faults().clear();
    const auto out = wait_for_reads(2);
    EXPECT_EQ(stop().code, ConnectionError::no_error);
    EXPECT_EQ(out.size(), 2U);
}

TEST_F(ReadLoopTest, ReadsLostOnTheServerComeBackUncalledAndTheLoopGoesOn) {
    const test_support::LogRecorder log;
    const auto rule = server.faults().add(fault(FaultAction::reads_lost, ipc_tools::GET_FIRST_CALLED_BLOCK));
    queue(reads.add(1, 500));
    start();
    // The one read in flight when the loss is reported is given back as it was passed.
    auto lost = wait_for_reads(1);
    ASSERT_EQ(lost.size(), 1U);
    EXPECT_EQ(server.faults().times_fired(rule), 1U);
    EXPECT_EQ(lost.front()->read_tag, 1U);
    EXPECT_FALSE(lost.front()->has_dataset(bass::data_wrappers::dataset::sequence));
    EXPECT_TRUE(lost.front()->has_dataset(bass::data_wrappers::dataset::raw_data));
    EXPECT_EQ(buffer.num_reads_returned_uncalled(), 1U);
    // One warning, naming the server that lost them: written once the reads are given back.
    const auto warning = test_support::LogRecorder::Severity::warning;
    ASSERT_TRUE(wait_for([&] { return !log.at(warning).empty(); }));
    const auto warnings = log.at(warning);
    ASSERT_EQ(warnings.size(), 1U);
    EXPECT_NE(warnings.front().find("1 read(s) returned uncalled. (server at " + dir.ipc_endpoint() + ")"),
              std::string::npos)
            << warnings.front();

    // The loop still serves.
    queue(reads.add(2, 500));
    const auto out = wait_for_reads(1);
    EXPECT_EQ(stop().code, ConnectionError::no_error);
    ASSERT_EQ(out.size(), 1U);
    EXPECT_EQ(out.front()->read_tag, 2U);
    expect_called_read(*out.front(), reads.sequences().at(2), true);
    EXPECT_TRUE(buffer.all_reads_processed());
}

TEST_F(ReadLoopTest, NoMoreDataIsSentOnceAfterTheQueueDrainsAndAgainWhenDeclaredAgain) {
    server.faults().add(fault(FaultAction::delay, ipc_tools::GET_FIRST_CALLED_BLOCK, 1, 3));
    protocol.set_no_more_data();
    queue(reads.add(1, 2000));
    queue(reads.add(2, 2000));
    start();
    ASSERT_TRUE(server.request_log().wait_for_count(ipc_tools::NO_MORE_DATA, 1, condition_timeout));
    const auto out = wait_for_reads(2);
    // Let the loop idle for a while: nothing more goes out.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(server.request_log().count(ipc_tools::NO_MORE_DATA), 1U);

    // A second declaration with a read outstanding sends it once more. Declared before the read is
    // queued: declared after, the read could already be back, and an idle loop sends nothing.
    protocol.set_no_more_data();
    queue(reads.add(3, 500));
    wait_for_reads(1);
    ASSERT_TRUE(server.request_log().wait_for_count(ipc_tools::NO_MORE_DATA, 2, condition_timeout));
    EXPECT_EQ(stop().code, ConnectionError::no_error);
    EXPECT_EQ(server.request_log().count(ipc_tools::NO_MORE_DATA), 2U);
    for (const auto& request : server.request_log().snapshot()) {
        if (request.type == ipc_tools::NO_MORE_DATA) {
            EXPECT_EQ(request.client_id, client_id);
        }
    }
}

TEST_F(ReadLoopTest, NewConnectionIsToldAgainOfADeclaredEndOfInput) {
    // Declared on an earlier connection: the new one must hear it too, or a server that holds
    // reads until the end of input would keep them for ever.
    protocol.set_no_more_data();
    protocol.set_connection_id(client_id);
    queue(reads.add(1, 500));
    start();
    wait_for_reads(1);
    EXPECT_TRUE(server.request_log().wait_for_count(ipc_tools::NO_MORE_DATA, 1, condition_timeout));
    stop();
    EXPECT_EQ(server.request_log().count(ipc_tools::NO_MORE_DATA), 1U);
}

TEST_F(ReadLoopTest, DefaultPauseBeforeNoMoreDataIsFiveSeconds) {
    EXPECT_EQ(ReadProcessingProtocol::default_no_more_data_pause, std::chrono::milliseconds(5000));
}

TEST_F(ReadLoopTest, SilentServerEndsTheLoopWithTimedOut) {
    ASSERT_TRUE(adapter.prepare_connection(dir.ipc_endpoint(), request_timeout_ms));
    server.faults().add(fault(FaultAction::silence, ipc_tools::GET_FIRST_CALLED_BLOCK));
    queue(reads.add(1, 500));
    start();
    const ErrorState error = wait_for_end();
    EXPECT_EQ(error.code, ConnectionError::timed_out);
    // The read stays in flight, to be requeued by the next connection.
    EXPECT_EQ(buffer.num_submitted_reads(), 1U);
}

TEST_F(ReadLoopTest, BadRequestEndsTheLoopWithTheServersText) {
    auto rule = fault(FaultAction::bad_request, ipc_tools::PASS_FIRST_RAW_BLOCK);
    rule.text = "read refused by test";
    server.faults().add(rule);
    queue(reads.add(1, 500));
    start();
    const ErrorState error = wait_for_end();
    EXPECT_EQ(error.code, ConnectionError::bad_request);
    EXPECT_NE(error.message.find("read refused by test"), std::string::npos) << error.message;
    // A failed push counts against the reads it carried, as a failed pull does.
    EXPECT_EQ(buffer.num_submitted_reads(), 1U);
}

TEST_F(ReadLoopTest, CalledReadOfAnotherClientEndsTheLoopWithBadReply) {
    server.faults().add(fault(FaultAction::unknown_read_tag, ipc_tools::GET_FIRST_CALLED_BLOCK));
    queue(reads.add(1, 500));
    start();
    const ErrorState error = wait_for_end();
    EXPECT_EQ(error.code, ConnectionError::bad_reply);
    EXPECT_NE(error.message.find("Returned read does not belong to this client: "), std::string::npos);
    // The read is still in flight: nothing was lost.
    EXPECT_EQ(buffer.num_submitted_reads(), 1U);
}

TEST_F(ReadLoopTest, PushStartedBeforeAFailedDecodeIsAnsweredAndTheLinkStaysUsable) {
    server.faults().add(fault(FaultAction::unknown_read_tag, ipc_tools::GET_FIRST_CALLED_BLOCK));
    queue(reads.add(1, 500));
    queue(reads.add(2, 500));
    start();
    const ErrorState error = wait_for_end();
    EXPECT_EQ(error.code, ConnectionError::bad_reply);
    // The second read went out while the first pull was decoded; its reply was taken, but the
    // loop ended before the read was marked in flight, so it is still queued and nothing is lost.
    EXPECT_EQ(server.request_log().count(ipc_tools::PASS_FIRST_RAW_BLOCK), 2U);
    EXPECT_EQ(buffer.num_queued_reads(), 1U);
    EXPECT_EQ(buffer.num_submitted_reads(), 1U);
    ipc_tools::Message ping(ipc_tools::HEARTBEAT_PING, client_id, 0, "");
    ipc_tools::Message echo;
    ASSERT_TRUE(adapter.send_request(ping, echo)) << to_string(adapter.error_state());
    EXPECT_EQ(echo.get_type(), ipc_tools::HEARTBEAT_ECHO);
}

TEST_F(ReadLoopTest, IdleLoopStopsWithNoError) {
    start();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(stop().code, ConnectionError::no_error);
    EXPECT_FALSE(protocol.keep_alive());
    // A stopped protocol returns at its first pass, whatever is queued.
    queue(reads.add(1, 500));
    EXPECT_EQ(protocol.process_reads(&buffer, &adapter).code, ConnectionError::no_error);
    EXPECT_EQ(buffer.num_queued_reads(), 1U);
}

TEST(ReadProcessingProtocolContracts, ProcessReadsNeedsConnectionIdBrokerAndBuffer) {
    using common::contract::ContractViolationPolicy;
    const auto previous = common::contract::set_contract_violation_policy(ContractViolationPolicy::throw_exception);
    ReadBuffer buffer;
    RequestBrokerAdapter adapter;
    ReadProcessingProtocol protocol;
    EXPECT_ANY_THROW(protocol.process_reads(&buffer, &adapter));
    protocol.set_connection_id("id");
    EXPECT_ANY_THROW(protocol.process_reads(&buffer, nullptr));
    EXPECT_ANY_THROW(protocol.process_reads(nullptr, &adapter));
    common::contract::set_contract_violation_policy(previous);
}

// A completed batch with no reads, its list empty or absent, is the server's other way of saying
// that nothing is ready: the loop paces it as it paces NONE_PENDING.
TEST(ReadLoopAgainstScriptedServer, EmptyCompletedBatchesArePacedAsNothingReady) {
    constexpr double most_pulls_per_second = 1000;
    for (const bool absent_list : {false, true}) {
        server_test::TempDir dir;
        ScriptedServer scripted(dir.ipc_endpoint(), [absent_list](const ipc_tools::Message& request) {
            if (request.get_type() == ipc_tools::HEARTBEAT_PING) {
                return ipc_tools::Message(ipc_tools::HEARTBEAT_ECHO, "", 0, "");
            }
            if (request.get_type() != ipc_tools::GET_FIRST_CALLED_BLOCK) {
                return ipc_tools::Message(ipc_tools::RAW_BLOCK_ACCEPTED, "", 0, "");
            }
            flatbuffers::FlatBufferBuilder fbb;
            const auto list = fbb.CreateVector(std::vector<flatbuffers::Offset<vexil_ipc::ReadBlockData>>{});
            vexil_ipc::ReadBatchDataBuilder batch(fbb);
            batch.add_batch_type(1);
            if (!absent_list) {
                batch.add_read_blocks(list);
            }
            const auto content = batch.Finish().Union();
            vexil_ipc::MessageDataBuilder message(fbb);
            message.add_version(&ipc_tools::current_version());
            message.add_content_type(vexil_ipc::Content_ReadBatchData);
            message.add_content(content);
            fbb.Finish(message.Finish(), vexil_ipc::MessageDataIdentifier());
            return ipc_tools::Message(fbb);
        });
        RequestBrokerAdapter adapter;
        ASSERT_TRUE(adapter.prepare_connection(scripted.endpoint(), patient_request_timeout_ms));
        ReadBuffer buffer;
        buffer.set_block_size(block_size);
        buffer.set_max_input_queue_size(10);
        buffer.set_connection_id("client_7");
        ReadSet reads;
        ASSERT_TRUE(buffer.queue_read(*reads.add(1, 500), 0));
        ReadProcessingProtocol protocol;
        protocol.set_connection_id("client_7");
        auto loop = std::async(std::launch::async, [&] { return protocol.process_reads(&buffer, &adapter); });
        ASSERT_TRUE(wait_for([&] { return scripted.requests().size() > 1; }));
        const auto first_count = scripted.requests().size();
        const auto window_start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(1s);
        const auto requests = scripted.requests().size() - first_count;
        const std::chrono::duration<double> window = std::chrono::steady_clock::now() - window_start;
        EXPECT_LE(static_cast<double>(requests) / window.count(), most_pulls_per_second)
                << requests << " requests in " << window.count() << " s, list absent: " << absent_list;
        protocol.stop();
        EXPECT_EQ(loop.get().code, ConnectionError::no_error);
        EXPECT_EQ(buffer.num_submitted_reads(), 1U);
    }
}

// Replies the reference server never gives: the loop names them in its error and keeps the reads.
TEST(ReadLoopAgainstScriptedServer, WrongReplyTypesEndTheLoopWithInvalidResponse) {
    server_test::TempDir dir;
    ipc_tools::MessageType pull_reply = ipc_tools::BATCH_ACCEPTED;
    ScriptedServer scripted(dir.ipc_endpoint(), [&pull_reply](const ipc_tools::Message& request) {
        switch (request.get_type()) {
            case ipc_tools::HEARTBEAT_PING:
                return ipc_tools::Message(ipc_tools::HEARTBEAT_ECHO, "", 0, "");
            case ipc_tools::GET_FIRST_CALLED_BLOCK:
                return ipc_tools::Message(pull_reply, "", 0, "");
            default:
                return ipc_tools::Message(ipc_tools::RAW_BLOCK_ACCEPTED, "", 0, "");
        }
    });
    RequestBrokerAdapter adapter;
    ASSERT_TRUE(adapter.prepare_connection(scripted.endpoint(), request_timeout_ms));
    ReadBuffer buffer;
    buffer.set_block_size(block_size);
    buffer.set_max_input_queue_size(10);
    buffer.set_connection_id("client_7");
    ReadSet reads;
    interfaces::ReadList batch;
    batch.push_back(reads.add(21, 100));
    batch.push_back(reads.add(22, 100));
    ASSERT_TRUE(buffer.queue_reads(batch, 0));
    ReadProcessingProtocol protocol;
    protocol.set_connection_id("client_7");

    // A batch answered as if it were a block of a read.
    ErrorState error = protocol.process_reads(&buffer, &adapter);
    EXPECT_EQ(error.code, ConnectionError::invalid_response);
    EXPECT_EQ(error.message,
              "Failed to push to server, invalid reply: RAW_BLOCK_ACCEPTED from basecall server when passing read "
              "batch with first read: 21. Connection id: client_7");
    EXPECT_EQ(buffer.num_queued_reads(), 2U);
    EXPECT_EQ(buffer.num_submitted_reads(), 0U);

    // A single read is accepted, then the request for its result gets a reply of the wrong kind.
    buffer.set_connection_id("client_7");  // dissolves the batch into single reads
    error = protocol.process_reads(&buffer, &adapter);
    EXPECT_EQ(error.code, ConnectionError::invalid_response);
    EXPECT_EQ(error.message, "Failed to pull from server, invalid reply: BATCH_ACCEPTED");
    EXPECT_EQ(buffer.num_submitted_reads(), 1U);
    EXPECT_EQ(buffer.num_queued_reads(), 1U);
}

}  // namespace

namespace {

// A called read as a server with qualities off sends it, its movement one value short of its events.
ipc_tools::Message called_without_qualities(std::uint32_t tag, std::uint32_t duration) {
    flatbuffers::FlatBufferBuilder fbb;
    const auto sequence = fbb.CreateString("ACGT");
    const auto trace = vexil_ipc::CreateFlipflopTraceData(fbb, fbb.CreateVector(std::vector<std::uint8_t>{1, 1, 1}));
    vexil_ipc::CalledBlockDataBuilder called(fbb);
    called.add_event_capacity(4);
    called.add_event_count(4);
    called.add_sequence_length(4);
    called.add_model_stride(5);
    called.add_sequence(sequence);
    called.add_trace_type(vexil_ipc::TraceData_FlipflopTraceData);
    called.add_trace(trace.Union());
    const auto called_offset = called.Finish();
    const auto strand = fbb.CreateString("strand_" + std::to_string(tag));
    vexil_ipc::ReadBlockDataBuilder block(fbb);
    block.add_strand_id(strand);
    block.add_type(vexil_ipc::ReadBlockType_RETURN_FIRST_CALLED_BLOCK);
    block.add_read_tag(tag);
    block.add_num_blocks(1);
    block.add_duration(duration);
    block.add_called_block(called_offset);
    return server_test::finish_message(fbb, "", vexil_ipc::Content_ReadBlockData, block.Finish().Union());
}

}  // namespace

TEST(ReadLoopAgainstScriptedServer, ReadsBoundedToFitComeBackCalledWithOneWarningForTheConnection) {
    server_test::TempDir dir;
    std::mutex mutex;
    std::deque<std::pair<std::uint32_t, std::uint32_t>> passed;  // tag and duration of each read taken
    ScriptedServer scripted(dir.ipc_endpoint(), [&](const ipc_tools::Message& request) {
        const std::lock_guard<std::mutex> lock(mutex);
        switch (request.get_type()) {
            case ipc_tools::PASS_FIRST_RAW_BLOCK: {
                const auto* block = request.get_message_data()->content_as_ReadBlockData();
                passed.emplace_back(block->read_tag(), block->duration());
                return ipc_tools::Message(ipc_tools::RAW_BLOCK_ACCEPTED, "", 0, "");
            }
            case ipc_tools::GET_FIRST_CALLED_BLOCK: {
                if (passed.empty()) {
                    return ipc_tools::Message(ipc_tools::NONE_PENDING, "", 0, "");
                }
                const auto [tag, duration] = passed.front();
                passed.pop_front();
                return called_without_qualities(tag, duration);
            }
            default:
                return ipc_tools::Message(ipc_tools::HEARTBEAT_ECHO, "", 0, "");
        }
    });
    const test_support::LogRecorder log;
    RequestBrokerAdapter adapter;
    ASSERT_TRUE(adapter.prepare_connection(scripted.endpoint(), patient_request_timeout_ms));
    ReadBuffer buffer;
    buffer.set_block_size(block_size);
    buffer.set_max_input_queue_size(10);
    ReadSet reads;
    ReadProcessingProtocol protocol;
    buffer.set_connection_id("client_1");
    protocol.set_connection_id("client_1");
    for (std::uint64_t tag = 1; tag <= 3; ++tag) {
        auto read = reads.add(tag, 100);
        ASSERT_TRUE(buffer.queue_read(*read, 0));
    }
    auto loop = std::async(std::launch::async, [&] { return protocol.process_reads(&buffer, &adapter); });
    EXPECT_TRUE(wait_for([&] { return buffer.num_reads_out() >= 3; }));
    protocol.stop();
    // The link was kept: the loop ended only when told to.
    EXPECT_EQ(loop.get().code, ConnectionError::no_error);
    interfaces::ReadList out;
    buffer.get_reads_out(out);
    ASSERT_EQ(out.size(), 3U);
    for (const auto& read : out) {
        EXPECT_EQ(read->get_dataset(bass::data_wrappers::dataset::sequence).get_string(), "ACGT");
        EXPECT_EQ(read->get_dataset(bass::data_wrappers::dataset::qstring).get_string(), "");
        EXPECT_EQ(read->get_dataset(bass::data_wrappers::dataset::movement).m_info.size, 4U);
        const auto lines =
                interfaces::ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(*read, 128, true);
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines.front().sam_line.find("\tACGT\t*\t"), std::string::npos) << lines.front().sam_line;
    }
    // One warning for the connection, naming the server and the first read bounded on it.
    const auto warnings = log.at(test_support::LogRecorder::Severity::warning);
    ASSERT_EQ(warnings.size(), 1U);
    EXPECT_NE(warnings.front().find("The server at " + dir.ipc_endpoint()), std::string::npos) << warnings.front();
    EXPECT_NE(warnings.front().find("read 1 ("), std::string::npos) << warnings.front();
    EXPECT_NE(warnings.front().find("movement of 3 values for 4"), std::string::npos) << warnings.front();
}
