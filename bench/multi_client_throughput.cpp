// Throughput and CPU cost per read of many clients in one process against the reference server
// program in its fast mode, next to the protocol's own limit for as many clients. For 1 to 100
// clients and reads of 20,000 samples passed singly and in lists, it prints aggregate reads/s, this
// process's CPU per read (user and system) and the server's; then the same figures for as many bare
// REQ sockets, each on a thread of its own in one process, replaying the recorded frames of such a run
// against a ROUTER in a process of its own that answers with the recorded replies; and their ratios.
// Given a tessellpy worker script, it also runs one tessellpy client object with as many library
// clients on the same reads and server, in a Python process of its own. Then, for each number of
// clients, what they cost while their reads wait on a server that answers pulls NONE_PENDING, and
// the time from passing a read to having it back when each passes one read at a time. With
// --no-held-pulls the server answers a pull whose read is not called yet at once.
//
// The figures of a cell are medians of repetitions; each repetition runs the cells in a shuffled
// order and, within a cell, the C++ clients, the replay and tessellpy in a shuffled order, so that
// the drift of a shared machine falls on all of them alike. Ratios are medians of the ratios
// within a repetition.

#include "bench/client_run.h"
#include "bench/frame_replay.h"
#include "ipc_tools/awake_poll.h"

#include <boost/log/core.hpp>

#include <cmath>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace bench;

constexpr std::size_t SAMPLES = 20000;
constexpr std::size_t MAX_CLIENTS = 100;
// A caller sleeps in pass_read or pass_reads until its client has room, for up to 20 ms, and once
// it has passed all its reads it looks for the rest every millisecond: with 100 clients, shorter
// waits would wake 100 threads that much more often for nothing, on the clients' CPU.
constexpr Pacing PACING{20, std::chrono::microseconds(1000)};
// A recording keeps the frames of this many clients; the replay's further sockets repeat them. It
// holds a copy of every read pushed, so keeping all of 100 clients' would take gigabytes.
constexpr std::size_t RECORDED_CLIENTS = 8;
// Reads a recording covers, over all clients (at least one warm-up's worth per client).
constexpr std::size_t RECORDED_READS = 1600;
const char* const PYTHON = "/usr/bin/python3";

struct Options {
    std::vector<std::size_t> clients{1, 8, 32, 100};
    std::size_t reads = 20000;
    std::size_t repetitions = 3;
    std::string cpus;
    bool singly = true;            // cells that pass reads with pass_read
    bool lists = true;             // and with pass_reads
    bool held_pulls = true;        // the server holds a pull until its read is called
    bool only_waiting = false;     // only the figures of reads that wait on the server
    std::string tessellpy_script;  // the worker script; tessellpy runs only when given
    std::string python_module;     // the folder the worker imports tessellpy from
    // Child mode: the replay of a recording by `sockets` REQ sockets.
    std::string replay_recording;
    std::string replay_address;
    std::size_t sockets = 1;
    std::size_t exchanges = 0;
    std::size_t warm_exchanges = 0;
    std::string replay_router;  // child mode: the replay's ROUTER
};

struct Cell {
    std::size_t clients;
    bool lists;
    std::size_t run_reads;  // over all clients, in a timed run
    std::size_t list_size() const { return lists ? reads_per_list(SAMPLES) : 0; }
    /// Reads each client passes, and gets back, before the clock runs: its connection is then set
    /// up and its buffers allocated, as many as its queue holds at the deepest a run takes it (one
    /// list's worth would leave most of them to be made, and their pages faulted in, on the clock;
    /// more than a client's share of the run would only take memory).
    std::size_t warm_reads() const {
        const std::size_t least = lists ? reads_per_list(SAMPLES) : MAX_READS_QUEUED;
        return std::max(least, std::min(reads_to_fill_queue(SAMPLES, lists), run_reads / clients));
    }
    const char* passing() const { return lists ? "pass_reads" : "pass_read"; }
};

