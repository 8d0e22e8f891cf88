#include "common/diagnostics/state/formatters.h"
#include "common/diagnostics/state/state_context.h"
#include "common/diagnostics/state/state_provider.h"
#include "test_support/forked_child.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace state = common::diagnostics::state;
using state::StateRecord;
using state::StateRecordType;

// A provider whose report is a callback; it leaves the registry before it is destroyed.
class CallbackProvider : public state::StateProvider {
public:
    CallbackProvider(std::string name, std::function<void(state::StateLogger&)> report)
        : m_name(std::move(name)), m_report(std::move(report)) {
        state::context::register_provider(this, m_name);
    }
    ~CallbackProvider() override { state::context::unregister_provider(this, m_name); }

    void report_state(state::StateLogger& logger) const override { m_report(logger); }

private:
    std::string m_name;
    std::function<void(state::StateLogger&)> m_report;
};

std::string describe(const std::vector<StateRecord>& records) {
    std::string text;
    for (const auto& record : records) {
        switch (record.type) {
            case StateRecordType::section_start:
                text += "start " + record.name + ";";
                break;
            case StateRecordType::section_end:
                text += "end " + record.name + ";";
                break;
            case StateRecordType::value:
                text += "value " + record.name + ";";
                break;
        }
    }
    return text;
}

std::vector<StateRecord> get_state() { return state::context::StateLogging::context().get_state(); }

TEST(StateReport, NoProvidersNoRecords) { EXPECT_TRUE(get_state().empty()); }

TEST(StateReport, ProvidersReportInNameOrderWithNestedSections) {
    CallbackProvider b("b", [](state::StateLogger& logger) { logger.log("n", 5LL); });
    CallbackProvider a("a", [](state::StateLogger& logger) {
        auto section = logger.create_child_section("s");
        logger.log("ok", true);
    });
    const auto records = get_state();
    EXPECT_EQ(describe(records), "start a;start s;value ok;end s;end a;start b;value n;end b;");
    EXPECT_EQ(boost::any_cast<bool>(records[2].value), true);
    EXPECT_EQ(boost::any_cast<long long>(records[6].value), 5LL);
}

TEST(StateReport, CharacterStringIsLoggedAsText) {
    CallbackProvider p("p", [](state::StateLogger& logger) { logger.log("text", "literal"); });
    const auto records = get_state();
    ASSERT_EQ(records.size(), 3u);
    ASSERT_EQ(records[1].value.type(), typeid(std::string));
    EXPECT_EQ(boost::any_cast<std::string>(records[1].value), "literal");
}

TEST(StateReport, SecondRegistrationUnderNameReplacesFirst) {
    CallbackProvider first("same", [](state::StateLogger& logger) { logger.log("who", "first"); });
    {
        CallbackProvider second("same", [](state::StateLogger& logger) { logger.log("who", "second"); });
        const auto records = get_state();
        ASSERT_EQ(records.size(), 3u);
        EXPECT_EQ(boost::any_cast<std::string>(records[1].value), "second");
    }
    // The replaced provider's own unregistration must not remove the second one, and the second's
    // removal leaves nothing under the name (the first was replaced, not stacked).
    EXPECT_TRUE(get_state().empty());
}

TEST(StateReport, ReplacedProviderDoesNotRemoveItsSuccessor) {
    CallbackProvider second_holder("other", [](state::StateLogger&) {});
    auto first = std::make_unique<CallbackProvider>("x", [](state::StateLogger& logger) { logger.log("who", "1"); });
    CallbackProvider second("x", [](state::StateLogger& logger) { logger.log("who", "2"); });
    first.reset();
    const auto report = state::context::request_state(state::JsonFormatter());
    EXPECT_EQ(report, "\n{\n    \"other\": {},\n    \"x\": {\n        \"who\": \"2\"\n    }\n}");
}

TEST(StateReport, ExceptionsBecomeValues) {
    CallbackProvider thrower("a", [](state::StateLogger& logger) {
        auto section = logger.create_child_section("inner");
        logger.log("before", 1ULL);
        throw std::runtime_error("broken");
    });
    CallbackProvider unknown("b", [](state::StateLogger&) { throw 42; });
    CallbackProvider fine("c", [](state::StateLogger& logger) { logger.log("ok", 1.5); });

    const auto records = get_state();
    EXPECT_EQ(describe(records),
              "start a;start inner;value before;end inner;value exception reporting state;end a;"
              "start b;value error reporting state;end b;"
              "start c;value ok;end c;");
    EXPECT_EQ(records[4].name, "exception reporting state");
    EXPECT_EQ(boost::any_cast<std::string>(records[4].value), "broken");
    EXPECT_EQ(boost::any_cast<std::string>(records[7].value), "unknown");
}

TEST(StateReport, EmptyFormatterThrowsBadFunctionCall) {
    EXPECT_THROW(state::context::request_state({}), std::bad_function_call);
}

