// The reference server's request log as the server uses it with an observer: each request appends
// one entry and hands the entries from the observer's last position on. Runs with the log already
// holding 1,000 to 1,000,000 entries (the default capacity, where the oldest go); the time per
// request should not grow with the log.

#include "reference_server/request_log.h"

#include <benchmark/benchmark.h>

#include <cstdint>

namespace {

reference_server::LoggedRequest ping() {
    reference_server::LoggedRequest entry;
    entry.type = ipc_tools::HEARTBEAT_PING;
    entry.client_id = "client_1";
    return entry;
}

void request_with_observer(benchmark::State& state) {
    reference_server::RequestLog log;
    const auto held = static_cast<std::uint64_t>(state.range(0));
    for (std::uint64_t index = 0; index < held; ++index) {
        log.append(ping());
    }
    std::uint64_t observed = held;
    for (auto _ : state) {
        log.append(ping());
        for (const auto& entry : log.entries_from(observed)) {
            observed = entry.sequence + 1;
        }
        benchmark::DoNotOptimize(observed);
    }
    if (observed != held + state.iterations()) {
        state.SkipWithError("the observer missed entries");
    }
    state.counters["entries"] = static_cast<double>(log.size());
}

}  // namespace

// A fixed count of requests, so that every run ends with about the number of entries it names.
BENCHMARK(request_with_observer)
        ->Arg(1000)
        ->Arg(10000)
        ->Arg(100000)
        ->Arg(1000000)
        ->Iterations(2000)
        ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
