#include "ipc_tools/awake_poll.h"

#include <gtest/gtest.h>
#include <zmq.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

using ipc_tools::poll_awake;
using Clock = std::chrono::steady_clock;

namespace {

// A connected pair of in-process sockets; the test polls the receiving one.
struct SocketPair {
    zmq::context_t context;
    zmq::socket_t receiver{context, zmq::socket_type::pair};
    zmq::socket_t sender{context, zmq::socket_type::pair};
    SocketPair() {
        receiver.bind("inproc://awake");
        sender.connect("inproc://awake");
    }
    zmq_pollitem_t item() { return {receiver.handle(), 0, ZMQ_POLLIN, 0}; }
};

}  // namespace

TEST(AwakePollTest, returns_as_soon_as_a_message_arrives_within_the_window) {
    SocketPair sockets;
    std::thread late_sender([&sockets] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        sockets.sender.send(zmq::str_buffer("reply"), zmq::send_flags::none);
    });
    auto item = sockets.item();
    const auto start = Clock::now();
    const int result = poll_awake(&item, 1, std::chrono::seconds(30));
    const auto waited = Clock::now() - start;
    late_sender.join();
    EXPECT_EQ(1, result);
    EXPECT_NE(0, item.revents & ZMQ_POLLIN);
    // Far below the window, however slow a sanitizer makes both threads.
    EXPECT_LT(waited, std::chrono::seconds(10));
}

TEST(AwakePollTest, gives_up_after_the_window_or_at_once_on_a_failed_poll) {
    SocketPair sockets;
    auto item = sockets.item();
    const auto start = Clock::now();
    EXPECT_EQ(0, poll_awake(&item, 1, std::chrono::milliseconds(3)));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(3));
    EXPECT_EQ(0, poll_awake(&item, 1, std::chrono::microseconds(0)));

    // A context shut down makes every poll of its sockets fail.
    sockets.context.shutdown();
    const auto failing = Clock::now();
    EXPECT_LT(poll_awake(&item, 1, std::chrono::seconds(5)), 0);
    EXPECT_EQ(ETERM, zmq_errno());
    EXPECT_LT(Clock::now() - failing, std::chrono::seconds(4));
}

TEST(AwakePollTest, a_waiter_stops_waiting_awake_once_another_thread_waits_for_a_reply) {
    SocketPair sockets;
    auto item = sockets.item();
    const ipc_tools::ReplyWaiter waiter;
    EXPECT_TRUE(waiter.alone());
    std::atomic<bool> second_waits{false};
    std::atomic<bool> release{false};
    std::thread other([&] {
        const ipc_tools::ReplyWaiter second;
        second_waits = true;
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    while (!second_waits) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(waiter.alone());
    EXPECT_EQ(2, ipc_tools::ReplyWaiter::waiting());
    // Not alone: one poll, however long the window.
    const auto start = Clock::now();
    EXPECT_EQ(0, poll_awake(&item, 1, std::chrono::seconds(30), &waiter));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    release = true;
    other.join();
    EXPECT_TRUE(waiter.alone());
}

TEST(AwakePollTest, a_kind_of_request_whose_reply_outlasted_the_window_is_awaited_asleep_until_replies_are_quick) {
    SocketPair sockets;
    ipc_tools::ReplyPace pace;
    const ipc_tools::ReplyWaiter waiter;
    constexpr std::uint32_t slow_kind = 7;
    constexpr std::uint32_t other_kind = 8;
    EXPECT_TRUE(pace.awake_first(slow_kind));
    // A reply far beyond the window, through the wait every requester uses.
    std::thread sender([&sockets] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sockets.sender.send(zmq::str_buffer("reply"), zmq::send_flags::none);
    });
    auto item = sockets.item();
    EXPECT_EQ(1, ipc_tools::wait_for_reply(item, std::chrono::seconds(30), waiter, pace, slow_kind));
    sender.join();
    zmq::message_t reply;
    EXPECT_TRUE(sockets.receiver.recv(reply, zmq::recv_flags::dontwait));
    EXPECT_FALSE(pace.awake_first(slow_kind));
    EXPECT_TRUE(pace.awake_first(other_kind)) << "kinds are paced apart";
    // A quick reply makes the kind worth waiting awake for again.
    pace.record(slow_kind, ipc_tools::REPLY_AWAKE_WINDOW / 2);
    EXPECT_TRUE(pace.awake_first(slow_kind));
    // A caller that expects the next reply to take its time has it awaited asleep, once.
    pace.expect_slow(slow_kind);
    EXPECT_FALSE(pace.awake_first(slow_kind));
    pace.record(slow_kind, ipc_tools::REPLY_AWAKE_WINDOW / 2);
    EXPECT_TRUE(pace.awake_first(slow_kind));
    // Kinds beyond the known message types are always awaited awake first.
    pace.record(1000, std::chrono::seconds(1));
    EXPECT_TRUE(pace.awake_first(1000));
}
