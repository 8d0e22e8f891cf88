#include "basecall_client/basecall_client.h"

#include "basecall_client/read_buffer.h"
#include "common/process_utils.h"
#include "engine_client_test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <stdexcept>
#include <variant>
#include <atomic>
#include <future>
#include <vector>

namespace {

using namespace engine_test;
using basecall_service::BasecallClient;
using basecall_service::ClientStatus;
using basecall_service::ConnectionError;
using basecall_service::FinishOutcome;
using basecall_service::PassReadResult;
using reference_server::FaultAction;

// Records a state report as "section/name" -> value.
class RecordingStateLogger : public common::diagnostics::state::StateLogger {
public:
    using Value = std::variant<std::string, bool, long long, unsigned long long, double>;
    using StateLogger::log;
    void log(std::string name, std::string value) override { put(name, value); }
    void log(std::string name, bool value) override { put(name, value); }
    void log(std::string name, long long value) override { put(name, value); }
    void log(std::string name, unsigned long long value) override { put(name, value); }
    void log(std::string name, double value) override { put(name, value); }
    std::unique_ptr<common::diagnostics::state::ChildSection> create_child_section(std::string name) override {
        m_section = name + "/";
        return std::make_unique<Section>(*this);
    }
    std::map<std::string, Value> values;

private:
    struct Section : common::diagnostics::state::ChildSection {
        explicit Section(RecordingStateLogger& logger) : m_logger(logger) {}
        ~Section() override { m_logger.m_section.clear(); }
        RecordingStateLogger& m_logger;
    };
    void put(const std::string& name, Value value) { values[m_section + name] = std::move(value); }
    std::string m_section;
};

std::mutex hook_mutex;
std::string hook_thread_name;
void record_hook_thread() {
    std::lock_guard<std::mutex> lock(hook_mutex);
    hook_thread_name = bass::util::get_thread_name();
}

TEST(PassReadResultText, NamesEveryValueAndRefusesOthers) {
    EXPECT_EQ(to_string(PassReadResult::success), "success");
    EXPECT_EQ(to_string(PassReadResult::not_accepting_reads), "not_accepting_reads");
    EXPECT_EQ(to_string(PassReadResult::queue_full), "queue_full");
    EXPECT_EQ(to_string(PassReadResult::bad_read), "bad_read");
    std::ostringstream text;
    text << PassReadResult::queue_full;
    EXPECT_EQ(text.str(), "queue_full");
    try {
        to_string(static_cast<PassReadResult>(4));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unrecognised PassReadResult");
    }
}

TEST(BasecallClientUnconnected, RefusesReadsReportsItsStateAndFinishesAtOnce) {
    BasecallClient client(client_block_size, 100, 7, false, false, nullptr);
    ReadSet reads;
    auto read = reads.add(1, 500);
    EXPECT_EQ(client.pass_read(*read, 0), PassReadResult::not_accepting_reads);
    EXPECT_EQ(read->read_tag, 1U);  // left with the caller
    interfaces::ReadList list;
    list.push_back(reads.add(2, 500));
    EXPECT_EQ(client.pass_reads(list, 0), PassReadResult::not_accepting_reads);
    EXPECT_EQ(list.size(), 1U);
    EXPECT_FALSE(client.connection_status_is_active());
    EXPECT_EQ(client.get_connected_info().client_uid, "");

    RecordingStateLogger logger;
    client.report_state(logger);
    EXPECT_EQ(std::get<std::string>(logger.values.at("m_client_connection_state")), "disconnected");
    EXPECT_FALSE(std::get<bool>(logger.values.at("m_accept_data")));
    EXPECT_EQ(std::get<unsigned long long>(logger.values.at("m_max_read_failures")), 7U);
    EXPECT_EQ(logger.values.count("ReadBuffer/m_block_size "), 1U);

    EXPECT_EQ(client.finish_by(0), FinishOutcome::success);
    client.disconnect();
    EXPECT_EQ(client.get_connection_state().get_status(), ClientStatus::disconnected);
}

class BasecallClientTest : public ::testing::Test {
protected:
    BasecallClientTest() : server(server_options(dir)) {}
    server_test::TempDir dir;
    reference_server::ReferenceServer server;
    ReadSet reads;
};

TEST_F(BasecallClientTest, ConnectsOnANamedWorkerThatRunsTheHookFirst) {
    auto client = make_client(100, 10, &record_hook_thread);
    client->connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, connection_info());
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
    EXPECT_TRUE(client->connection_status_is_active());
    {
        std::lock_guard<std::mutex> lock(hook_mutex);
        EXPECT_EQ(hook_thread_name, "client_worker");
    }
    const auto connected = client->get_connected_info();
    EXPECT_FALSE(connected.client_uid.empty());
    EXPECT_EQ(connected.server_version, "7.2.15+reference");
    EXPECT_EQ(client->get_basecalling_config().config_name, config_name());
    EXPECT_EQ(client->get_basecalling_config().model_stride, 5U);

