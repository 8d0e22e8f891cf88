// The engine against a server that stopped answering, and against an address where none answers.

#include "basecall_client/basecall_client.h"

#include "engine_client_test_support.h"

#include "basecall_client/server_proxy.h"
#include "test_support/log_recorder.h"

#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace engine_test;
using basecall_service::BasecallClient;
using basecall_service::ClientStatus;
using basecall_service::ConnectionError;
using basecall_service::ErrorState;
using basecall_service::FinishOutcome;
using basecall_service::PassReadResult;
using reference_server::FaultAction;
using test_support::LogRecorder;

// A frozen server holds every reply wait for four of these polls: long enough that waiting one
// out shows against the bounds below.
constexpr std::chrono::milliseconds frozen_poll{slow_factor > 1 ? 2000 : 1000};
// Scheduling, joining the worker and a fresh socket for the goodbye, on a loaded machine.
constexpr std::chrono::milliseconds slack{slow_factor > 1 ? 2500 : 1000};

long long ms(std::chrono::steady_clock::duration duration) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

// How far a test lets the code overrun a documented bound: what waking, joining and logging take
// after the bound's last wait, scaled with the sanitizers and with the machine's load.
std::chrono::milliseconds bound_margin() {
    double load = 0.0;
    std::ifstream("/proc/loadavg") >> load;
    const double per_cpu = load / std::max(1U, std::thread::hardware_concurrency());
    return std::chrono::milliseconds(static_cast<long long>(60.0 * slow_factor * std::max(1.0, per_cpu)));
}

// The whole seconds a log line gives after `before` and before `after`, or -1.
long long seconds_in(const std::string& line, const std::string& before, const std::string& after) {
    std::smatch match;
    return std::regex_search(line, match, std::regex(before + "([0-9]+)" + after)) ? std::stoll(match[1]) : -1;
}

class FrozenServerTest : public ::testing::Test {
protected:
    FrozenServerTest() : server(server_options(dir)) {}

    // Connects, then holds back the replies to `request` (every request when UNSET) as `action`
    // says, passes three reads and returns once a request awaits its reply.
    std::unique_ptr<BasecallClient> connect_then_hold(FaultAction action, ipc_tools::MessageType request,
                                                      std::chrono::milliseconds delay = {},
                                                      std::chrono::milliseconds poll = frozen_poll) {
        auto client = make_client();
        client->connect(dir.ipc_endpoint(), static_cast<unsigned int>(poll.count()), file_load_timeout_s,
                        connection_info());
        EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
        auto hold = fault(action, request);
        if (request == ipc_tools::UNSET) {
            hold.request.reset();
        }
        hold.count.reset();
        hold.delay = delay;
        const auto rule = server.faults().add(hold);
        for (std::uint64_t tag = 1; tag <= 3; ++tag) {
            auto read = reads.add(tag, 2000);
            EXPECT_EQ(client->pass_read(*read, 0), PassReadResult::success);
        }
        EXPECT_TRUE(wait_for([&] { return server.faults().times_fired(rule) > 0; }));
        return client;
    }

    void expect_every_read_back_once(BasecallClient& client) {
        const auto out = collect_by_tag(client);
        EXPECT_EQ(out.size(), reads.size());
        for (const auto& entry : reads.sequences()) {
            EXPECT_EQ(out.count(entry.first), 1U) << "read " << entry.first << " lost";
        }
    }

    server_test::TempDir dir;
    reference_server::ReferenceServer server;
    ReadSet reads;
};

TEST_F(FrozenServerTest, FinishEndsWithinItsTimeAndOneRequestTimeOut) {
    constexpr std::chrono::milliseconds poll{2000};
    auto client = connect_then_hold(FaultAction::silence, ipc_tools::UNSET, {}, poll);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client->finish_by(3), FinishOutcome::timed_out);
    const auto elapsed = ms(std::chrono::steady_clock::now() - start);
    EXPECT_GE(elapsed, 3000);
    EXPECT_LE(elapsed, ms(std::chrono::seconds(3) + poll + bound_margin()));
    expect_every_read_back_once(*client);
    // Neither the reply nor the goodbye came: the connection ended in error.
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::error);
}

