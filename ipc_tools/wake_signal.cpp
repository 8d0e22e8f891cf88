#include "ipc_tools/wake_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace ipc_tools {

WakeSignal::WakeSignal() : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (m_fd < 0) {
        throw std::system_error(errno, std::generic_category(), "Cannot create a wake-up descriptor");
    }
}

WakeSignal::~WakeSignal() { close(m_fd); }

void WakeSignal::notify() {
    const std::uint64_t one = 1;
    // Fails only when the counter is full, and then the descriptor is readable anyway.
    [[maybe_unused]] const auto written = write(m_fd, &one, sizeof(one));
}

void WakeSignal::drain() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read_bytes = read(m_fd, &count, sizeof(count));
}

}  // namespace ipc_tools
