#include "ipc_tools/wait_interrupt.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace ipc_tools {

WaitInterrupt::WaitInterrupt() : m_descriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_descriptor < 0) {
        throw std::system_error(errno, std::system_category(), "Cannot create the wait interrupt");
    }
}

WaitInterrupt::~WaitInterrupt() { close(m_descriptor); }

void WaitInterrupt::raise() {
    if (m_raised.exchange(true)) {
        return;
    }
    const std::uint64_t one = 1;
    // Only a counter at its maximum refuses the write, which one write cannot reach.
    [[maybe_unused]] const auto written = write(m_descriptor, &one, sizeof(one));
}

}  // namespace ipc_tools