TEST_F(FrozenServerTest, DisconnectEndsWithinOneRequestTimeOut) {
    auto client = connect_then_hold(FaultAction::silence, ipc_tools::UNSET);
    const LogRecorder log;
    const auto start = std::chrono::steady_clock::now();
    client->disconnect();
    EXPECT_LT(ms(std::chrono::steady_clock::now() - start), ms(frozen_poll + slack));
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::disconnected);
    expect_every_read_back_once(*client);
    // The caller left: the unanswered goodbye is worth one warning, and the connection no error.
    const auto warnings = log.at(LogRecorder::Severity::warning);
    ASSERT_EQ(warnings.size(), 1U);
    EXPECT_NE(warnings.front().find("Error disconnecting from server: [timed_out]"), std::string::npos)
            << warnings.front();
    EXPECT_NE(warnings.front().find(dir.ipc_endpoint()), std::string::npos) << warnings.front();
    EXPECT_TRUE(log.at(LogRecorder::Severity::error).empty()) << log.at(LogRecorder::Severity::error).front();
}

TEST_F(FrozenServerTest, DestroyedByItsCallerWhileReconnectingLogsNoError) {
    auto client = connect_then_hold(FaultAction::silence, ipc_tools::UNSET, {},
                                    std::chrono::milliseconds(request_timeout_ms));
    ASSERT_TRUE(wait_for([&] { return client->get_connection_state().get_status() != ClientStatus::connected; }));
    const LogRecorder log;
    // As the public client's destruction does.
    client->join_worker_thread();
    client.reset();
    const auto errors = log.at(LogRecorder::Severity::error);
    EXPECT_TRUE(errors.empty()) << errors.front();
}

TEST_F(FrozenServerTest, SlowServerThatAnswersTheGoodbyeEndsAsStopped) {
    // Called reads come after two polls, well within the retries of a live link.
    auto client = connect_then_hold(FaultAction::delay, ipc_tools::GET_FIRST_CALLED_BLOCK, 2 * frozen_poll);
    client->disconnect();
    EXPECT_TRUE(server.request_log().wait_for_count(ipc_tools::DISCONNECT, 1, condition_timeout));
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::disconnected);
    EXPECT_EQ(client->get_connection_state().get_error_state().code, ConnectionError::no_error);
    expect_every_read_back_once(*client);
}

TEST(SilentAddressTest, ConnectWarnsWithinSecondsAndItsErrorNamesTheAddress) {
    server_test::TempDir dir;
    const std::chrono::seconds window(5);
    const std::vector<std::pair<std::string, std::string>> addresses{
            {"ipc://" + dir.path("no_server_here"), "ipc://" + dir.path("no_server_here")},
            {"127.0.0.1:1", "tcp://127.0.0.1:1"}};  // a closed port
    LogRecorder log;
    const auto warnings_naming = [&log](const std::string& endpoint) {
        std::size_t count = 0;
        for (const auto& line : log.lines()) {
            if (line.find("No reply from the basecall server at " + endpoint + " ") != std::string::npos &&
                line.find("its reply to LOAD_CONFIG") != std::string::npos &&
                line.find("reconnect window of 5 s has passed (") != std::string::npos) {
                ++count;
            }
        }
        return count;
    };

    // Both at once, since each waits for its window to pass.
    std::vector<std::future<ErrorState>> connects;
    for (const auto& address : addresses) {
        connects.push_back(std::async(std::launch::async, [&address, window] {
            auto client = make_client();
            client->set_reconnect_timeout(window);
            // Nothing answers: the poll is the subject, not a reply, so the load does not lengthen it.
            client->connect(address.first, slow_factor > 1 ? 2000 : 100, file_load_timeout_s, connection_info());
            EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::error);
            return client->get_connection_state().get_error_state();
        }));
    }
    EXPECT_TRUE(wait_for(
            [&] { return warnings_naming(addresses[0].second) > 0 && warnings_naming(addresses[1].second) > 0; },
            std::chrono::seconds(10) + test_support::time_margin(std::chrono::seconds(2))));
    for (std::size_t index = 0; index < addresses.size(); ++index) {
        const ErrorState error = connects[index].get();
        const std::string& endpoint = addresses[index].second;
        EXPECT_EQ(error.code, ConnectionError::timed_out);
        EXPECT_NE(error.message.find(endpoint), std::string::npos) << error.message;
        // Not one per attempt: the next would be due long after the window.
        EXPECT_EQ(warnings_naming(endpoint), 1U) << endpoint;
    }
}

