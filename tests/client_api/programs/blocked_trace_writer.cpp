// Traces heavily (a line for every set_priority) while the trace output is a stream nobody reads,
// then returns from main. Argument: a report file, which gets "rss_kib <after warm-up> <at end>" and
// "returning_ns <steady clock when main returns>". The trace domains come from
// ZEV_BASECALL_TRACE_CONFIG.

#include "client_api/vexil_client.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>

#if defined(__SANITIZE_ADDRESS__)
// Freed memory held for use-after-free checks would hide whether the program's own memory is flat.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=4"; }
#endif

namespace {

long resident_kib() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: blocked_trace_writer REPORT_FILE\n";
        return 2;
    }
    constexpr int warm_up_lines = 150000;
    constexpr int lines = 500000;
    vexil::VexilClient client("ipc:///nonexistent/blocked-trace-writer", "dna_sim_fast", "", false);
    long warm_rss = 0;
    for (int line = 0; line < lines; ++line) {
        if (line == warm_up_lines) {
            warm_rss = resident_kib();
        }
        client.set_priority(vexil::Read::MEDIUM_PRIORITY);
    }
    std::ofstream report(argv[1]);
    report << "rss_kib " << warm_rss << ' ' << resident_kib() << '\n';
    report << "returning_ns " << std::chrono::steady_clock::now().time_since_epoch().count() << std::endl;
    return 0;
}
