#include "ipc_tools/awake_poll.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace ipc_tools {

namespace {

std::atomic<int>& waiters() {
    static std::atomic<int> count{0};
    return count;
}

}  // namespace

ReplyWaiter::ReplyWaiter() { waiters().fetch_add(1, std::memory_order_relaxed); }

ReplyWaiter::~ReplyWaiter() { waiters().fetch_sub(1, std::memory_order_relaxed); }

bool ReplyWaiter::alone() const { return waiters().load(std::memory_order_relaxed) <= 1; }

int ReplyWaiter::waiting() { return waiters().load(std::memory_order_relaxed); }

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

void ReplyPace::record(std::uint32_t kind, std::chrono::steady_clock::duration waited) {
    if (kind < KINDS) {
        m_slow.set(kind, waited > REPLY_AWAKE_WINDOW);
    }
}

int wait_for_reply(zmq_pollitem_t& item, std::chrono::milliseconds timeout, const ReplyWaiter& waiter, ReplyPace& pace,
                   std::uint32_t kind, int wake_descriptor) {
    const auto start = std::chrono::steady_clock::now();
    int result = 0;
    if (pace.awake_first(kind)) {
        result = poll_awake(&item, 1, std::min<std::chrono::microseconds>(REPLY_AWAKE_WINDOW, timeout), &waiter);
    }
    if (result == 0) {
        result = poll_asleep(item, timeout, wake_descriptor);
    }
    if (result > 0) {
        pace.record(kind, std::chrono::steady_clock::now() - start);
    }
    return result;
}

int poll_asleep(zmq_pollitem_t& item, std::chrono::milliseconds timeout, int wake_descriptor) {
    // The wake descriptor costs nothing until the reply is slow enough to be slept for.
    zmq_pollitem_t items[2] = {item, {nullptr, wake_descriptor, ZMQ_POLLIN, 0}};
    const int count = wake_descriptor >= 0 ? 2 : 1;
    while (true) {
        const int result = zmq_poll(items, count, static_cast<long>(timeout.count()));
        if (result >= 0 || zmq_errno() != EINTR) {
            item.revents = items[0].revents;
            const bool woken = count == 2 && (items[1].revents & ZMQ_POLLIN) != 0;
            return woken ? result - 1 : result;
        }
    }
}

}  // namespace ipc_tools