// Pins the calling thread, and every thread it starts meanwhile, to one CPU while it lives: the
// caller, the worker and the server then take turns, as on a machine without a CPU to spare.
class OneCpu {
public:
    OneCpu() {
        pthread_getaffinity_np(pthread_self(), sizeof(m_saved), &m_saved);
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &m_saved)) {
                CPU_SET(cpu, &one);
                break;
            }
        }
        pthread_setaffinity_np(pthread_self(), sizeof(one), &one);
    }
    ~OneCpu() { pthread_setaffinity_np(pthread_self(), sizeof(m_saved), &m_saved); }
    OneCpu(const OneCpu&) = delete;
    OneCpu& operator=(const OneCpu&) = delete;

private:
    cpu_set_t m_saved{};
};

TEST(EndingCallsTest, HealthyFinishThenDisconnectLogNoWarning) {
    server_test::TempDir dir;
    reference_server::ReferenceServer server(server_options(dir));
    // A goodbye answered a little late is heard whether the caller's interrupt comes before its
    // wait or during it.
    auto late_goodbye = fault(FaultAction::delay, ipc_tools::DISCONNECT);
    late_goodbye.count.reset();
    late_goodbye.delay = 50ms;
    server.faults().add(late_goodbye);
    const LogRecorder log;
    constexpr int runs = 5;
    for (int run = 0; run < runs; ++run) {
        auto client = make_client();
        client->connect(dir.ipc_endpoint(), static_cast<unsigned int>(frozen_poll.count()), file_load_timeout_s,
                        connection_info());
        ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
        ReadSet reads;
        auto read = reads.add(1, 2000);
        ASSERT_EQ(client->pass_read(*read, 0), PassReadResult::success);
        EXPECT_EQ(client->finish_by(0), FinishOutcome::success);
        client->disconnect();
    }
    EXPECT_EQ(server.request_log().count(ipc_tools::DISCONNECT), static_cast<std::size_t>(runs));
    for (const auto severity : {LogRecorder::Severity::warning, LogRecorder::Severity::error}) {
        const auto lines = log.at(severity);
        EXPECT_TRUE(lines.empty()) << lines.size() << " records, the first: " << lines.front();
    }
}

TEST(EndingCallsTest, EndingCallsDuringALoadingHandshakeEndWithinOneRequestTimeOut) {
    const OneCpu pinned;
    server_test::TempDir dir;
    reference_server::ReferenceServer server(server_options(dir));
    auto loading = fault(FaultAction::loading, ipc_tools::LOAD_CONFIG);
    loading.count.reset();
    const auto rule = server.faults().add(loading);
    constexpr unsigned int load_timeout_s = 20;
    for (const bool by_finish : {false, true}) {
        SCOPED_TRACE(by_finish ? "finish(1)" : "disconnect");
        auto client = make_client();
        const auto fired = server.faults().times_fired(rule);
        auto connecting = std::async(std::launch::async, [&] {
            client->connect(dir.ipc_endpoint(), request_timeout_ms, load_timeout_s, connection_info());
        });
        // Into the retries: the server has answered LOADING twice.
        ASSERT_TRUE(wait_for([&] { return server.faults().times_fired(rule) >= fired + 2; }));
        const auto start = std::chrono::steady_clock::now();
        if (by_finish) {
            EXPECT_NE(client->finish_by(1), FinishOutcome::success);
        } else {
            client->disconnect();
        }
        EXPECT_LT(ms(std::chrono::steady_clock::now() - start),
                  ms(std::chrono::milliseconds(request_timeout_ms) + slack));
        connecting.get();
        EXPECT_NE(client->get_connection_state().get_status(), ClientStatus::connected);
    }
}

