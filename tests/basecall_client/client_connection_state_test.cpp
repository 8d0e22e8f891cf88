#include "basecall_client/client_connection_state.h"

#include "common/contract.h"
#include "common/logger.h"
#include "common/synchronisation.h"

#include <boost/log/core/core.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <vector>

using namespace basecall_service;
using common::contract::ContractViolationPolicy;

namespace {

struct Notification {
    ClientStatus previous;
    ClientStatus status;
    ErrorState error;
};

// Collects notifications; `expect(n)` arms a latch that opens at the n-th one.
class Recorder {
public:
    void expect(std::uint64_t count) { m_latch = std::make_unique<common::synchronisation::Latch>(count); }
    void wait() { m_latch->wait(); }

    ClientConnectionState::ChangeHandler handler() {
        return [this](ClientStatus previous, std::shared_ptr<ClientConnectionStateSnapshot> snapshot) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_seen.push_back({previous, snapshot->get_status(), snapshot->get_error_state()});
            }
            m_latch->count_down();
        };
    }

    std::vector<Notification> seen() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Notification> m_seen;
    std::unique_ptr<common::synchronisation::Latch> m_latch;
};

// Contract failures throw instead of ending the test process, and report on standard error.
class ContractsThrow {
public:
    ContractsThrow()
        : m_previous(common::contract::set_contract_violation_policy(ContractViolationPolicy::report_and_throw)) {}
    ~ContractsThrow() {
        common::contract::set_contract_violation_policy(m_previous);
        common::contract::testability::clear_violation_flag();
    }

private:
    ContractViolationPolicy m_previous;
};

// Runs `action`, requires a contract failure and returns what it reported.
template <typename F>
std::string contract_report(F&& action) {
    ContractsThrow guard;
    testing::internal::CaptureStderr();
    bool threw = false;
    try {
        action();
    } catch (...) {
        threw = true;
    }
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(threw);
    EXPECT_TRUE(common::contract::testability::contract_violation_occured());
    return report;
}

void walk_to_connected(ClientConnectionState& state) {
    for (const auto status :
         {ClientStatus::preparing_connection, ClientStatus::loading_config, ClientStatus::loading_alignment_index,
          ClientStatus::loading_bed_file, ClientStatus::connecting, ClientStatus::connected}) {
        state.set_status(status);
    }
}

}  // namespace

TEST(ClientConnectionStateTexts, EnumsAndErrorStateHaveTheirTexts) {
    EXPECT_EQ("loading_alignment_index", to_string(ClientStatus::loading_alignment_index));
    EXPECT_EQ("file_load_timeout", to_string(ConnectionError::file_load_timeout));
    std::ostringstream stream;
    stream << ClientStatus::error << "|" << ConnectionError::bad_reply << "|"
           << ErrorState{ConnectionError::failed, "boom"};
    EXPECT_EQ("error|bad_reply|[failed] boom", stream.str());
    EXPECT_EQ("[no_error] ", to_string(ErrorState{}));

    EXPECT_THROW(
            {
                try {
                    to_string(static_cast<ClientStatus>(8));
                } catch (const std::runtime_error& e) {
                    EXPECT_STREQ("unrecognised ClientStatus value", e.what());
                    throw;
                }
            },
            std::runtime_error);
    EXPECT_THROW(
            {
                try {
                    to_string(static_cast<ConnectionError>(13));
                } catch (const std::runtime_error& e) {
                    EXPECT_STREQ("unrecognised ConnectionError value", e.what());
                    throw;
                }
            },
            std::runtime_error);
    std::ostringstream ignored;
    EXPECT_THROW(ignored << static_cast<ClientStatus>(-1), std::runtime_error);

    EXPECT_EQ("State transtion 'connected' to 'connected'",
              ClientConnectionState::transition_description(ClientStatus::connected, ClientStatus::connected));
}

TEST(ClientConnectionState, StartsDisconnectedWithoutError) {
    const ClientConnectionState state;
    EXPECT_EQ(ClientStatus::disconnected, state.get_status());
    EXPECT_EQ(ConnectionError::no_error, state.get_error_state().code);
    EXPECT_EQ("", state.get_error_state().message);
    const auto snapshot = state.create_snapshot();
    EXPECT_EQ(ClientStatus::disconnected, snapshot->get_status());
    EXPECT_EQ(ConnectionError::no_error, snapshot->get_error_state().code);
}

