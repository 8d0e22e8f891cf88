// Throughput of the public client (libvexil_client) against the reference server program in its
// fast mode, next to the protocol's own limit: the very request and reply frames of a client run,
// recorded once, exchanged again by a bare cppzmq REQ socket, which waits for each reply as the
// client does, and a ROUTER (in a process of its own, as a server is) with prebuilt frames;
// pass_reads lists hold at most one queue of reads.
// For reads of several lengths, passed singly and with pass_reads, it prints reads/s and samples/s of
// both (medians of repetitions), their ratio (the median of the ratios of a client run and a replay
// run, each cut into segments taken alternately) and the round trips per read; then
// the client's peak memory for 1,000 reads of 1 M samples with the default queue, measured in a
// child process of its own, and the client's samples/s against the server with its model on; then
// what a client costs while its reads wait on the server (pulls/s, CPU) and, against the model
// server that answers pulls at once, the time from passing a read to having it back.
// With --no-held-pulls the fast server answers a pull whose read is not called yet at once.

#include "bench/client_run.h"
#include "bench/frame_replay.h"
#include "ipc_tools/awake_poll.h"

#include <boost/log/core.hpp>

#include <cstdio>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace bench;

// A run of the client and its replay are cut into this many segments, run alternately.
constexpr std::size_t SEGMENTS = 8;
// The caller waits for room for up to a millisecond, and looks for the last called reads every 100 us.
constexpr Pacing PACING{1, std::chrono::microseconds(100)};

struct Scenario {
    std::size_t samples;
    bool batched;
    std::size_t reads;
};

struct Figures {
    std::vector<double> client_seconds;
    std::vector<double> server_busy;  // server CPU time over the run's time
    std::vector<double> limit_seconds;
    std::vector<double> pair_ratios;  // the client's rate over the limit's, within one repetition
    double round_trips_per_read = 0.0;
    double pulls_per_read = 0.0;
    std::vector<ClientFrames> recorded;  // one client's
    std::string recording_path;
    std::size_t recorded_reads = 0;
};

struct Options {
    std::size_t repetitions = 7;
    double scale = 1.0;
    std::string calling_threads;  // the server's default unless given
    std::size_t memory_reads = 1000;
    std::vector<std::size_t> sizes{4000, 20000, 100000, 1000000};
    bool with_memory_and_model = true;
    std::string cpus;           // "first-last": this process and the servers it starts run there only
    bool held_pulls = true;     // of the fast server
    bool only_waiting = false;  // only the figures of reads that wait on the server
    std::string memory_probe;   // child mode: the server address
    std::string replay_router;  // child mode: the replay's address and its recording
    std::string replay_file;
};

/// Records the frames of a short client run through the proxy: the first reads fill the queue and
/// the handshake is behind them, so only the read traffic of the later ones is kept, which is what
/// a long run repeats.
void record(Figures& figures, const Scenario& scenario, const ReadFactory& factory, const std::string& server,
            const std::string& proxy_address, const std::string& recording_path) {
    const std::size_t list_size = reads_per_list(scenario.samples);
    const std::size_t warm = scenario.batched ? 2 * list_size : 4;
    const std::size_t kept = scenario.batched ? 4 * list_size : 8;
    RecordingProxy proxy(proxy_address, server, 1);
    ClientRun client(proxy_address, "client_throughput", PACING);
    auto first = factory.make_many(warm);
    client.run(first, scenario.batched);
    proxy.take();
    auto second = factory.make_many(kept);
    client.run(second, scenario.batched);
    Recording recording = proxy.take();
    if (recording.clients.empty()) {
        throw std::runtime_error("Nothing was recorded of the client's run");
    }
    figures.recorded = std::move(recording.clients);
    figures.recorded_reads = kept;
    figures.round_trips_per_read = static_cast<double>(recording.exchanges) / static_cast<double>(kept);
    figures.pulls_per_read =
            static_cast<double>(count_requests(figures.recorded, ipc_tools::GET_FIRST_CALLED_BLOCK)) / kept;
    figures.recording_path = recording_path;
    write_recording(figures.recorded, recording_path);
}

