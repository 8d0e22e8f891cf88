#pragma once

#include <zmq.h>

#include <chrono>

namespace ipc_tools {

/// How long a waiting side stays awake for the next message before it sleeps in its poll.
inline constexpr std::chrono::microseconds AWAKE_POLL_WINDOW{1000};

/// Counts, while it lives, a thread of this process that waits for a reply. Waiting awake pays only
/// for a thread that waits alone: it then spends the CPU it burns on a round trip that nothing else
/// could have used. When several threads of a process wait for replies at once (many clients in
/// one process), the replies come no sooner for any of them (they queue at the server or for the
/// CPUs), and every one of them awake would keep a core busy for nothing.
class ReplyWaiter {
public:
    ReplyWaiter();
    ~ReplyWaiter();
    ReplyWaiter(const ReplyWaiter&) = delete;
    ReplyWaiter& operator=(const ReplyWaiter&) = delete;

    /// No other thread of this process waits for a reply.
    bool alone() const;
    /// Threads of this process waiting for a reply right now.
    static int waiting();
};

/// Polls `items` without sleeping, giving the CPU up between polls, until one of them is ready or
/// `window` has passed. A thread woken from sleep can wait tens of microseconds for its CPU on a busy
/// or virtual machine, a large share of a round trip; and the I/O thread bringing the message is
/// often woken on this thread's CPU, where it then runs first. With a `waiter`, the polls stop as
/// soon as another thread of the process waits for a reply too (at least one poll is made).
/// Returns what the last poll returned: above 0 when an item is ready, 0 when none is, below 0 when
/// the poll failed (zmq_errno tells).
int poll_awake(zmq_pollitem_t* items, int count, std::chrono::microseconds window,
               const ReplyWaiter* waiter = nullptr);

/// One poll that sleeps for up to `timeout`, repeated when a signal interrupts it. Returns what the
/// last poll returned.
int poll_asleep(zmq_pollitem_t& item, std::chrono::milliseconds timeout);

/// Waits for the reply to a request as every requester of this process does: awake first (at most
/// the window, never past `timeout`, and only while `waiter` is alone), then in a poll that sleeps
/// for up to `timeout`; an interrupted poll is repeated. Returns what the last poll returned. One
/// function, so that a benchmark's bare sockets wait exactly as the client does.
int wait_for_reply(zmq_pollitem_t& item, std::chrono::milliseconds timeout, const ReplyWaiter& waiter);

}  // namespace ipc_tools
