#include "common/synchronisation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using common::synchronisation::Flag;
using common::synchronisation::Latch;

TEST(Latch, zero_count_is_open_from_the_start) {
    Latch latch(0);
    latch.wait();
    latch.count_down();
    latch.wait();
}

TEST(Latch, the_last_count_down_releases_every_waiter) {
    Latch latch(3);
    Latch waiting(4);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            waiting.count_down();
            latch.wait();
            ++released;
        });
    }
    waiting.wait();
    latch.count_down();
    latch.count_down();
    // A waiter released early would show up here; a short grace only helps it do so.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(released.load(), 0);
    latch.count_down();
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(released.load(), 4);
    latch.count_down();  // past zero: nothing happens
    latch.wait();
}

TEST(Flag, set_once_and_stays_set) {
    Flag flag;
    std::thread setter([&flag] { flag.count_down(); });
    flag.wait();
    setter.join();
    flag.count_down();
    flag.wait();
}

TEST(Latch, may_be_destroyed_as_soon_as_its_waiter_wakes) {
    // The counting thread must not touch the latch after the waiter has seen zero.
    for (int i = 0; i < 2000; ++i) {
        auto latch = std::make_unique<Latch>(1);
        std::thread counter([raw = latch.get()] { raw->count_down(); });
        latch->wait();
        latch.reset();
        counter.join();
    }
}

TEST(Latch, many_threads_count_down_concurrently) {
    constexpr int threads = 16;
    constexpr int per_thread = 1000;
    Latch latch(threads * per_thread);
    std::vector<std::thread> counters;
    for (int i = 0; i < threads; ++i) {
        counters.emplace_back([&latch] {
            for (int j = 0; j < per_thread; ++j) {
                latch.count_down();
            }
        });
    }
    latch.wait();
    for (auto& counter : counters) {
        counter.join();
    }
}
