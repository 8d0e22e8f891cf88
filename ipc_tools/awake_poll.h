#pragma once

#include <zmq.h>

#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace ipc_tools {

/// How long the server side stays awake for the next request after a reply before it sleeps.
inline constexpr std::chrono::microseconds AWAKE_POLL_WINDOW{1000};

/// How long a requester stays awake for a reply before it sleeps. A client alone in its process
/// kept its throughput with this window and a millisecond alike, but spun through the longer replies
/// with the millisecond, at more CPU per read than the time it saved; with a shorter window, replies
/// that take a hundred microseconds or more were slept through and each exchange took longer.
inline constexpr std::chrono::microseconds REPLY_AWAKE_WINDOW{200};

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

/// Whether the last reply to each kind of request came within the reply's awake window. A requester
/// waits awake only for a kind whose last reply did: a reply that takes longer (a pull the server
/// holds while it calls the read, or a busy server) keeps the CPU busy for the whole window and
/// comes no sooner for it. Asleep, the wait is still timed, so that a kind whose replies are quick
/// again is awaited awake again. One per requester, used by one thread at a time.
class ReplyPace {
public:
    /// The last reply to `kind` came within the window (or none has come yet).
    bool awake_first(std::uint32_t kind) const { return kind >= KINDS || !m_slow.test(kind); }
    /// A reply to `kind` came after `waited`.
    void record(std::uint32_t kind, std::chrono::steady_clock::duration waited);
    /// The next reply to `kind` is awaited asleep: the caller expects it to come no sooner for a spin
    /// (a server with nothing ready), and a quick reply makes the kind awaited awake again.
    void expect_slow(std::uint32_t kind) {
        if (kind < KINDS) {
            m_slow.set(kind);
        }
    }

private:
    static constexpr std::size_t KINDS = 64;  // above every message type
    std::bitset<KINDS> m_slow;
};

/// Polls `items` without sleeping, giving the CPU up between polls, until one of them is ready or
/// `window` has passed. A thread woken from sleep can wait tens of microseconds for its CPU on a busy
/// or virtual machine, a large share of a round trip; and the I/O thread bringing the message is
/// often woken on this thread's CPU, where it then runs first. With a `waiter`, the polls stop as
/// soon as another thread of the process waits for a reply too (at least one poll is made).
/// Returns what the last poll returned: above 0 when an item is ready, 0 when none is, below 0 when
/// the poll failed (zmq_errno tells).
int poll_awake(zmq_pollitem_t* items, int count, std::chrono::microseconds window, const ReplyWaiter* waiter = nullptr);

/// One poll that sleeps for up to `timeout`, repeated when a signal interrupts it. With a
/// `wake_descriptor` (0 or more) it ends as soon as that descriptor is readable too, which the result
/// does not count. Returns what the last poll returned.
int poll_asleep(zmq_pollitem_t& item, std::chrono::milliseconds timeout, int wake_descriptor = -1);

/// Waits for the reply to a request of `kind` as every requester of this process does: awake first
/// (at most the window, never past `timeout`, only while `waiter` is alone and only when `pace`
/// says the last reply to this kind came within the window), then in a poll that sleeps for up to
/// `timeout`; an interrupted poll is repeated, and the sleeping poll ends early once
/// `wake_descriptor` (see poll_asleep) is readable. A reply's wait is recorded in `pace`. Returns
/// what the last poll returned. One function, so that a benchmark's bare sockets wait exactly as
/// the client does.
int wait_for_reply(zmq_pollitem_t& item, std::chrono::milliseconds timeout, const ReplyWaiter& waiter, ReplyPace& pace,
                   std::uint32_t kind, int wake_descriptor = -1);

}  // namespace ipc_tools