TEST(EndingCallsTest, DisconnectDuringALateConnectReplyEndsTheRegistration) {
    server_test::TempDir dir;
    reference_server::ReferenceServer server(server_options(dir));
    const auto connected_clients = [&dir] {
        rapidjson::Document info;
        info.Parse(basecall_service::server_proxy::extract_server_information(
                           basecall_service::server_proxy::get_server_internal_state(dir.ipc_endpoint(),
                                                                                     server_test::reply_timeout_ms))
                           .c_str());
        return info["connected_clients"].GetUint64();
    };
    const auto before = connected_clients();
    constexpr std::chrono::milliseconds reply_delay{600};
    auto late_reply = fault(FaultAction::delay, ipc_tools::CONNECT);
    late_reply.delay = reply_delay;
    server.faults().add(late_reply);

    auto client = make_client();
    auto connecting = std::async(std::launch::async, [&] {
        client->connect(dir.ipc_endpoint(), static_cast<unsigned int>(frozen_poll.count()), file_load_timeout_s,
                        connection_info());
    });
    ASSERT_TRUE(server.request_log().wait_for_count(ipc_tools::CONNECT, 1, condition_timeout));
    std::this_thread::sleep_for(reply_delay / 2);
    client->disconnect();
    connecting.get();
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::disconnected);
    EXPECT_EQ(server.request_log().count(ipc_tools::DISCONNECT), 1U);
    EXPECT_EQ(connected_clients(), before);
}

TEST(SilentAddressTest, ConnectEndsWithinItsWindowAndOneRequestTimeOut) {
    server_test::TempDir dir;
    auto client = make_client();
    const std::chrono::seconds window(1);
    client->set_reconnect_timeout(window);
    const auto start = std::chrono::steady_clock::now();
    // Each request's wait is four of these polls: the window ends inside the first one.
    client->connect("ipc://" + dir.path("no_server_here"), static_cast<unsigned int>(frozen_poll.count()),
                    file_load_timeout_s, connection_info());
    const auto elapsed = ms(std::chrono::steady_clock::now() - start);
    EXPECT_GE(elapsed, ms(window));
    EXPECT_LT(elapsed, ms(window + frozen_poll + slack));
    EXPECT_EQ(client->get_connection_state().get_error_state().code, ConnectionError::timed_out);
}

TEST(SilentAddressTest, ASlowThenSilentHandshakeEndsWithinItsWindowAndOneRequestTimeOut) {
    server_test::TempDir dir;
    reference_server::ReferenceServer server(server_options(dir));
    constexpr std::chrono::milliseconds poll{2000};
    const std::chrono::seconds window(1);
    for (const auto request : {ipc_tools::LOAD_CONFIG, ipc_tools::GET_CONFIGS}) {
        auto slow = fault(FaultAction::delay, request);
        slow.count.reset();
        slow.delay = 1600ms;
        server.faults().add(slow);
    }
    auto never = fault(FaultAction::silence, ipc_tools::CONNECT);
    never.count.reset();
    server.faults().add(never);
    auto client = make_client();
    client->set_reconnect_timeout(window);
    const auto start = std::chrono::steady_clock::now();
    client->connect(dir.ipc_endpoint(), static_cast<unsigned int>(poll.count()), file_load_timeout_s,
                    connection_info());
    EXPECT_LE(ms(std::chrono::steady_clock::now() - start), ms(window + poll + bound_margin()));
    EXPECT_EQ(client->get_connection_state().get_error_state().code, ConnectionError::timed_out);
}

TEST(LostServerTest, ReconnectionWarnsNamingTheAddressAndSaysWhenItIsBack) {
    server_test::TempDir dir;
    reference_server::ReferenceServer server(server_options(dir));
    const std::string endpoint = dir.ipc_endpoint();
    LogRecorder log;
    const auto logged = [&log](const std::vector<std::string>& parts) {
        for (const auto& line : log.lines()) {
            if (std::all_of(parts.begin(), parts.end(),
                            [&line](const std::string& part) { return line.find(part) != std::string::npos; })) {
                return true;
            }
        }
        return false;
    };
    auto client = make_client();
    client->set_reconnect_timeout(std::chrono::seconds(600));
    client->connect(endpoint, request_timeout_ms, file_load_timeout_s, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);

    auto hold = fault(FaultAction::silence, ipc_tools::UNSET);
    hold.request.reset();
    hold.count.reset();
    server.faults().add(hold);
    ReadSet reads;
    auto read = reads.add(1, 300);
    ASSERT_EQ(client->pass_read(*read, 0), PassReadResult::success);
    // Three seconds of silence, plus a handshake that may be under way by then.
    EXPECT_TRUE(wait_for(
            [&] {
                return logged({"No reply from the basecall server at " + endpoint + " for ",
                               "The connection was lost; reconnecting goes on trying until the reconnect window "
                               "of 600 s has passed ("});
            },
            std::chrono::seconds(10) * slow_factor));
    EXPECT_FALSE(logged({"Reconnected to the basecall server"}));

    server.faults().clear();
    EXPECT_TRUE(wait_for([&] { return logged({"Reconnected to the basecall server at " + endpoint + " "}); }));
    EXPECT_EQ(client->finish_by(60), FinishOutcome::success);
}