    RecordingStateLogger logger;
    client->report_state(logger);
    EXPECT_EQ(std::get<std::string>(logger.values.at("m_client_connection_state")), "connected");
    EXPECT_TRUE(std::get<bool>(logger.values.at("m_accept_data")));
    EXPECT_EQ(std::get<std::string>(logger.values.at("ReadBuffer/m_connection_id ")), connected.client_uid);

    client->disconnect();
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::disconnected);
    EXPECT_TRUE(server.request_log().wait_for_count(ipc_tools::DISCONNECT, 1, condition_timeout));
    auto read = reads.add(1, 500);
    EXPECT_EQ(client->pass_read(*read, 0), PassReadResult::not_accepting_reads);
}

TEST_F(BasecallClientTest, RefusedConnectionEndsInErrorUntilDisconnected) {
    auto client = make_client();
    auto info = connection_info();
    info.config_name = "no_such_config";
    client->connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, info);
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::error);
    EXPECT_NE(client->get_connection_state().get_error_state().code, ConnectionError::no_error);
    EXPECT_FALSE(client->connection_status_is_active());
    auto read = reads.add(1, 500);
    EXPECT_EQ(client->pass_read(*read, 0), PassReadResult::not_accepting_reads);

    client->disconnect();
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::disconnected);
    EXPECT_EQ(client->get_connection_state().get_error_state().code, ConnectionError::no_error);
    EXPECT_EQ(client->get_connection_state().get_error_state().message, "");
}

TEST(BasecallClientNoServer, TimedOutAttemptsAreRetriedUntilTheReconnectDeadline) {
    server_test::TempDir dir;
    auto client = make_client();
    client->set_reconnect_timeout(std::chrono::seconds(1));
    const auto start = std::chrono::steady_clock::now();
    client->connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, connection_info());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::seconds(1));
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::error);
    EXPECT_EQ(client->get_connection_state().get_error_state().code, ConnectionError::timed_out);
}

TEST_F(BasecallClientTest, FullQueueGivesQueueFullAndFinishGivesUpAfterItsTime) {
    // The server never takes a read: the first stays at the front of the queue.
    auto refuse = fault(FaultAction::not_ready, ipc_tools::PASS_FIRST_RAW_BLOCK);
    refuse.count.reset();
    server.faults().add(refuse);
    auto client = make_client(1);
    client->connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);

    auto first = reads.add(1, 500);
    EXPECT_EQ(client->pass_read(*first, 0), PassReadResult::success);
    auto second = reads.add(2, 500);
    EXPECT_EQ(client->pass_read(*second, 20), PassReadResult::queue_full);
    EXPECT_EQ(second->read_tag, 2U);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client->finish_by(1), FinishOutcome::timed_out);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1100) + condition_timeout / 4);
    EXPECT_EQ(client->pass_read(*second, 0), PassReadResult::not_accepting_reads);
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::disconnected);
    // The read the server never took comes back to the caller, uncalled.
    auto out = collect_by_tag(*client);
    ASSERT_EQ(out.size(), 1U);
    EXPECT_FALSE(out.at(1)->has_dataset(bass::data_wrappers::dataset::sequence));
    EXPECT_TRUE(out.at(1)->has_dataset(bass::data_wrappers::dataset::raw_data));
}

