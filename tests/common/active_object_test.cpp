#include "common/active_object.h"
#include "common/contract.h"
#include "common/logger.h"
#include "common/synchronisation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <vector>

using common::ActiveObject;
using common::synchronisation::Flag;
using common::synchronisation::Latch;

namespace {

std::string thread_name_of(ActiveObject& object) {
    std::string name;
    object.send_blocking([&name] { name = bass::util::get_thread_name(); });
    return name;
}

bool violates_contract(const std::function<void()>& action) {
    const auto previous =
            common::contract::set_contract_violation_policy(common::contract::ContractViolationPolicy::throw_exception);
    bool violated = false;
    try {
        action();
    } catch (...) {
        violated = true;
    }
    common::contract::set_contract_violation_policy(previous);
    return violated;
}

}  // namespace

TEST(ActiveObject, workers_are_named_after_the_object) {
    ActiveObject unnamed;
    EXPECT_EQ(thread_name_of(unnamed), "active_object");
    EXPECT_EQ(unnamed.name(), "active_object");

    ActiveObject long_name("a_rather_long_worker_name");
    EXPECT_EQ(thread_name_of(long_name), "a_rather_long_w");
    EXPECT_EQ(long_name.name(), "a_rather_long_worker_name");
}

TEST(ActiveObject, thread_count_must_be_between_one_and_fifty) {
    EXPECT_TRUE(violates_contract([] { ActiveObject object("none", 0u); }));
    EXPECT_TRUE(violates_contract([] { ActiveObject object("too_many", 51u); }));
    ActiveObject fifty("fifty", 50u);
    fifty.flush();
}

TEST(ActiveObject, tasks_of_one_worker_run_in_send_order) {
    std::vector<int> order;
    {
        ActiveObject object("ordered");
        for (int i = 0; i < 1000; ++i) {
            object.send([&order, i] { order.push_back(i); });
        }
        object.flush();
        EXPECT_EQ(order.size(), 1000u);
    }
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
    }
}

TEST(ActiveObject, send_blocking_returns_after_the_task_ran) {
    ActiveObject object("blocking");
    int value = 0;
    object.send_blocking([&value] { value = 42; });
    EXPECT_EQ(value, 42);
}

TEST(ActiveObject, workers_run_tasks_concurrently) {
    ActiveObject object("pool", 4u);
    // Each task waits for all four: only four workers running at once can finish them.
    auto all_started = std::make_shared<Latch>(4);
    Latch finished(4);
    for (int i = 0; i < 4; ++i) {
        object.send([all_started, &finished] {
            all_started->count_down();
            all_started->wait();
            finished.count_down();
        });
    }
    finished.wait();
}

TEST(ActiveObject, flush_waits_for_a_long_task_on_another_worker) {
    ActiveObject object("flushing", 3u);
    Flag started;
    Flag release;
    std::atomic<bool> long_task_done{false};
    object.send([&] {
        started.count_down();
        release.wait();
        long_task_done = true;
    });
    started.wait();

    std::atomic<bool> done_when_flush_returned{false};
    Flag flush_returned;
    std::thread flusher([&] {
        object.flush();
        done_when_flush_returned = long_task_done.load();
        flush_returned.count_down();
    });
    // Give a wrong flush the chance to return early; a correct one cannot.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    release.count_down();
    flush_returned.wait();
    flusher.join();
    EXPECT_TRUE(done_when_flush_returned.load());
}

TEST(ActiveObject, join_runs_queued_tasks_and_may_be_repeated) {
    std::atomic<int> ran{0};
    auto token = std::make_shared<int>(0);
    std::atomic<bool> late_task_ran{false};
    {
        ActiveObject object("joining", 2u);
        for (int i = 0; i < 100; ++i) {
            object.send([&ran] { ++ran; });
        }
        object.join();
        EXPECT_EQ(ran.load(), 100);
        object.join();

        object.send([token, &late_task_ran] { late_task_ran = true; });
        EXPECT_EQ(token.use_count(), 2);
        EXPECT_TRUE(violates_contract([&object] { object.flush(); }));
    }
    // The late task was destroyed with the object, never run.
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_FALSE(late_task_ran.load());
}

TEST(ActiveObject, a_handler_that_returns_ends_only_that_worker) {
    std::vector<std::string> handled;
    Flag handler_called;
    std::atomic<bool> later_task_ran{false};
    {
        ActiveObject object("handled", [&](const std::exception& e) {
            handled.push_back(e.what());
            handler_called.count_down();
        });
        // The caller is released although the task throws.
        object.send_blocking([] { throw std::runtime_error("task failed"); });
        handler_called.wait();
        object.send([&later_task_ran] { later_task_ran = true; });
    }
    EXPECT_THAT(handled, ::testing::ElementsAre("task failed"));
    EXPECT_FALSE(later_task_ran.load());
}

TEST(ActiveObject, a_non_standard_exception_reaches_the_handler_as_a_runtime_error) {
    std::string text;
    Flag handler_called;
    ActiveObject object("odd_throw", 1u, [&](const std::exception& e) {
        text = e.what();
        handler_called.count_down();
    });
    object.send([] { throw 42; });
    handler_called.wait();
    EXPECT_EQ(text, "Unhandled error thrown in thread: odd_throw");
}

TEST(ActiveObject, an_empty_task_is_handled_like_a_throwing_one) {
    std::string text;
    Flag handler_called;
    ActiveObject object("empty_task", [&](const std::exception& e) {
        text = e.what();
        handler_called.count_down();
    });
    object.send(ActiveObject::Task());
    handler_called.wait();
    EXPECT_EQ(text, std::bad_function_call().what());
}

TEST(ActiveObject, may_be_destroyed_by_one_of_its_own_tasks) {
    auto owner = std::make_unique<ActiveObject>("self_destroy", 2u);
    Flag sent;
    Flag destroyed;
    std::atomic<int> ran{0};
    for (int i = 0; i < 10; ++i) {
        owner->send([&ran] { ++ran; });
    }
    // The task may run before send has returned; destroying the object under a
    // caller still inside it would be the caller's race, not the object's.
    owner->send([&owner, &sent, &destroyed] {
        sent.wait();
        owner.reset();
        destroyed.count_down();
    });
    sent.count_down();
    destroyed.wait();
    EXPECT_EQ(owner, nullptr);
    EXPECT_EQ(ran.load(), 10);
}

TEST(ActiveObjectDeathTest, default_handler_logs_once_and_ends_the_process) {
    EXPECT_DEATH(
            {
                common::logging::LoggerOptionsUtils::SetDefaultLogOptions();
                ActiveObject object("doomed");
                object.send_blocking([] { throw std::runtime_error("task exploded"); });
                // Wait for the end of the process.
                Flag never;
                never.wait();
            },
            "\\[zev/error\\] : task exploded");
}

TEST(ActiveObjectDeathTest, propagate_policy_never_calls_a_handler) {
    EXPECT_DEATH(
            {
                common::logging::LoggerOptionsUtils::SetDefaultLogOptions();
                ActiveObject object("propagating", ActiveObject::ExceptionHandlingPolicy::propagate);
                object.send([] { throw std::runtime_error("unhandled in task"); });
                Flag never;
                never.wait();
            },
            "^terminate called after throwing[^\n]*\n  what\\(\\):  unhandled in task");
}