TEST(ClientConnectionState, HandshakeNotifiesEveryChangeInOrder) {
    Recorder recorder;
    recorder.expect(8);
    ClientConnectionState state;
    state.register_change_handler(recorder.handler());

    state.set_status(ClientStatus::preparing_connection);
    state.set_status(ClientStatus::preparing_connection);  // a repeated status still notifies
    walk_to_connected(state);
    recorder.wait();

    const std::vector<ClientStatus> expected{ClientStatus::disconnected,
                                             ClientStatus::preparing_connection,
                                             ClientStatus::preparing_connection,
                                             ClientStatus::preparing_connection,
                                             ClientStatus::loading_config,
                                             ClientStatus::loading_alignment_index,
                                             ClientStatus::loading_bed_file,
                                             ClientStatus::connecting,
                                             ClientStatus::connected};
    const auto seen = recorder.seen();
    ASSERT_EQ(8U, seen.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(expected[i], seen[i].previous) << i;
        EXPECT_EQ(expected[i + 1], seen[i].status) << i;
        EXPECT_EQ(ConnectionError::no_error, seen[i].error.code) << i;
    }
    EXPECT_EQ(ClientStatus::connected, state.get_status());
}

TEST(ClientConnectionState, ErrorIsCarriedByItsSnapshotAndClearedByDisconnect) {
    Recorder recorder;
    recorder.expect(3);
    ClientConnectionState state;
    state.set_status(ClientStatus::preparing_connection);
    state.register_change_handler(recorder.handler());

    state.set_status(ClientStatus::loading_config);
    const ErrorState error{ConnectionError::basecall_config_unavailable, "no such config"};
    state.set_error(error);
    EXPECT_EQ(ClientStatus::error, state.get_status());
    EXPECT_EQ("no such config", state.get_error_state().message);

    // Only the error status may go on to disconnected through set_status_if.
    EXPECT_TRUE(state.set_status_if(ClientStatus::error, ClientStatus::disconnected));
    recorder.wait();

    const auto seen = recorder.seen();
    ASSERT_EQ(3U, seen.size());
    // The changes before registration were never posted: the first one seen came after it.
    EXPECT_EQ(ClientStatus::preparing_connection, seen[0].previous);
    EXPECT_EQ(ClientStatus::error, seen[1].status);
    EXPECT_EQ(ConnectionError::basecall_config_unavailable, seen[1].error.code);
    EXPECT_EQ("no such config", seen[1].error.message);
    EXPECT_EQ(ClientStatus::disconnected, seen[2].status);
    EXPECT_EQ(ConnectionError::no_error, seen[2].error.code);
    EXPECT_EQ(ConnectionError::no_error, state.get_error_state().code);
}

TEST(ClientConnectionState, SetStatusIfChangesNothingWhenTheStatusDiffers) {
    ClientConnectionState state;
    walk_to_connected(state);
    EXPECT_FALSE(state.set_status_if(ClientStatus::error, ClientStatus::disconnected));
    EXPECT_EQ(ClientStatus::connected, state.get_status());
    EXPECT_TRUE(state.set_status_if(ClientStatus::connected, ClientStatus::preparing_connection));
    EXPECT_EQ(ClientStatus::preparing_connection, state.get_status());
}

TEST(ClientConnectionState, SetErrorWorksFromEveryActiveStatus) {
    const std::vector<ClientStatus> path{
            ClientStatus::preparing_connection, ClientStatus::loading_config, ClientStatus::loading_alignment_index,
            ClientStatus::loading_bed_file,     ClientStatus::connecting,     ClientStatus::connected};
    for (std::size_t depth = 1; depth <= path.size(); ++depth) {
        ClientConnectionState state;
        for (std::size_t i = 0; i < depth; ++i) {
            state.set_status(path[i]);
        }
        state.set_error({ConnectionError::timed_out, "late"});
        EXPECT_EQ(ClientStatus::error, state.get_status()) << to_string(path[depth - 1]);
        EXPECT_EQ(ConnectionError::timed_out, state.create_snapshot()->get_error_state().code);
    }
}