/// One timed run: its rate and the CPU of the client side and of the serving side per read.
struct Sample {
    double rate = 0.0;
    double user_us = 0.0;
    double system_us = 0.0;
    double peer_us = 0.0;      // the server's, or the replay ROUTER's
    double driver_busy = 0.0;  // tessellpy's: the share of the run its one Python thread was on a CPU
    double faults = 0.0;       // page faults of the client side per read
    double switches = 0.0;     // context switches of the client side per read
    double cpu_us() const { return user_us + system_us; }
};

Sample sample_of(std::size_t reads, double seconds, const CpuTimes& cpu, double peer_seconds) {
    if (seconds <= 0.0 || reads == 0) {
        throw std::runtime_error("A run took no time");
    }
    const double per_read = 1e6 / static_cast<double>(reads);
    Sample sample{static_cast<double>(reads) / seconds, cpu.user * per_read, cpu.system * per_read,
                  peer_seconds * per_read};
    sample.faults = cpu.faults / static_cast<double>(reads);
    sample.switches = cpu.switches / static_cast<double>(reads);
    return sample;
}

/// Connects the cell's clients to `address`, each driven by a thread of its own, and has each pass
/// its warm-up reads and get them back; then all start together and each passes its share of
/// `reads`. `at_start` runs just before they start, `at_end` as soon as the last read is back, before
/// any client disconnects. Every read must come back called, or this throws.
double drive_clients(const std::string& address, const Cell& cell, std::size_t reads, const ReadFactory& factory,
                     const std::function<void()>& at_start, const std::function<void()>& at_end) {
    std::mutex mutex;
    // Apart, so that each client that ends wakes the main thread only, not every other client's.
    std::condition_variable to_main;
    std::condition_variable to_threads;
    std::size_t ready = 0;
    std::size_t done = 0;
    bool go = false;
    bool release = false;
    std::string failure;
    const auto fail = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        if (failure.empty()) {
            failure = text;
        }
    };
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < cell.clients; ++i) {
        const std::size_t share = reads / cell.clients + (i < reads % cell.clients ? 1 : 0);
        threads.emplace_back([&, share] {
            std::unique_ptr<ClientRun> client;
            try {
                client = std::make_unique<ClientRun>(address, "multi_client_throughput", PACING);
                client->run(made_reads(factory, 1, cell.warm_reads()), cell.list_size());
            } catch (const std::exception& error) {
                fail(error.what());
            }
            bool started = false;
            {
                std::unique_lock<std::mutex> lock(mutex);
                ++ready;
                to_main.notify_one();
                to_threads.wait(lock, [&] { return go; });
                started = failure.empty();
            }
            if (started) {
                try {
                    client->run(made_reads(factory, 1 + cell.warm_reads(), share), cell.list_size());
                } catch (const std::exception& error) {
                    fail(error.what());
                }
            }
            std::unique_lock<std::mutex> lock(mutex);
            ++done;
            to_main.notify_one();
            // Connected until the run is measured: a disconnection is no part of passing reads.
            to_threads.wait(lock, [&] { return release; });
            lock.unlock();
            client.reset();
        });
    }
    Clock::time_point start;
    double seconds = 0.0;
    {
        std::unique_lock<std::mutex> lock(mutex);
        to_main.wait(lock, [&] { return ready == cell.clients; });
        if (failure.empty()) {
            at_start();
        }
        start = Clock::now();
        go = true;
        to_threads.notify_all();
        to_main.wait(lock, [&] { return done == cell.clients; });
        seconds = seconds_since(start);
        if (failure.empty()) {
            at_end();
        }
        release = true;
        to_threads.notify_all();
    }
    for (auto& thread : threads) {
        thread.join();
    }
    if (!failure.empty()) {
        throw std::runtime_error(std::to_string(cell.clients) + " clients, " + cell.passing() + ": " + failure);
    }
    return seconds;
}

/// Where the recording of a cell is, and how many exchanges a read takes.
struct CellRecording {
    std::string path;
    double exchanges_per_read = 0.0;
    double pulls_per_read = 0.0;  // of the clients whose frames were kept
};