TEST(StateReport, FormatterErrorsReachCaller) {
    EXPECT_THROW(state::context::request_state(
                         [](const std::vector<StateRecord>&) -> std::string { throw std::logic_error("x"); }),
                 std::logic_error);
}

TEST(StateReport, UnregisteredProviderIsNotReported) {
    {
        CallbackProvider gone("gone", [](state::StateLogger& logger) { logger.log("v", true); });
    }
    EXPECT_TRUE(get_state().empty());
}

// Unregistering waits for a report that is using the provider, so the provider can then be destroyed
// safely; a report that has not reached it yet skips it.
TEST(StateReport, UnregisterWaitsForReportInProgress) {
    std::promise<void> reporting;
    std::promise<void> release;
    auto release_future = release.get_future().share();
    std::atomic<bool> report_finished{false};

    auto provider = std::make_unique<CallbackProvider>("slow", [&](state::StateLogger& logger) {
        reporting.set_value();
        release_future.wait();
        logger.log("done", true);
    });

    auto report = std::async(std::launch::async, [&] {
        auto records = get_state();
        report_finished = true;
        return records;
    });
    reporting.get_future().wait();

    std::atomic<bool> unregistered{false};
    std::thread destroyer([&] {
        provider.reset();
        unregistered = true;
    });
    // The destroyer cannot finish while the report holds the provider.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(unregistered.load());
    release.set_value();
    destroyer.join();
    EXPECT_TRUE(unregistered.load());
    EXPECT_EQ(describe(report.get()), "start slow;value done;end slow;");
    EXPECT_TRUE(get_state().empty());
}

TEST(StateReport, AForkedChildUsesTheRegistryAndExitsWhileParentThreadsReportAndWait) {
    std::promise<void> reporting;
    std::promise<void> release;
    auto release_future = release.get_future().share();
    auto provider = std::make_unique<CallbackProvider>("held", [&](state::StateLogger&) {
        reporting.set_value();
        release_future.wait();
    });
    const state::StateProvider* const held = provider.get();
    auto report = std::async(std::launch::async, [] { return get_state(); });
    reporting.get_future().wait();
    std::thread destroyer([&] { provider.reset(); });
    // The destroyer erases the provider under the lock and releases the lock only by waiting for
    // the report: once the provider is gone from a copy, it is waiting.
    while (state::context::StateLogging::context().copy_providers().count("held") != 0) {
        std::this_thread::yield();
    }

    const pid_t pid = fork();
    ASSERT_NE(-1, pid);
    if (pid == 0) {
        test_support::mark_forked_child();
        bool sound = false;
        {
            CallbackProvider own("own", [](state::StateLogger& logger) { logger.log("x", 1LL); });
            sound = describe(get_state()) == "start own;value x;end own;";
        }
        // The parent's report of it does not exist here.
        state::context::unregister_provider(held, "held");
        std::exit(sound && get_state().empty() ? 0 : 1);
    }
    int status = -1;
    bool ended = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!(ended = waitpid(pid, &status, WNOHANG) == pid) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    release.set_value();
    destroyer.join();
    report.get();
    ASSERT_TRUE(ended) << "the child hung";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(StateReport, ProviderMayReportAndRegisterWhileReporting) {
    CallbackProvider inner("inner", [](state::StateLogger& logger) { logger.log("x", 1LL); });
    std::unique_ptr<CallbackProvider> late;
    bool nested = false;
    CallbackProvider outer("a_outer", [&](state::StateLogger& logger) {
        if (nested) {
            return;  // the nested report reaches this provider too
        }
        nested = true;
        logger.log("nested_report", state::context::request_state(state::IndentationFormatter()));
        if (!late) {
            late = std::make_unique<CallbackProvider>("late", [](state::StateLogger&) {});
        }
        nested = false;
    });
    const auto records = get_state();
    EXPECT_EQ(describe(records), "start a_outer;value nested_report;end a_outer;start inner;value x;end inner;");
    EXPECT_EQ(boost::any_cast<std::string>(records[1].value), "\na_outer\ninner\n    x: 1\n");
    // A registration made during a report shows from the next report on.
    EXPECT_EQ(describe(get_state()),
              "start a_outer;value nested_report;end a_outer;start inner;value x;end inner;start late;end late;");
}

TEST(StateReport, ConcurrentReportsAndRegistrations) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> reporters;
    for (int i = 0; i < 4; ++i) {
        reporters.emplace_back([&] {
            while (!stop) {
                const auto text = state::context::request_state(state::JsonFormatter());
                ASSERT_FALSE(text.empty());
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        CallbackProvider p("p" + std::to_string(i % 7),
                           [i](state::StateLogger& logger) { logger.log("i", static_cast<long long>(i)); });
    }
    stop = true;
    for (auto& t : reporters) {
        t.join();
    }
    EXPECT_TRUE(get_state().empty());
}

}  // namespace