void print_table(const std::vector<Scenario>& scenarios, const std::map<std::size_t, Figures>& figures) {
    std::cout << "\n"
              << std::left << std::setw(9) << "samples" << std::setw(11) << "passing" << std::right << std::setw(7)
              << "reads" << std::setw(12) << "client r/s" << std::setw(14) << "client Ms/s" << std::setw(12)
              << "limit r/s" << std::setw(13) << "limit Ms/s" << std::setw(9) << "ratio" << std::setw(13)
              << "trips/read" << std::setw(12) << "pulls/read" << std::setw(13) << "server busy"
              << "\n";
    for (std::size_t i = 0; i < scenarios.size(); ++i) {
        const auto& scenario = scenarios[i];
        const auto& figure = figures.at(i);
        const double client_rate = scenario.reads / median(figure.client_seconds);
        const double limit_rate = scenario.reads / median(figure.limit_seconds);
        std::cout << std::left << std::setw(9) << scenario.samples << std::setw(11)
                  << (scenario.batched ? "pass_reads" : "pass_read") << std::right << std::setw(7) << scenario.reads
                  << std::fixed << std::setprecision(0) << std::setw(12) << client_rate << std::setprecision(1)
                  << std::setw(14) << client_rate * scenario.samples / 1e6 << std::setprecision(0) << std::setw(12)
                  << limit_rate << std::setprecision(1) << std::setw(13) << limit_rate * scenario.samples / 1e6
                  << std::setprecision(1) << std::setw(8) << 100.0 * median(figure.pair_ratios) << "%"
                  << std::setprecision(2) << std::setw(13) << figure.round_trips_per_read << std::setw(12)
                  << figure.pulls_per_read << std::setprecision(0) << std::setw(12)
                  << 100.0 * median(figure.server_busy) << "%\n";
    }
    std::cout << std::defaultfloat;
}

long peak_rss_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

/// Child mode: passes reads of 1 M samples one at a time, made just before they are passed and
/// dropped as soon as they come back, and prints the peak resident memory.
int memory_probe(const std::string& address, std::size_t reads) {
    const ReadFactory factory(1000000, false);
    const long baseline = peak_rss_kb();
    ClientRun client(address, "client_throughput", PACING);
    const auto deadline = Clock::now() + 10 * RUN_LIMIT;
    for (std::size_t tag = 1; tag <= reads; ++tag) {
        vexil::Read read = factory.make(tag);
        client.pass(read, deadline);
    }
    client.wait_for_all(deadline);
    std::cout << "baseline_kb=" << baseline << " peak_kb=" << peak_rss_kb() << std::endl;
    return 0;
}

/// Runs this program again as a memory probe against the server, so that the figure is the
/// client's alone, and returns its output line. It goes through the shell, which forks it: a
/// program spawned from this process directly would keep this process's peak resident size, which
/// survives exec, and report that as its own.
std::string probe_memory(const std::string& address, std::size_t reads) {
    const std::string command =
            "'" + self_program() + "' --memory-probe '" + address + "' --memory-reads " + std::to_string(reads);
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        throw std::runtime_error("Cannot start the memory probe");
    }
    std::string output;
    std::array<char, 256> buffer{};
    while (fgets(buffer.data(), static_cast<int>(buffer.size()), pipe.get()) != nullptr) {
        output += buffer.data();
    }
    return output;
}

std::size_t scaled_reads(const Options& options, std::size_t reads) {
    return std::max<std::size_t>(4, static_cast<std::size_t>(reads * options.scale));
}

std::vector<Scenario> make_scenarios(const Options& options) {
    std::vector<Scenario> scenarios;
    for (const std::size_t samples : options.sizes) {
        // About 80 M samples a run, and never fewer than 160 reads: a run of long reads must last
        // long enough that a pause of the machine does not decide its figure.
        const std::size_t reads = scaled_reads(options, std::max<std::size_t>(160, 80000000 / samples));
        scenarios.push_back({samples, false, reads});
        scenarios.push_back({samples, true, reads});
    }
    return scenarios;
}

