// One public client against a server with little room that calls its reads one after another in a
// set time: what the client's read loop costs in reads/s, in the time from a read's end of call to
// its return, and in CPU; then what the loop sends while nothing it asks for can be had.

#include "bench/client_run.h"
#include "client_api/server_query.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace {

using bench::Clock;

#ifdef VEXIL_REFERENCE_SERVER_PROGRAM
const char* const DEFAULT_SERVER = VEXIL_REFERENCE_SERVER_PROGRAM;
#else
const char* const DEFAULT_SERVER = "";
#endif

// Short reads in one block each, so that the server's set call time is all a read costs it.
constexpr std::size_t READ_SAMPLES = 4000;
// Long enough for the CPU clocks, which count in ticks.
constexpr double RUN_SECONDS = 2.0;

struct Options {
    std::string server = DEFAULT_SERVER;
    std::vector<std::size_t> rooms{1, 2, 4};
    std::vector<std::size_t> call_times_us{250, 750, 2000, 6000};
    std::string cpus;
    bool loop_only = false;
};

std::vector<std::size_t> parse_list(const std::string& text) {
    std::vector<std::size_t> values;
    std::stringstream stream(text);
    for (std::string item; std::getline(stream, item, ',');) {
        values.push_back(std::stoul(item));
    }
    return values;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                throw std::invalid_argument(argument + " needs a value");
            }
            return argv[++i];
        };
        if (argument == "--server") {
            options.server = value();
        } else if (argument == "--rooms") {
            options.rooms = parse_list(value());
        } else if (argument == "--call-times-us") {
            options.call_times_us = parse_list(value());
        } else if (argument == "--cpus") {
            options.cpus = value();
        } else if (argument == "--loop-only") {
            options.loop_only = true;
        } else if (argument == "--help") {
            std::cout << "paced_server_throughput [--server PROGRAM] [--rooms 1,2,4] [--call-times-us "
                         "250,750,2000,6000] [--cpus 0-3] [--loop-only]\n";
            std::exit(0);
        } else {
            throw std::invalid_argument("unknown option " + argument);
        }
    }
    if (options.server.empty()) {
        throw std::invalid_argument("--server is required");
    }
    return options;
}

// A number that follows `key` in the server's state report; 0 when absent.
double number_after(const std::string& text, const std::string& key) {
    const auto at = text.find("\"" + key + "\"");
    if (at == std::string::npos) {
        return 0.0;
    }
    return std::strtod(text.c_str() + text.find(':', at) + 1, nullptr);
}

struct CellFigures {
    double reads_per_second = 0;
    double latency_median_us = 0;
    double latency_p90_us = 0;
    double client_cpu_us_per_read = 0;
    double server_cpu_us_per_read = 0;
};

CellFigures run_cell(const Options& options, const std::string& folder, std::size_t room, std::size_t call_time_us) {
    const std::string address = "ipc://" + folder + "/paced.sock";
    bench::ServerProcess server(options.server, address,
                                {"--no-model", "--no-held-pulls", "--calling-threads", "0", "--max-reads-per-client",
                                 std::to_string(room), "--call-time-us", std::to_string(call_time_us)});
    const std::size_t reads = std::clamp<std::size_t>(
            static_cast<std::size_t>(RUN_SECONDS * 1e6 / static_cast<double>(call_time_us)), 200, 8000);
    const bench::ReadFactory factory(READ_SAMPLES, false);
    CellFigures figures;
    {
        // The caller keeps the client's queue full and looks for called reads every 100 us.
        bench::ClientRun client(address, "paced_bench", bench::Pacing{1, std::chrono::microseconds(100)});
        const auto client_cpu = bench::own_cpu_times();
        const double server_cpu = server.cpu_seconds();
        const double seconds = client.run(bench::made_reads(factory, 1, reads), 0);
        const double client_used = (bench::own_cpu_times() - client_cpu).total();
        const double server_used = server.cpu_seconds() - server_cpu;
        figures.reads_per_second = static_cast<double>(reads) / seconds;
        figures.client_cpu_us_per_read = client_used * 1e6 / static_cast<double>(reads);
        figures.server_cpu_us_per_read = server_used * 1e6 / static_cast<double>(reads);
    }
    std::string state;
    if (vexil::server_query::get_server_internal_state(state, address, 5000) == vexil::Result::success) {
        figures.latency_median_us = number_after(state, "median");
        figures.latency_p90_us = number_after(state, "p90");
    }
    return figures;
}