TEST_F(BasecallClientTest, ShortReadsComeBackUncalledWithoutTravelling) {
    auto client = make_client();
    client->connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, connection_info());
    auto read = reads.add(1, 19);  // 95 samples: fewer than 20 strides
    EXPECT_EQ(client->pass_read(*read, 0), PassReadResult::success);
    EXPECT_EQ(client->num_completed_reads(), 1U);
    EXPECT_EQ(client->finish_by(0), FinishOutcome::success);
    auto out = collect_by_tag(*client);
    ASSERT_EQ(out.size(), 1U);
    EXPECT_FALSE(out.at(1)->has_dataset(bass::data_wrappers::dataset::sequence));
    EXPECT_EQ(server.request_log().count(ipc_tools::PASS_FIRST_RAW_BLOCK), 0U);
}

TEST_F(BasecallClientTest, DestructionWhileConnectedStopsAndJoinsTheWorker) {
    auto client = make_client();
    client->connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, connection_info());
    auto read = reads.add(1, 2000);
    EXPECT_EQ(client->pass_read(*read, 0), PassReadResult::success);
    client.reset();
    EXPECT_TRUE(server.request_log().wait_for_count(ipc_tools::DISCONNECT, 1, condition_timeout));
}

TEST_F(BasecallClientTest, ServerSilentForGoodEndsTheWorkerWhenTheReconnectWindowHasPassed) {
    auto client = make_client();
    client->set_reconnect_timeout(std::chrono::seconds(1));
    client->connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
    auto silence = fault(FaultAction::silence, ipc_tools::UNSET);
    silence.request.reset();
    silence.count.reset();
    server.faults().add(silence);
    auto read = reads.add(1, 500);
    ASSERT_EQ(client->pass_read(*read, 0), PassReadResult::success);

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_for([&] { return client->get_connection_state().get_status() == ClientStatus::error; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(client->get_connection_state().get_error_state().code, ConnectionError::timed_out);
    // Reconnection was tried, and a timed-out client says no goodbye.
    EXPECT_GE(server.request_log().count(ipc_tools::LOAD_CONFIG), 2U);
    EXPECT_EQ(server.request_log().count(ipc_tools::DISCONNECT), 0U);
    auto another = reads.add(2, 500);
    EXPECT_EQ(client->pass_read(*another, 0), PassReadResult::not_accepting_reads);
    // The read in flight when the server fell silent is not left behind.
    auto out = collect_by_tag(*client);
    ASSERT_EQ(out.size(), 1U);
    EXPECT_FALSE(out.at(1)->has_dataset(bass::data_wrappers::dataset::sequence));
    EXPECT_NE(client->finish_by(0), FinishOutcome::success);
}

TEST_F(BasecallClientTest, DisconnectDoesNotWaitForTheReconnectWindow) {
    auto client = make_client();  // the default window of 300 s
    client->connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
    auto silence = fault(FaultAction::silence, ipc_tools::UNSET);
    silence.request.reset();
    silence.count.reset();
    server.faults().add(silence);
    auto read = reads.add(1, 500);
    ASSERT_EQ(client->pass_read(*read, 0), PassReadResult::success);
    // Wait until the worker is retrying connections.
    ASSERT_TRUE(server.request_log().wait_for_count(ipc_tools::LOAD_CONFIG, 2, condition_timeout));

    const auto start = std::chrono::steady_clock::now();
    client->disconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - start, condition_timeout);
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::disconnected);
}

void throwing_hook() { throw std::runtime_error("hook failed"); }

TEST_F(BasecallClientTest, ExceptionOnTheWorkerEndsTheConnectionWithAnError) {
    auto client = make_client(100, 10, &throwing_hook);
    client->connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, connection_info());
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::error);
    const auto error = client->get_connection_state().get_error_state();
    EXPECT_EQ(error.code, ConnectionError::failed);
    EXPECT_NE(error.message.find("hook failed"), std::string::npos) << error.message;
    auto read = reads.add(1, 500);
    EXPECT_EQ(client->pass_read(*read, 0), PassReadResult::not_accepting_reads);
}