TEST(LostServerTest, ASilenceIsWarnedFromTheLastReplyAndTheReconnectionGivesItsLength) {
    server_test::TempDir dir;
    reference_server::ReferenceServer server(server_options(dir));
    const std::string endpoint = dir.ipc_endpoint();
    constexpr std::chrono::milliseconds poll{2000};
    constexpr std::chrono::seconds outage{8};
    const LogRecorder log;
    auto client = make_client();
    client->set_reconnect_timeout(std::chrono::seconds(600));
    client->connect(endpoint, static_cast<unsigned int>(poll.count()), file_load_timeout_s, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);

    // The idle client pings every second: its last reply came at most a second before the silence.
    auto hold = fault(FaultAction::silence, ipc_tools::UNSET);
    hold.request.reset();
    hold.count.reset();
    server.faults().add(hold);
    const auto silent_from = std::chrono::steady_clock::now();
    const std::vector<std::string> warning{"No reply from the basecall server at " + endpoint + " for ",
                                           "still waiting for its reply to HEARTBEAT_PING"};
    // Three seconds of silence, at most one poll later, while the ping still waits through its polls.
    EXPECT_TRUE(wait_for([&] { return log.find(warning).has_value(); }, outage));
    std::this_thread::sleep_until(silent_from + outage);
    server.faults().clear();
    const std::vector<std::string> back{"Reconnected to the basecall server at " + endpoint + " "};
    ASSERT_TRUE(wait_for([&] { return log.find(back).has_value(); }));

    const auto warned = log.find(warning);
    ASSERT_TRUE(warned);
    const auto warned_after = warned->at - silent_from;
    EXPECT_LE(ms(warned_after), ms(std::chrono::seconds(3) + poll + bound_margin()));
    const long long silent_for = seconds_in(warned->text, " for ", " s: ");
    EXPECT_GE(silent_for, 3) << warned->text;
    EXPECT_LE(silent_for, ms(warned_after + std::chrono::seconds(1)) / 1000 + 1) << warned->text;
    // A label that names the reporting function, not a namespace alone.
    EXPECT_NE(warned->function.find("::"), std::string::npos);
    EXPECT_NE(warned->function.back(), ':') << warned->function;

    const auto reconnected = log.find(back);
    const long long lost_for = seconds_in(reconnected->text, endpoint + " ", " s after the connection was lost");
    EXPECT_GE(lost_for, outage.count()) << reconnected->text;
    EXPECT_LE(lost_for, ms(reconnected->at - silent_from + std::chrono::seconds(1)) / 1000 + 1) << reconnected->text;
    EXPECT_EQ(client->finish_by(60), FinishOutcome::success);
}

TEST(LostServerTest, AServerBackWithAnotherModelStrideIsNamedInOneWarning) {
    server_test::TempDir dir;
    auto server = std::make_unique<reference_server::ReferenceServer>(server_options(dir));
    const LogRecorder log;
    auto client = make_client();
    client->set_reconnect_timeout(std::chrono::seconds(60));
    client->connect(dir.ipc_endpoint(), request_timeout_ms, file_load_timeout_s, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
    ASSERT_EQ(client->current_model_stride(), model_stride);

    server.reset();
    auto options = server_options(dir);
    for (auto& configuration : options.configurations) {
        configuration.model_stride = 10;
    }
    server = std::make_unique<reference_server::ReferenceServer>(options);
    const auto named = [&log] {
        const auto warnings = log.at(LogRecorder::Severity::warning);
        return std::count_if(warnings.begin(), warnings.end(), [](const std::string& line) {
            return line.find("configuration '" + config_name() +
                             "' changed: model_stride 5 -> 10. Reads in flight are sent again under it.") !=
                   std::string::npos;
        });
    };
    EXPECT_TRUE(wait_for([&] { return named() > 0; }));
    EXPECT_EQ(client->current_model_stride(), 10U);
    EXPECT_EQ(named(), 1);
    client->disconnect();
}

}  // namespace