TEST(ClientConnectionStateContracts, ForbiddenTransitionsFailTheirContractAndChangeNothing) {
    ClientConnectionState state;
    walk_to_connected(state);

    auto report = contract_report([&] { state.set_status(ClientStatus::connected); });
    EXPECT_NE(std::string::npos, report.find("Contract violation. State transtion 'connected' to 'connected'"));
    EXPECT_NE(std::string::npos, report.find("basecall_client/client_connection_state:153"));
    EXPECT_NE(std::string::npos, report.find("\"state_machine[m_status].count(next_status) > 0\""));
    EXPECT_EQ(ClientStatus::connected, state.get_status());

    report = contract_report([&] { state.set_status(ClientStatus::error); });
    EXPECT_NE(std::string::npos, report.find("set_status cannot be used to set an error state"));
    EXPECT_NE(std::string::npos, report.find(":109"));
    EXPECT_NE(std::string::npos, report.find("\"next_status != ClientStatus::error\""));

    report = contract_report([&] { state.set_status_if(ClientStatus::connected, ClientStatus::error); });
    EXPECT_NE(std::string::npos, report.find("set_status_if cannot be used to set an error state"));
    EXPECT_NE(std::string::npos, report.find(":117"));
    EXPECT_EQ(ClientStatus::connected, state.get_status());

    // Skipping a step is refused too.
    ClientConnectionState fresh;
    fresh.set_status(ClientStatus::preparing_connection);
    report = contract_report([&] { fresh.set_status(ClientStatus::connecting); });
    EXPECT_NE(std::string::npos, report.find("State transtion 'preparing_connection' to 'connecting'"));

    // A refused error leaves the stored error untouched.
    ClientConnectionState idle;
    report = contract_report([&] { idle.set_error({ConnectionError::failed, "x"}); });
    EXPECT_NE(std::string::npos, report.find("State transtion 'disconnected' to 'error'"));
    EXPECT_EQ(ClientStatus::disconnected, idle.get_status());
    EXPECT_EQ(ConnectionError::no_error, idle.get_error_state().code);
}

TEST(ClientConnectionStateContracts, HandlerMayBeRegisteredOnce) {
    ClientConnectionState state;
    state.register_change_handler([](ClientStatus, std::shared_ptr<ClientConnectionStateSnapshot>) {});
    const auto report = contract_report([&] {
        state.register_change_handler([](ClientStatus, std::shared_ptr<ClientConnectionStateSnapshot>) {});
    });
    EXPECT_NE(std::string::npos, report.find("A connection state change handler may only be registered once."));
    EXPECT_NE(std::string::npos, report.find("basecall_client/client_connection_state:103"));
    EXPECT_NE(std::string::npos, report.find("\"!m_change_handler\""));
}

TEST(ClientConnectionStateNotifier, HandlerMayCallBackIntoTheState) {
    common::synchronisation::Flag done;
    ClientStatus seen_from_handler = ClientStatus::error;
    ClientConnectionState state;
    state.register_change_handler([&](ClientStatus, std::shared_ptr<ClientConnectionStateSnapshot>) {
        seen_from_handler = state.create_snapshot()->get_status();
        done.count_down();
    });
    state.set_status(ClientStatus::preparing_connection);
    done.wait();
    EXPECT_EQ(ClientStatus::preparing_connection, seen_from_handler);
}

TEST(ClientConnectionStateNotifier, ThrowingHandlerIsLoggedOnceAndStopsDelivery) {
    std::ostringstream log_text;
    auto backend = boost::make_shared<boost::log::sinks::text_ostream_backend>();
    backend->add_stream(boost::shared_ptr<std::ostream>(&log_text, [](std::ostream*) {}));
    backend->auto_flush(true);
    auto sink =
            boost::make_shared<boost::log::sinks::synchronous_sink<boost::log::sinks::text_ostream_backend>>(backend);
    common::logging::attach_library_sink(sink);

    std::atomic<int> calls{0};
    common::synchronisation::Flag first_call;
    auto state = std::make_unique<ClientConnectionState>();
    state->register_change_handler([&](ClientStatus, std::shared_ptr<ClientConnectionStateSnapshot>) {
        ++calls;
        first_call.count_down();
        throw std::runtime_error("handler broke");
    });
    state->set_status(ClientStatus::preparing_connection);
    first_call.wait();
    state->set_status(ClientStatus::loading_config);
    state->set_status(ClientStatus::disconnected);
    // Still recorded and queryable.
    EXPECT_EQ(ClientStatus::disconnected, state->get_status());
    EXPECT_EQ(ClientStatus::disconnected, state->create_snapshot()->get_status());
    // Destruction joins the notification thread, so everything it would do has happened.
    state.reset();
    common::logging::detach_library_sink(sink);

    EXPECT_EQ(1, calls.load());
    const std::string text = log_text.str();
    const std::string line = "Exception thrown in external client state change handler: handler broke";
    const auto first = text.find(line);
    EXPECT_NE(std::string::npos, first) << text;
    EXPECT_EQ(std::string::npos, text.find(line, first + 1)) << text;
}

TEST(ClientConnectionStateNotifier, PendingNotificationsAreDeliveredBeforeDestruction) {
    Recorder recorder;
    recorder.expect(3);
    {
        ClientConnectionState state;
        state.register_change_handler(recorder.handler());
        state.set_status(ClientStatus::preparing_connection);
        state.set_status(ClientStatus::loading_config);
        state.set_status(ClientStatus::disconnected);
    }
    EXPECT_EQ(3U, recorder.seen().size());
}
