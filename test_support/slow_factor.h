#pragma once

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

namespace test_support {

/// How many times slower a sanitizer build runs the threaded code: time bounds are scaled by it.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int slow_factor = 10;
#else
constexpr int slow_factor = 1;
#endif

/// How long a test waits for a condition before it fails.
constexpr std::chrono::milliseconds condition_timeout{20000 * slow_factor};

/// How many times longer than on an idle machine a thread may now wait for a CPU: one plus the
/// runnable threads per CPU (the last minute's load average, or those runnable at this moment when
/// more), at most 8, so that a bound keeps its meaning on the busiest machine.
inline double machine_slowness() {
    double load_average = 0.0;
    unsigned runnable = 0;
    std::ifstream loadavg("/proc/loadavg");
    double ignored = 0.0;
    char slash = 0;
    loadavg >> load_average >> ignored >> ignored >> runnable >> slash;
    const double cpus = std::max(1U, std::thread::hardware_concurrency());
    // The reader itself is one of the runnable threads.
    const double busy = std::max(load_average, runnable > 0 ? runnable - 1.0 : 0.0);
    return std::clamp(1.0 + busy / cpus, 1.0, 8.0);
}

/// The margin a time bound allows beyond its exact value: `base`, as it would be on an idle machine
/// in a plain build, scaled by the sanitizer factor and the machine's present slowness.
inline std::chrono::milliseconds time_margin(std::chrono::milliseconds base) {
    return std::chrono::milliseconds(
            static_cast<std::chrono::milliseconds::rep>(base.count() * slow_factor * machine_slowness()));
}

}  // namespace test_support
