// A plugin that uses the library: each call makes a client and hands it one bad read, which the
// library logs as one warning (or forwards, when asked to, and leaves the forwarder set).
#include "client_api/log_forwarding.h"
#include "client_api/vexil_client.h"

#include <atomic>
#include <utility>

namespace {
std::atomic<int> forwarded{0};
}

extern "C" __attribute__((visibility("default"))) int vexil_plugin_run(int forward) {
    if (forward != 0) {
        vexil::set_log_forwarder([](vexil::LogSeverity, const std::string&) { ++forwarded; });
    }
    vexil::VexilClient client("ipc:///nonexistent/vexil.sock", "dna_sim_fast", "", true);
    vexil::Read read;
    const vexil::Read taken(std::move(read));
    client.pass_read(read, 0);  // a read moved from: refused with a warning
    return forwarded.load();
}
