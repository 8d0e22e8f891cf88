#include "ipc_tools/awake_poll.h"

#include <sched.h>

namespace ipc_tools {

int poll_awake(zmq_pollitem_t* items, int count, std::chrono::microseconds window) {
    const auto until = std::chrono::steady_clock::now() + window;
    while (true) {
        const int result = zmq_poll(items, count, 0);
        if (result != 0 || std::chrono::steady_clock::now() >= until) {
            return result;
        }
        sched_yield();
    }
}

}  // namespace ipc_tools
