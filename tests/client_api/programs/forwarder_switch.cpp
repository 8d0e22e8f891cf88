// One thread writes numbered warnings while the main thread sets, replaces and unsets the log
// forwarder. Forwarded records are written to standard error as "forwarded <text>"; the library
// prints the others there itself. The last line is "written <count>". Standard output stays empty.

#include "client_api/log_forwarding.h"
#include "common/logger.h"

#include <atomic>
#include <chrono>
#include <iostream>
#include <string>
#include <thread>

namespace {

constexpr int MIN_RECORDS = 5000;
constexpr int MIN_SWITCHES = 120;

void forward(vexil::LogSeverity, const std::string& text) { std::cerr << "forwarded " << text << '\n'; }

}  // namespace

int main() {
    vexil::set_log_forwarder({});  // the library's default configuration, before any record
    std::atomic<bool> switching{true};
    int written = 0;
    std::thread writer([&] {
        while (written < MIN_RECORDS || switching.load()) {
            ZEV_LOG(common::logging::warning) << "record " << written;
            ++written;
        }
    });
    for (int i = 0; i < MIN_SWITCHES; ++i) {
        vexil::set_log_forwarder(forward);
        vexil::set_log_forwarder([](vexil::LogSeverity severity, const std::string& text) { forward(severity, text); });
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        vexil::set_log_forwarder({});
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    switching.store(false);
    writer.join();
    std::cerr << "written " << written << '\n';
    return 0;
}