/// Records a short run of the cell's clients through a proxy. Only the traffic after their warm-up
/// reads is kept, with the handshakes and the first buffers behind it, which is what a long run
/// repeats.
CellRecording record(const Cell& cell, const ReadFactory& factory, const std::string& server, const std::string& proxy,
                     const std::string& path) {
    const std::size_t unit = cell.warm_reads();
    const std::size_t per_client = std::max<std::size_t>(1, (RECORDED_READS / cell.clients + unit - 1) / unit) * unit;
    RecordingProxy recorder(proxy, server, RECORDED_CLIENTS);
    drive_clients(
            proxy, cell, per_client * cell.clients, factory, [&] { recorder.take(); }, [] {});
    Recording recording = recorder.take();
    if (recording.clients.empty() || recording.exchanges == 0) {
        throw std::runtime_error("Nothing was recorded of " + std::to_string(cell.clients) + " clients");
    }
    const double kept_reads = static_cast<double>(per_client * recording.clients.size());
    const double pulls_per_read =
            static_cast<double>(count_requests(recording.clients, ipc_tools::GET_FIRST_CALLED_BLOCK)) / kept_reads;
    // Only the replay's processes hold it from now on.
    write_recording(recording.clients, path);
    return {path, static_cast<double>(recording.exchanges) / static_cast<double>(per_client * cell.clients),
            pulls_per_read};
}

Sample run_cpp(const Cell& cell, std::size_t reads, const ReadFactory& factory, const std::string& address,
               const ServerProcess& server) {
    CpuTimes cpu;
    double server_cpu = 0.0;
    const double seconds = drive_clients(
            address, cell, reads, factory,
            [&] {
                cpu = own_cpu_times();
                server_cpu = server.cpu_seconds();
            },
            [&] {
                cpu = own_cpu_times() - cpu;
                server_cpu = server.cpu_seconds() - server_cpu;
            });
    return sample_of(reads, seconds, cpu, server_cpu);
}

/// Reads the "result name=value ..." line of a child run and waits for the child; a child that
/// fails, or prints no such line, ends the benchmark with what it was.
std::map<std::string, double> child_result(ChildProcess& child, const std::string& what) {
    const std::string line = child.read_line_starting_with("result ");
    const int status = child.wait();
    if (line.empty() || status != 0) {
        throw std::runtime_error(what + " failed (exit status " + std::to_string(status) + ")");
    }
    std::map<std::string, double> values;
    std::istringstream fields(line.substr(7));
    for (std::string field; fields >> field;) {
        const auto equals = field.find('=');
        if (equals == std::string::npos) {
            throw std::runtime_error(what + " printed a result that is not name=value: " + line);
        }
        values[field.substr(0, equals)] = std::stod(field.substr(equals + 1));
    }
    return values;
}

double value_of(const std::map<std::string, double>& values, const std::string& name, const std::string& what) {
    const auto found = values.find(name);
    if (found == values.end()) {
        throw std::runtime_error(what + " printed no " + name);
    }
    return found->second;
}

Sample run_replay(const Cell& cell, std::size_t reads, const CellRecording& recording, const std::string& address) {
    const auto exchanges = std::max<std::size_t>(
            1, static_cast<std::size_t>(std::llround(recording.exchanges_per_read * static_cast<double>(reads))));
    const auto warm = static_cast<std::size_t>(
            std::ceil(recording.exchanges_per_read * static_cast<double>(cell.warm_reads() * cell.clients)));
    // A process of its own, so that its CPU time is the sockets' alone.
    ChildProcess child({self_program(), "--replay-run", recording.path, "--address", address, "--sockets",
                        std::to_string(cell.clients), "--exchanges", std::to_string(exchanges), "--warm-exchanges",
                        std::to_string(std::max(warm, cell.clients))});
    const std::string what = "The replay of " + std::to_string(cell.clients) + " sockets";
    const auto values = child_result(child, what);
    return sample_of(reads, value_of(values, "seconds", what),
                     {value_of(values, "user", what), value_of(values, "system", what),
                      value_of(values, "faults", what), value_of(values, "switches", what)},
                     value_of(values, "router", what));
}

