#pragma once

#include <zmq.h>

#include <chrono>

namespace ipc_tools {

/// How long a waiting side stays awake for the next message before it sleeps in its poll.
inline constexpr std::chrono::microseconds AWAKE_POLL_WINDOW{1000};

/// Polls `items` without sleeping, giving the CPU up between polls, until one of them is ready or
/// `window` has passed. A thread woken from sleep can wait tens of microseconds for its CPU on a busy
/// or virtual machine, a large share of a round trip; and the I/O thread bringing the message is
/// often woken on this thread's CPU, where it then runs first. Returns what the last poll returned:
/// above 0 when an item is ready, 0 when none is, below 0 when the poll failed (zmq_errno tells).
int poll_awake(zmq_pollitem_t* items, int count, std::chrono::microseconds window);

}  // namespace ipc_tools