/// One timed repetition of a scenario: its client run and the replay of its recording, cut into
/// segments run alternately, each pair in a random order; the ratio is that of their summed times.
void time_repetition(const Scenario& scenario, Figures& figure, const ReadFactory& factory, const ServerProcess& server,
                     const std::string& server_address, const std::string& replay_address, std::mt19937& random) {
    auto reads = factory.make_many(scenario.reads);
    const std::size_t recorded = figure.recorded.front().size();
    const std::size_t exchanges = recorded * scenario.reads / figure.recorded_reads;
    // A queue's worth of reads, and their share of the recording, go first untimed: both
    // connections are set up and the client's frame buffers allocated before the clock runs.
    auto warm_reads = factory.make_many(reads_to_fill_queue(scenario.samples, scenario.batched));
    const std::size_t warm_exchanges = std::max<std::size_t>(1, recorded * warm_reads.size() / figure.recorded_reads);
    Replay limit(figure.recorded, figure.recording_path, 1, replay_address);
    ClientRun client(server_address, "client_throughput", PACING);
    client.run(warm_reads, scenario.batched);
    limit.run(warm_exchanges);
    const double server_cpu = server.cpu_seconds();
    double client_seconds = 0.0;
    double limit_seconds = 0.0;
    for (std::size_t segment = 0; segment < SEGMENTS; ++segment) {
        const auto share = [&](std::size_t total, std::size_t part) { return total * part / SEGMENTS; };
        const auto run_client = [&] {
            const auto at = [&](std::size_t part) {
                return std::make_move_iterator(reads.begin() + static_cast<std::ptrdiff_t>(share(reads.size(), part)));
            };
            ReadList part(at(segment), at(segment + 1));
            client_seconds += client.run(part, scenario.batched);
        };
        const auto run_limit = [&] {
            limit_seconds += limit.run(share(exchanges, segment + 1) - share(exchanges, segment)).seconds;
        };
        if ((random() & 1U) != 0) {
            run_client();
            run_limit();
        } else {
            run_limit();
            run_client();
        }
    }
    // The server works only while the client's segments run.
    figure.server_busy.push_back((server.cpu_seconds() - server_cpu) / client_seconds);
    figure.client_seconds.push_back(client_seconds);
    figure.limit_seconds.push_back(limit_seconds);
    figure.pair_ratios.push_back(limit_seconds / client_seconds);
}

void print_explanation(const Options& options) {
    std::cout << "Medians of " << options.repetitions
              << " repetitions; limit: the recorded frames of the same run over bare REQ/ROUTER with prebuilt replies,"
                 " the REQ socket awaiting each reply as the client does (awake for up to "
              << ipc_tools::REPLY_AWAKE_WINDOW.count()
              << " us if its last reply came as soon, then asleep), the ROUTER"
                 " in a process of its own and, as the server, awake for a while after each reply;"
                 " ratio: median of the ratios of client and limit, each run in "
              << SEGMENTS
              << " segments taken alternately after an untimed queue's worth, a client segment timed"
                 " from its first queued read; trips/read: requests per read in the recording, pulls/read"
                 " those that ask for a called read; server busy: its CPU time over the client's run, awake waits"
                 " included; the fast server "
              << (options.held_pulls ? "holds a pull until its read is called"
                                     : "answers a pull whose read is not called yet at once");
}