Sample run_tessellpy(const Cell& cell, std::size_t reads, const Options& options, const std::string& address,
                     const ServerProcess& server) {
    ChildProcess child({PYTHON, options.tessellpy_script, "--worker", "--module-dir", options.python_module,
                        "--address", address, "--clients", std::to_string(cell.clients), "--list-size",
                        std::to_string(cell.list_size()), "--warm", std::to_string(cell.warm_reads()), "--reads",
                        std::to_string(reads), "--samples", std::to_string(SAMPLES), "--server-pid",
                        std::to_string(server.pid())});
    const std::string what = "The tessellpy run of " + std::to_string(cell.clients) + " clients";
    const auto values = child_result(child, what);
    const double seconds = value_of(values, "seconds", what);
    Sample sample = sample_of(reads, seconds, {value_of(values, "user", what), value_of(values, "system", what)},
                              value_of(values, "server", what));
    sample.driver_busy = value_of(values, "thread", what) / seconds;
    return sample;
}

/// Child mode: replays a recording over `sockets` REQ sockets and prints its figures.
int replay_run(const Options& options) {
    const auto frames = read_recording(options.replay_recording);
    Replay replay(frames, options.replay_recording, options.sockets, options.replay_address);
    replay.run(options.warm_exchanges);
    const ReplayFigures figures = replay.run(options.exchanges);
    std::cout << "result seconds=" << figures.seconds << " user=" << figures.cpu.user
              << " system=" << figures.cpu.system << " router=" << figures.router_cpu
              << " faults=" << figures.cpu.faults << " switches=" << figures.cpu.switches << std::endl;
    return 0;
}

/// CPU microseconds of this thread to make one read, as the C++ clients' callers do in their runs.
double making_a_read_us(const ReadFactory& factory) {
    constexpr std::size_t COUNT = 5000;
    const auto thread_cpu = [] {
        timespec time{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
    };
    const double start = thread_cpu();
    for (std::size_t tag = 1; tag <= COUNT; ++tag) {
        vexil::Read read = factory.make(tag);
    }
    return (thread_cpu() - start) * 1e6 / COUNT;
}

struct CellFigures {
    std::vector<Sample> cpp, bare, python;
    double pulls_per_read = 0.0;
};

double median_of(const std::vector<Sample>& samples, double (*field)(const Sample&)) {
    std::vector<double> values;
    for (const auto& sample : samples) {
        values.push_back(field(sample));
    }
    return median(values);
}

/// The median over repetitions of a ratio taken within each repetition.
double median_ratio(const std::vector<Sample>& top, const std::vector<Sample>& bottom, double (*field)(const Sample&)) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < top.size() && i < bottom.size(); ++i) {
        ratios.push_back(field(top[i]) / field(bottom[i]));
    }
    return median(ratios);
}

double rate_of(const Sample& sample) { return sample.rate; }
double user_of(const Sample& sample) { return sample.user_us; }
double system_of(const Sample& sample) { return sample.system_us; }
double peer_of(const Sample& sample) { return sample.peer_us; }
double cpu_of(const Sample& sample) { return sample.cpu_us(); }
double busy_of(const Sample& sample) { return sample.driver_busy; }
double faults_of(const Sample& sample) { return sample.faults; }
double switches_of(const Sample& sample) { return sample.switches; }

void print_figures(std::ostream& out, const std::vector<Sample>& samples) {
    out << std::setw(9) << median_of(samples, rate_of) << std::setw(6) << median_of(samples, user_of) << std::setw(6)
        << median_of(samples, system_of) << std::setw(7) << median_of(samples, peer_of);
}

/// A ratio in percent, marked with '!' when it misses its target.
std::string percent(double ratio, bool met) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << 100.0 * ratio << "%" << (met ? " " : "!");
    return text.str();
}

