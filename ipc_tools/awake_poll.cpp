#include "ipc_tools/awake_poll.h"

#include <sched.h>

#include <atomic>

namespace ipc_tools {

namespace {

std::atomic<int>& waiters() {
    static std::atomic<int> count{0};
    return count;
}

}  // namespace

ReplyWaiter::ReplyWaiter() {
    waiters().fetch_add(1, std::memory_order_relaxed);
}

ReplyWaiter::~ReplyWaiter() {
    waiters().fetch_sub(1, std::memory_order_relaxed);
}

bool ReplyWaiter::alone() const {
    return waiters().load(std::memory_order_relaxed) <= 1;
}

int ReplyWaiter::waiting() {
    return waiters().load(std::memory_order_relaxed);
}

int poll_awake(zmq_pollitem_t* items, int count, std::chrono::microseconds window, const ReplyWaiter* waiter) {
    const auto until = std::chrono::steady_clock::now() + window;
    while (true) {
        const int result = zmq_poll(items, count, 0);
        if (result != 0 || std::chrono::steady_clock::now() >= until || (waiter != nullptr && !waiter->alone())) {
            return result;
        }
        sched_yield();
    }
}

}  // namespace ipc_tools