/// Records every scenario, then times them all in each repetition, in a shuffled order: on a
/// shared machine the speed drifts from second to second.
std::map<std::size_t, Figures> measure_scenarios(const Options& options, const std::vector<Scenario>& scenarios,
                                                 const std::string& folder, const ServerProcess& server,
                                                 const std::string& server_address) {
    std::map<std::size_t, Figures> figures;
    std::map<std::size_t, std::unique_ptr<ReadFactory>> factories;
    for (std::size_t i = 0; i < scenarios.size(); ++i) {
        auto& factory = factories[scenarios[i].samples];
        if (!factory) {
            factory = std::make_unique<ReadFactory>(scenarios[i].samples, false);
        }
        record(figures[i], scenarios[i], *factory, server_address,
               "ipc://" + folder + "/proxy" + std::to_string(i) + ".sock", folder + "/recording" + std::to_string(i));
    }
    std::mt19937 random(20261209);
    std::size_t replay_number = 0;
    std::vector<std::size_t> order(scenarios.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    for (std::size_t repetition = 0; repetition < options.repetitions; ++repetition) {
        std::shuffle(order.begin(), order.end(), random);
        for (const std::size_t index : order) {
            const Scenario& scenario = scenarios[index];
            time_repetition(scenario, figures[index], *factories[scenario.samples], server, server_address,
                            "ipc://" + folder + "/replay" + std::to_string(replay_number++) + ".sock", random);
        }
    }
    return figures;
}

void report_memory(const Options& options, const std::string& server_address) {
    const std::string probe = probe_memory(server_address, options.memory_reads);
    long baseline_kb = 0;
    long peak_kb = 0;
    if (std::sscanf(probe.c_str(), "baseline_kb=%ld peak_kb=%ld", &baseline_kb, &peak_kb) != 2) {
        throw std::runtime_error("The memory probe failed: " + probe);
    }
    std::cout << "\nClient peak memory, " << options.memory_reads
              << " reads of 1 M samples passed singly with the default queue (" << MAX_READS_QUEUED
              << " groups), in a process of its own: " << peak_kb / 1024 << " MB resident at most, "
              << (peak_kb - baseline_kb) / 1024 << " MB above the " << baseline_kb / 1024 << " MB before connecting"
              << std::endl;
}

/// A client whose two reads wait on a server that answers its first pulls NONE_PENDING, with the
/// fast server's kind of pull.
void report_waiting(const Options& options, const std::string& folder) {
    constexpr std::size_t NONE_PENDING = 1000;
    const WaitingFigures waiting =
            measure_waiting(VEXIL_REFERENCE_SERVER_PROGRAM, folder, 1, options.held_pulls, NONE_PENDING);
    std::cout << "\nReads waiting on the server: 2 reads of 40000 samples, the model on one calling thread, the first "
              << NONE_PENDING << " pulls answered NONE_PENDING, other pulls "
              << (options.held_pulls ? "held" : "answered at once") << ": " << waiting.pulls << " pulls in "
              << std::fixed << std::setprecision(2) << waiting.seconds << " s, " << std::setprecision(0)
              << waiting.pulls_per_second() << " pulls/s, client CPU " << std::setprecision(1)
              << 100.0 * waiting.core_share() << "% of a core" << std::defaultfloat << std::endl;
}

/// One read of 20,000 samples at a time against the model server that answers pulls at once: the
/// time from passing a read to having it back.
void report_return_time(const Options& options, const std::string& folder) {
    std::vector<std::string> model_options{NO_HELD_PULLS};
    if (!options.calling_threads.empty()) {
        model_options.insert(model_options.end(), {"--calling-threads", options.calling_threads});
    }
    const ReadFactory simulated(20000, true);
    const std::size_t reads = scaled_reads(options, 300);
    const auto times = measure_return_times(VEXIL_REFERENCE_SERVER_PROGRAM, folder, model_options, 1, reads, simulated);
    std::cout << "Model on, pulls answered at once, " << reads
              << " reads of 20000 samples passed one at a time: from pass to return " << std::fixed
              << std::setprecision(2) << percentile(times.milliseconds, 0.5) << " ms median, "
              << percentile(times.milliseconds, 0.9) << " ms 90th percentile, " << times.pulls_per_read
              << " pulls a read" << std::defaultfloat << std::endl;
}

/// With the model on: pulls held until called (the default), and answered NONE_PENDING at once,
/// which lets the client push further batches while earlier ones are being called.
void report_model(const Options& options, const std::string& folder) {
    const ReadFactory simulated(20000, true);
    const std::size_t model_reads = scaled_reads(options, 2000);
    for (const bool held : {true, false}) {
        std::vector<std::string> model_options;
        if (!options.calling_threads.empty()) {
            model_options = {"--calling-threads", options.calling_threads};
        }
        if (!held) {
            model_options.push_back("--no-held-pulls");
        }
        const std::string model_address = "ipc://" + folder + (held ? "/model_held.sock" : "/model.sock");
        const ServerProcess model_server(VEXIL_REFERENCE_SERVER_PROGRAM, model_address, model_options);
        std::vector<double> seconds;
        for (std::size_t repetition = 0; repetition < options.repetitions; ++repetition) {
            auto reads = simulated.make_many(model_reads);
            ClientRun client(model_address, "client_throughput", PACING);
            const auto start = Clock::now();
            client.run(reads, true);
            seconds.push_back(seconds_since(start));
        }
        std::cout << "Model on, " << model_reads << " reads of 20000 samples through pass_reads, pulls "
                  << (held ? "held until called" : "answered at once") << ": " << std::fixed << std::setprecision(1)
                  << model_reads * 20000.0 / median(seconds) / 1e6 << " M samples/s (median of " << options.repetitions
                  << ")" << std::defaultfloat << std::endl;
    }
}

void run_benchmark(const Options& options) {
    const std::string folder = folder_for_sockets();
    const auto cleanup = std::unique_ptr<const std::string, void (*)(const std::string*)>(
            &folder, [](const std::string* path) { std::filesystem::remove_all(*path); });
    std::cout << "client_throughput: load average " << load_average() << " at start, "
              << std::thread::hardware_concurrency() << " cores"
              << (options.cpus.empty() ? std::string() : ", pinned to CPUs " + options.cpus)
              << "; public client with default settings, server a separate process, ipc transport" << std::endl;

    if (options.only_waiting) {
        report_waiting(options, folder);
        report_return_time(options, folder);
        return;
    }
    const std::vector<Scenario> scenarios = make_scenarios(options);
    const std::string server_address = "ipc://" + folder + "/server.sock";
    std::vector<std::string> server_options{"--no-model"};
    if (!options.held_pulls) {
        server_options.push_back(NO_HELD_PULLS);
    }
    const ServerProcess server(VEXIL_REFERENCE_SERVER_PROGRAM, server_address, server_options);
    const auto figures = measure_scenarios(options, scenarios, folder, server, server_address);
    print_explanation(options);
    print_table(scenarios, figures);
    if (options.with_memory_and_model) {
        report_memory(options, server_address);
        report_model(options, folder);
        report_waiting(options, folder);
        report_return_time(options, folder);
    }
    std::cout << "client_throughput: load average " << load_average() << " at end" << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && argv[1] == CHILD_MODE) {
        return run_as_child(argc, argv);
    }
    const char* const usage =
            "usage: client_throughput [--repetitions N] [--scale X] [--calling-threads N (model server)] "
            "[--memory-reads N] [--sizes N,N,...] [--cpus FIRST-LAST] [--no-held-pulls] [--waiting-only]\n";
    Options options;
    OptionReader arguments(argc, argv);
    const auto value = [&arguments] { return arguments.value(); };
    try {
        for (std::string option; arguments.next(option);) {
            if (option == "--help" || option == "-h") {
                std::cout << usage;
                return 0;
            } else if (option == "--repetitions") {
                options.repetitions = std::stoul(value());
            } else if (option == "--scale") {
                options.scale = std::stod(value());
            } else if (option == "--calling-threads") {
                options.calling_threads = value();
            } else if (option == "--cpus") {
                options.cpus = value();
            } else if (option == NO_HELD_PULLS) {
                options.held_pulls = false;
            } else if (option == "--waiting-only") {
                // Only the figures of reads that wait on the server, for comparing two builds quickly.
                options.only_waiting = true;
            } else if (option == "--memory-reads") {
                options.memory_reads = std::stoul(value());
            } else if (option == "--sizes") {
                // Only these read lengths, and neither the memory nor the model figure (for profiling).
                options.sizes.clear();
                std::istringstream list(value());
                for (std::string item; std::getline(list, item, ',');) {
                    options.sizes.push_back(std::stoul(item));
                }
                options.with_memory_and_model = false;
            } else if (option == "--memory-probe") {
                options.memory_probe = value();
            } else if (option == ROUTER_MODE) {
                options.replay_router = value();
                options.replay_file = value();
            } else {
                std::cerr << "client_throughput: unknown option " << option << '\n' << usage;
                return 2;
            }
        }
    } catch (const std::exception& error) {
        // A missing value or one std::stoul/stod cannot read.
        std::cerr << "client_throughput: bad option value (" << error.what() << ")\n" << usage;
        return 2;
    }
    // The engine's connection messages would drown the table.
    boost::log::core::get()->set_logging_enabled(false);
    try {
        if (!options.cpus.empty()) {
            // Before any thread starts, so that every thread and child inherits it.
            pin_to_cpus(options.cpus);
        }
        if (!options.memory_probe.empty()) {
            return memory_probe(options.memory_probe, options.memory_reads);
        }
        if (!options.replay_router.empty()) {
            return serve_recording(options.replay_router, options.replay_file);
        }
        run_benchmark(options);
    } catch (const std::exception& error) {
        std::cerr << "client_throughput: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