void print_table(const std::vector<Cell>& cells, const std::vector<CellFigures>& figures, bool with_python) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(0) << std::right;
    out << "\n                      C++ clients, CPU us/read      bare REQ sockets, us/read    C++ / bare";
    if (with_python) {
        out << "     tessellpy, CPU us/read      tessellpy       thread";
    }
    out << "\nclients passing       reads/s  user   sys server   reads/s  user   sys ROUTER    CPU  reads/s";
    if (with_python) {
        out << "   reads/s  user   sys server  CPU/bare  of C++    busy";
    }
    out << "\n";
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const Cell& cell = cells[i];
        const CellFigures& figure = figures[i];
        const double cpu_ratio = median_ratio(figure.cpp, figure.bare, cpu_of);
        const double rate_ratio = median_ratio(figure.cpp, figure.bare, rate_of);
        out << std::setw(7) << cell.clients << " " << std::left << std::setw(11) << cell.passing() << std::right;
        print_figures(out, figure.cpp);
        out << " ";
        print_figures(out, figure.bare);
        out << std::setprecision(2) << std::setw(6) << cpu_ratio << (cpu_ratio <= 1.5 ? "x " : "x!") << std::setw(8)
            << percent(rate_ratio, rate_ratio >= 0.8) << std::setprecision(0);
        if (with_python) {
            const double python_ratio = median_ratio(figure.python, figure.cpp, rate_of);
            out << " ";
            print_figures(out, figure.python);
            out << std::setprecision(2) << std::setw(9) << median_ratio(figure.python, figure.bare, cpu_of) << "x"
                << std::setprecision(0) << std::setw(8) << percent(python_ratio, python_ratio >= 0.8) << std::setw(7)
                << 100.0 * median_of(figure.python, busy_of) << "%";
        }
        out << "\n";
    }
    std::cout << out.str();
}

/// Page faults and context switches per read of the two client sides: where system time goes.
void print_events(const std::vector<Cell>& cells, const std::vector<CellFigures>& figures) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(2) << std::right
        << "\n                      page faults/read   context switches/read   pulls/read"
           "\nclients passing           C++     bare        C++     bare          C++\n";
    for (std::size_t i = 0; i < cells.size(); ++i) {
        out << std::setw(7) << cells[i].clients << " " << std::left << std::setw(11) << cells[i].passing() << std::right
            << std::setw(12) << median_of(figures[i].cpp, faults_of) << std::setw(9)
            << median_of(figures[i].bare, faults_of) << std::setw(11) << median_of(figures[i].cpp, switches_of)
            << std::setw(9) << median_of(figures[i].bare, switches_of) << std::setw(13) << figures[i].pulls_per_read
            << "\n";
    }
    std::cout << out.str();
}

/// Whether aggregate reads/s never falls as clients are added, up to 32 clients.
void print_growth(const std::vector<Cell>& cells, const std::vector<CellFigures>& figures) {
    for (const bool lists : {false, true}) {
        std::map<std::size_t, double> rates;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (cells[i].lists == lists && cells[i].clients <= 32) {
                rates[cells[i].clients] = median_of(figures[i].cpp, rate_of);
            }
        }
        if (rates.size() < 2) {
            continue;
        }
        std::string verdict = "never falls";
        for (auto previous = rates.begin(), next = std::next(previous); next != rates.end(); previous = next++) {
            if (next->second < previous->second) {
                verdict = "falls from " + std::to_string(previous->first) + " to " + std::to_string(next->first) +
                          " clients";
                break;
            }
        }
        std::cout << "C++ reads/s with " << (lists ? "pass_reads" : "pass_read") << " from " << rates.begin()->first
                  << " to " << rates.rbegin()->first << " clients: " << verdict << "\n";
    }
}

std::vector<Cell> make_cells(const Options& options) {
    std::vector<Cell> cells;
    for (const std::size_t clients : options.clients) {
        if (options.singly) {
            cells.push_back({clients, false, options.reads});
        }
        if (options.lists) {
            cells.push_back({clients, true, options.reads});
        }
    }
    return cells;
}