// What the loop sends, and the client's CPU, over two seconds in which nothing can be had.
void run_loop_case(const Options& options, const std::string& folder, const std::string& name,
                   std::vector<std::string> server_options, std::size_t reads) {
    const std::string address = "ipc://" + folder + "/loop.sock";
    const std::string log_path = folder + "/loop_requests.log";
    std::filesystem::remove(log_path);
    server_options.insert(server_options.end(),
                          {"--no-model", "--no-held-pulls", "--calling-threads", "0", "--request-log", log_path});
    const bench::ServerProcess server(options.server, address, server_options);
    // The server writes a line a request.
    const auto request_count = [&log_path] {
        std::ifstream log(log_path);
        return std::count(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>(), '\n');
    };
    const bench::ReadFactory factory(READ_SAMPLES, false);
    bench::ClientRun client(address, "loop_bench", bench::Pacing{0, std::chrono::microseconds(1000)});
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (std::uint64_t tag = 1; tag <= reads; ++tag) {
        auto read = factory.make(tag);
        client.pass(read, deadline);
    }
    // Let the loop settle into its pace before it is measured.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto cpu = bench::own_cpu_times();
    const auto start = Clock::now();
    const auto before = request_count();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const auto requests = request_count() - before;
    const double used = (bench::own_cpu_times() - cpu).total();
    std::cout << std::left << std::setw(48) << name << std::right << std::setw(10) << std::fixed << std::setprecision(0)
              << static_cast<double>(requests) / seconds << std::setw(10) << std::setprecision(1)
              << 100.0 * used / seconds << std::endl;
    // The reads never come back: the client is dropped with them.
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && argv[1] == bench::CHILD_MODE) {
        return bench::run_as_child(argc, argv);
    }
    try {
        const Options options = parse(argc, argv);
        if (!options.cpus.empty()) {
            bench::pin_to_cpus(options.cpus);
        }
        std::cout << "load average at start: " << bench::load_average() << std::endl;
        const std::string folder = bench::folder_for_sockets();
        if (!options.loop_only) {
            std::cout << "room  call_ms   reads/s  ceiling  called->returned us (median  p90)  client us/read  "
                         "server us/read"
                      << std::endl;
            for (const std::size_t room : options.rooms) {
                for (const std::size_t call_time : options.call_times_us) {
                    const CellFigures cell = run_cell(options, folder, room, call_time);
                    std::cout << std::setw(4) << room << std::setw(9) << std::fixed << std::setprecision(2)
                              << static_cast<double>(call_time) / 1000.0 << std::setw(10) << std::setprecision(0)
                              << cell.reads_per_second << std::setw(9) << 1e6 / static_cast<double>(call_time)
                              << std::setw(24) << cell.latency_median_us << std::setw(7) << cell.latency_p90_us
                              << std::setw(16) << cell.client_cpu_us_per_read << std::setw(16)
                              << cell.server_cpu_us_per_read << std::endl;
                }
            }
        }
        std::cout << std::left << std::setw(48) << "loop while nothing can be had" << std::right << std::setw(10)
                  << "req/s" << std::setw(10) << "CPU %" << std::endl;
        run_loop_case(options, folder, "push refused, nothing on the server",
                      {"--fault", "not_ready,request=PASS_FIRST_RAW_BLOCK,count=forever"}, 3);
        run_loop_case(options, folder, "push refused, a read on the server",
                      {"--max-reads-per-client", "1", "--call-time-us", "100000000"}, 3);
        run_loop_case(options, folder, "NONE_PENDING at once, a read on the server", {"--call-time-us", "100000000"},
                      1);
        std::cout << "load average at end: " << bench::load_average() << std::endl;
        std::quick_exit(0);
    } catch (const std::exception& error) {
        std::cerr << "paced_server_throughput: " << error.what() << std::endl;
        return 1;
    }
}