TEST_F(BasecallClientTest, ConcurrentDisconnectsAndFinishJoinTheWorkerOnce) {
    auto client = make_client();
    client->connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
    auto read = reads.add(1, 500);
    ASSERT_EQ(client->pass_read(*read, 0), PassReadResult::success);
    std::vector<std::future<void>> callers;
    for (int i = 0; i < 2; ++i) {
        callers.push_back(std::async(std::launch::async, [&] { client->disconnect(); }));
    }
    callers.push_back(std::async(std::launch::async, [&] { client->finish_by(0); }));
    for (auto& caller : callers) {
        EXPECT_EQ(caller.wait_for(condition_timeout), std::future_status::ready);
    }
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::disconnected);
}

// Records whether the client still talks to it.
class SpyReadLoop : public basecall_service::AbstractReadProcessingProtocol {
public:
    basecall_service::ErrorState process_reads(basecall_service::ReadBuffer*,
                                               basecall_service::RequestBrokerAdapter*) override {
        return {};
    }
    void stop() override {}
    void set_connection_id(std::string) override {}
    void set_disable_events(bool) override {}
    void set_pull_state_data(bool) override {}
    void set_no_more_data() override { declared = true; }
    std::atomic<bool> declared{false};
};

TEST_F(BasecallClientTest, ProtocolsCannotBeReplacedUnderARunningWorker) {
    auto client = make_client();
    client->connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, connection_info());
    const auto spy = std::make_shared<SpyReadLoop>();
    client->set_read_processing_protocol(spy);
    client->set_no_more_data();
    EXPECT_FALSE(spy->declared.load());
    auto read = reads.add(1, 500);
    ASSERT_EQ(client->pass_read(*read, 0), PassReadResult::success);
    EXPECT_EQ(client->finish_by(0), FinishOutcome::success);
    EXPECT_EQ(collect_by_tag(*client).size(), 1U);
}

TEST_F(BasecallClientTest, ReadsPassedWhileFinishingAreWaitedForOrRefused) {
    auto client = make_client(4);
    client->connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, connection_info());
    std::vector<std::unique_ptr<interfaces::ReadHolder>> sources;
    for (std::uint64_t tag = 1; tag <= 60; ++tag) {
        sources.push_back(reads.add(tag, 200));
    }
    std::atomic<bool> go{false};
    auto producer = std::async(std::launch::async, [&] {
        std::vector<std::uint64_t> accepted;
        while (!go.load()) {
            std::this_thread::yield();
        }
        for (auto& read : sources) {
            const auto tag = read->read_tag;
            if (client->pass_read(*read, 50) == PassReadResult::success) {
                accepted.push_back(tag);
            }
        }
        return accepted;
    });
    go = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const bool finished = client->finish_by(0) == basecall_service::FinishOutcome::success;
    const auto accepted = producer.get();
    // Whatever was accepted came back called; nothing accepted was stranded.
    EXPECT_TRUE(finished);
    const auto out = collect_by_tag(*client);
    EXPECT_EQ(out.size(), accepted.size());
    for (const auto tag : accepted) {
        ASSERT_EQ(out.count(tag), 1U) << "read " << tag << " lost";
        expect_called_read(*out.at(tag), reads.sequences().at(tag), true);
    }
}

}  // namespace

TEST_F(BasecallClientTest, AConnectionEndedByABadReplyNamesTheServer) {
    auto client = make_client();
    client->connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
    server.faults().add(fault(FaultAction::malformed_short, ipc_tools::GET_FIRST_CALLED_BLOCK));
    auto read = reads.add(1, 500);
    ASSERT_EQ(client->pass_read(*read, 0), PassReadResult::success);
    ASSERT_TRUE(wait_for([&] { return client->get_connection_state().get_status() == ClientStatus::error; }));
    const auto error = client->get_connection_state().get_error_state();
    EXPECT_EQ(error.code, ConnectionError::bad_reply);
    EXPECT_EQ(error.message,
              "Could not interpret message from server for request: GET_FIRST_CALLED_BLOCK. Reply: "
              "UNSET (server at " +
                      dir.ipc_endpoint() + ")");
}