/// Records every cell, then runs them all in each repetition, in a shuffled order and each cell's
/// kinds of run (C++ clients, bare sockets, tessellpy) in a shuffled order too: on a shared machine
/// the speed drifts from second to second.
std::vector<CellFigures> measure_cells(const Options& options, const std::vector<Cell>& cells,
                                       const ReadFactory& factory, const std::string& folder,
                                       const ServerProcess& server, const std::string& server_address) {
    const bool with_python = !options.tessellpy_script.empty();
    std::vector<CellRecording> recordings;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        recordings.push_back(record(cells[i], factory, server_address, "ipc://" + folder + "/proxy" + std::to_string(i),
                                    folder + "/recording" + std::to_string(i)));
    }
    std::vector<CellFigures> figures(cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) {
        figures[i].pulls_per_read = recordings[i].pulls_per_read;
    }
    std::mt19937 random(20261209);
    std::vector<std::size_t> order(cells.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::size_t replay_number = 0;
    for (std::size_t repetition = 0; repetition < options.repetitions; ++repetition) {
        std::shuffle(order.begin(), order.end(), random);
        for (const std::size_t index : order) {
            const Cell& cell = cells[index];
            std::vector<int> kinds{0, 1};
            if (with_python) {
                kinds.push_back(2);
            }
            std::shuffle(kinds.begin(), kinds.end(), random);
            for (const int kind : kinds) {
                if (kind == 0) {
                    figures[index].cpp.push_back(run_cpp(cell, options.reads, factory, server_address, server));
                } else if (kind == 1) {
                    figures[index].bare.push_back(
                            run_replay(cell, options.reads, recordings[index],
                                       "ipc://" + folder + "/replay" + std::to_string(replay_number++) + ".sock"));
                } else {
                    figures[index].python.push_back(
                            run_tessellpy(cell, options.reads, options, server_address, server));
                }
            }
        }
        std::cout << "repetition " << repetition + 1 << " of " << options.repetitions << " done, load average "
                  << load_average() << std::endl;
    }
    return figures;
}

void print_explanation(const Options& options, double making_us, bool with_python) {
    std::cout
            << "\nMedians of " << options.repetitions << " repetitions. C++ clients: one vexil::VexilClient per thread,"
            << " whose caller waits in pass_read or pass_reads for room for up to " << PACING.wait_ms
            << " ms and collects called reads after each pass;"
            << " their CPU is this whole process's, the callers' included (making a read, with a copy of its samples,"
            << " takes " << std::fixed << std::setprecision(1) << making_us << std::defaultfloat
            << " us of it); server: the reference server's CPU, awake waits included. Bare REQ sockets: as many"
            << " as clients, each on a thread and in a ZeroMQ context of its own, in a process of their own, replaying"
            << " frames recorded from such a run of the C++ clients (of its first " << RECORDED_CLIENTS
            << " clients; further sockets repeat them) against a ROUTER in a process of its own that answers with"
            << " the recorded replies; each socket awaits its reply as the client does (awake for up to "
            << ipc_tools::REPLY_AWAKE_WINDOW.count() << " us"
            << " unless another socket awaits one too or the last reply to that kind of request took longer,"
            << " then asleep),"
            << " and the ROUTER awaits the next request as the server does. C++ / bare: CPU per read of the client"
            << " process over the REQ process (target at most 1.5x) and reads/s (target at least 80%).";
    if (with_python) {
        std::cout
                << " tessellpy: one tessellpy.VexilClient with as many library clients, driven by one Python thread in"
                << " a process of its own, waiting likewise and collecting every millisecond; CPU/bare: its process's"
                << " CPU per read over the REQ process's; of C++: its reads/s over the C++ clients' (target at least"
                << " 80%); thread busy: the share of the run that Python thread spent on a CPU (near 100%, it sets"
                << " the pace).";
    }
    std::cout << " '!' marks a missed target.\n";
}

/// For each number of clients: each passes two reads that wait on a server answering its first
/// pulls NONE_PENDING (500 a client), and then, against the benchmark's server, reads one at a time.
void print_waiting(const Options& options, const std::string& folder, const std::vector<std::string>& server_options,
                   const ReadFactory& factory) {
    std::ostringstream out;
    out << "\nReads waiting on the server: each client passes 2 reads of 40000 samples to a server calling them on"
           " one thread that answers the first 500 pulls a client NONE_PENDING and "
        << (options.held_pulls ? "holds" : "answers at once") << " the others; client CPU: this process's over the"
        << " time. Pass to return: each client passes reads of " << SAMPLES
        << " samples one at a time to a server like the benchmark's and looks for each every 50 us.\n"
        << "clients   pulls  seconds  pulls/s  client CPU   pass to return: median      90th  pulls/read\n"
        << std::fixed << std::right;
    for (const std::size_t clients : options.clients) {
        const WaitingFigures waiting =
                measure_waiting(VEXIL_REFERENCE_SERVER_PROGRAM, folder, clients, options.held_pulls, 500 * clients);
        const auto times = measure_return_times(VEXIL_REFERENCE_SERVER_PROGRAM, folder, server_options, clients,
                                                std::max<std::size_t>(20, 2000 / clients), factory);
        out << std::setw(7) << clients << std::setw(8) << waiting.pulls << std::setprecision(2) << std::setw(9)
            << waiting.seconds << std::setprecision(0) << std::setw(9) << waiting.pulls_per_second()
            << std::setprecision(1) << std::setw(11) << 100.0 * waiting.core_share() << "%" << std::setprecision(3)
            << std::setw(21) << percentile(times.milliseconds, 0.5) << " ms" << std::setw(7)
            << percentile(times.milliseconds, 0.9) << " ms" << std::setprecision(2) << std::setw(12)
            << times.pulls_per_read << "\n";
    }
    std::cout << out.str();
}

void run_benchmark(const Options& options) {
    const bool with_python = !options.tessellpy_script.empty();
    const std::string folder = folder_for_sockets();
    const auto cleanup = std::unique_ptr<const std::string, void (*)(const std::string*)>(
            &folder, [](const std::string* path) { std::filesystem::remove_all(*path); });
    std::cout << "multi_client_throughput: load average " << load_average() << " at start, "
              << std::thread::hardware_concurrency() << " cores"
              << (options.cpus.empty() ? std::string() : ", pinned to CPUs " + options.cpus) << "; " << options.reads
              << " reads of " << SAMPLES << " samples a run, " << options.repetitions
              << " repetitions; clients with default settings, server a separate process, ipc transport" << std::endl;

    const ReadFactory factory(SAMPLES, false);
    const std::string server_address = "ipc://" + folder + "/server.sock";
    std::vector<std::string> server_options{"--no-model"};
    if (!options.held_pulls) {
        server_options.push_back(NO_HELD_PULLS);
    }
    if (!options.only_waiting) {
        const ServerProcess server(VEXIL_REFERENCE_SERVER_PROGRAM, server_address, server_options);
        const double making_us = making_a_read_us(factory);
        const std::vector<Cell> cells = make_cells(options);
        const std::vector<CellFigures> figures = measure_cells(options, cells, factory, folder, server, server_address);
        print_explanation(options, making_us, with_python);
        print_table(cells, figures, with_python);
        print_events(cells, figures);
        print_growth(cells, figures);
    }
    print_waiting(options, folder, server_options, factory);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::cout << "Peak resident memory of this process, which ran the C++ clients: " << usage.ru_maxrss / 1024
              << " MB\nmulti_client_throughput: load average " << load_average() << " at end" << std::endl;
}

/// The number `text` spells out in decimal digits, whole; none when it holds anything else.
std::optional<unsigned long> whole_number(const std::string& text) {
    if (text.empty() || text.front() == '-') {
        return std::nullopt;
    }
    std::size_t used = 0;
    try {
        const unsigned long value = std::stoul(text, &used);
        return used == text.size() ? std::optional<unsigned long>(value) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::vector<std::size_t> client_counts(const std::string& list) {
    std::vector<std::size_t> counts;
    std::istringstream items(list);
    for (std::string item; std::getline(items, item, ',');) {
        const auto count = whole_number(item);
        if (!count || *count < 1 || *count > MAX_CLIENTS) {
            throw std::invalid_argument("--clients takes numbers of clients from 1 to " + std::to_string(MAX_CLIENTS) +
                                        " separated by commas, not '" + list + "'");
        }
        counts.push_back(*count);
    }
    if (counts.empty()) {
        throw std::invalid_argument("--clients needs at least one number of clients");
    }
    return counts;
}

std::size_t positive(const std::string& option, const std::string& text) {
    const auto value = whole_number(text);
    if (!value || *value == 0) {
        throw std::invalid_argument(option + " takes a positive whole number, not '" + text + "'");
    }
    return *value;
}

Options parse(int argc, char** argv) {
    Options options;
    OptionReader arguments(argc, argv);
    const auto value = [&arguments] { return arguments.value(); };
    for (std::string option; arguments.next(option);) {
        if (option == "--clients") {
            options.clients = client_counts(value());
        } else if (option == "--reads") {
            options.reads = positive(option, value());
        } else if (option == "--repetitions") {
            options.repetitions = positive(option, value());
        } else if (option == "--passing") {
            const std::string passing = value();
            if (passing != "pass_read" && passing != "pass_reads" && passing != "both") {
                throw std::invalid_argument("--passing takes pass_read, pass_reads or both, not '" + passing + "'");
            }
            options.singly = passing != "pass_reads";
            options.lists = passing != "pass_read";
        } else if (option == "--cpus") {
            options.cpus = value();
        } else if (option == NO_HELD_PULLS) {
            options.held_pulls = false;
        } else if (option == "--waiting-only") {
            // Only the figures of reads that wait on the server, for comparing two builds quickly.
            options.only_waiting = true;
        } else if (option == "--tessellpy") {
            options.tessellpy_script = value();
        } else if (option == "--python-module") {
            options.python_module = value();
        } else if (option == "--replay-run") {
            options.replay_recording = value();
        } else if (option == "--address") {
            options.replay_address = value();
        } else if (option == "--sockets") {
            options.sockets = positive(option, value());
        } else if (option == "--exchanges") {
            options.exchanges = positive(option, value());
        } else if (option == "--warm-exchanges") {
            options.warm_exchanges = positive(option, value());
        } else if (option == ROUTER_MODE) {
            options.replay_router = value();
            options.replay_recording = value();
        } else {
            throw std::invalid_argument("unknown option " + option);
        }
    }
    for (const std::size_t clients : options.clients) {
        if (options.reads < clients) {
            throw std::invalid_argument("--reads must give every client at least one read");
        }
    }
    if (options.tessellpy_script.empty() != options.python_module.empty()) {
        throw std::invalid_argument("--tessellpy and --python-module go together");
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && argv[1] == CHILD_MODE) {
        return run_as_child(argc, argv);
    }
    const char* const usage =
            "usage: multi_client_throughput [--clients 1,8,32,100] [--reads N (total per run)]"
            " [--repetitions N] [--passing pass_read|pass_reads|both] [--cpus FIRST-LAST] [--no-held-pulls]"
            " [--waiting-only]\n";
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            std::cout << usage;
            return 0;
        }
    }
    Options options;
    try {
        options = parse(argc, argv);
        if (!options.cpus.empty()) {
            // Before any thread starts, so that every thread and child inherits it.
            pin_to_cpus(options.cpus);
        }
    } catch (const std::invalid_argument& error) {
        std::cerr << "multi_client_throughput: " << error.what() << '\n' << usage;
        return 2;
    }
    // The engine's connection messages would drown the table.
    boost::log::core::get()->set_logging_enabled(false);
    try {
        if (!options.replay_router.empty()) {
            return serve_recording(options.replay_router, options.replay_recording);
        }
        if (!options.replay_recording.empty()) {
            return replay_run(options);
        }
        run_benchmark(options);
    } catch (const std::exception& error) {
        std::cerr << "multi_client_throughput: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
