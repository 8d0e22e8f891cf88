// Throughput of the public client (libvexil_client) against the reference server program in its
// fast mode, next to the protocol's own limit: the very request and reply frames of a client run,
// recorded once, exchanged again by bare cppzmq REQ and ROUTER sockets (the ROUTER in a process
// of its own, as a server is) with prebuilt frames; pass_reads lists hold at most one queue of reads.
// For reads of several lengths, passed singly and with pass_reads, it prints reads/s and samples/s of
// both (medians of repetitions), their ratio (the median of the ratios of a client run and a replay
// run, each cut into segments taken alternately) and the round trips per read; then
// the client's peak memory for 1,000 reads of 1 M samples with the default queue, measured in a
// child process of its own, and the client's samples/s against the server with its model on.

#include "client_api/vexil_client.h"
#include "data_wrappers/data_view.h"
#include "data_wrappers/metadata.h"
#include "ipc_tools/awake_poll.h"
#include "reference_server/signal_model.h"

#include <boost/log/core.hpp>

#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <zmq.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using bass::data_wrappers::dataset;
using vexil::PassReadResult;
using Clock = std::chrono::steady_clock;
using ReadList = std::vector<vexil::Read>;

// The client runs with its default settings; this is its default "max_reads_queued".
constexpr unsigned long MAX_READS_QUEUED = 20;
// And its default "max_message_size": the most samples a batch, or one block of a read, carries.
constexpr std::size_t BLOCK_SAMPLES = 256000;
constexpr std::size_t READS_PER_PASS_READS = 100;
constexpr std::chrono::seconds RUN_LIMIT{120};
// A run of the client and its replay are cut into this many segments, run alternately.
constexpr std::size_t SEGMENTS = 8;
const char* const CONFIG = "dna_sim_fast";

struct Scenario {
    std::size_t samples;
    bool batched;
    std::size_t reads;
};

/// Reads in each pass_reads list: 100, but never more than fill the client's queue once. A longer
/// list is built whole before any of it is queued, so the worker would sit idle while it is built.
std::size_t reads_per_group(std::size_t samples) { return samples > BLOCK_SAMPLES ? 1 : BLOCK_SAMPLES / samples; }

std::size_t reads_per_list(std::size_t samples) {
    return std::min(READS_PER_PASS_READS, reads_per_group(samples) * MAX_READS_QUEUED);
}

/// Reads that take the client's queue to the deepest it goes in a run: a full queue, and one
/// pass_reads list past it, which is queued whole.
std::size_t reads_to_fill_queue(std::size_t samples, bool batched) {
    return batched ? reads_per_group(samples) * MAX_READS_QUEUED + reads_per_list(samples) : MAX_READS_QUEUED;
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0.0 : (n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0);
}

/// Reads of one length. Simulated reads carry a signal the model calls back exactly; the others
/// a cheap pattern, enough for the fast mode, which does not look at the samples.
class ReadFactory {
public:
    ReadFactory(std::size_t samples, bool simulated) : m_raw(samples) {
        if (simulated) {
            reference_server::SimulationParameters params;
            params.daq_offset = m_daq_offset;
            params.daq_scaling = m_daq_scaling;
            std::mt19937 random(samples);
            std::string sequence(samples / params.model_stride, 'A');
            for (auto& base : sequence) {
                base = "ACGT"[random() & 3U];
            }
            m_raw = reference_server::simulate_read(sequence, params);
        } else {
            for (std::size_t i = 0; i < m_raw.size(); ++i) {
                m_raw[i] = static_cast<std::int16_t>((i * 7919) % 1024);
            }
        }
    }

    vexil::Read make(std::uint64_t tag) const {
        vexil::Read read;
        read.set_read_tag(tag);
        read.get_metadata().insert("read_id", "bench_read_" + std::to_string(tag));
        read.get_metadata().insert<float>("daq_offset", m_daq_offset);
        read.get_metadata().insert<float>("daq_scaling", m_daq_scaling);
        read.get_datasets().emplace(dataset::raw_data, bass::data_wrappers::DataView(std::vector<std::int16_t>(m_raw)));
        return read;
    }

private:
    float m_daq_offset = 10.0F;
    float m_daq_scaling = 0.5F;
    std::vector<std::int16_t> m_raw;
};

/// One public client, connected with its default settings, with the caller's side of a run:
/// pass every read, collect every called read.
class ClientRun {
public:
    explicit ClientRun(const std::string& address) : m_client(address, CONFIG, "", false) {
        bass::data_wrappers::Metadata params;
        params.insert("client_name", std::string("client_throughput"));
        if (m_client.set_params(params) != vexil::Result::success || m_client.connect() != vexil::Result::success) {
            throw std::runtime_error("Cannot connect to " + address + ": " + m_client.get_error_message());
        }
    }
    ~ClientRun() { m_client.disconnect(); }
    ClientRun(const ClientRun&) = delete;
    ClientRun& operator=(const ClientRun&) = delete;

    /// Passes the reads (taken from the list) and returns once every one has come back. Returns the
    /// seconds since the first of them was queued: in a continuing stream, building the first
    /// reads' messages overlaps the traffic of the reads before them.
    double run(ReadList& reads, bool batched) {
        const auto deadline = Clock::now() + RUN_LIMIT;
        m_first_queued.reset();
        const std::size_t list_size =
                reads.empty() ? 1 : reads_per_list(reads.front().get_datasets().at(dataset::raw_data).m_info.size);
        std::size_t next = 0;
        while (next < reads.size()) {
            if (batched) {
                const std::size_t end = std::min(reads.size(), next + list_size);
                ReadList chunk(std::make_move_iterator(reads.begin() + static_cast<std::ptrdiff_t>(next)),
                               std::make_move_iterator(reads.begin() + static_cast<std::ptrdiff_t>(end)));
                const auto result = m_client.pass_reads(chunk, 1);
                check(result);
                // The reads not taken come back in the chunk, in order; they go again.
                const std::size_t accepted = (end - next) - chunk.size();
                if (accepted > 0 && !m_first_queued) {
                    m_first_queued = Clock::now();
                }
                m_expected += accepted;
                next += accepted;
                for (std::size_t i = 0; i < chunk.size(); ++i) {
                    reads[next + i] = std::move(chunk[i]);
                }
                collect();
                check_deadline(deadline);
            } else {
                pass(reads[next++], deadline);
            }
        }
        wait_for_all(deadline);
        return m_first_queued ? seconds_since(*m_first_queued) : 0.0;
    }

    /// Passes one read, collecting called reads while the queue is full.
    void pass(vexil::Read& read, Clock::time_point deadline) {
        while (true) {
            const auto result = m_client.pass_read(read, 1);
            check(result);
            collect();
            if (result == PassReadResult::success) {
                if (!m_first_queued) {
                    m_first_queued = Clock::now();
                }
                ++m_expected;
                return;
            }
            check_deadline(deadline);
        }
    }

    void wait_for_all(Clock::time_point deadline) {
        while (m_collected < m_expected) {
            collect();
            check_deadline(deadline);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    /// Called reads are dropped as they come, so the caller holds none of them.
    void collect() {
        if (m_client.num_completed_reads() == 0) {
            return;
        }
        std::vector<ReadList> done;
        m_client.get_completed_reads(done);
        for (const auto& group : done) {
            for (const auto& read : group) {
                if (read.get_datasets().count(dataset::sequence) == 0) {
                    throw std::runtime_error("Read " + std::to_string(read.get_read_tag()) + " came back uncalled");
                }
            }
            m_collected += group.size();
        }
    }

private:
    static void check(PassReadResult result) {
        if (result != PassReadResult::success && result != PassReadResult::queue_full) {
            throw std::runtime_error("The client refused reads: " + vexil::to_string(result));
        }
    }
    void check_deadline(Clock::time_point deadline) const {
        if (Clock::now() > deadline) {
            throw std::runtime_error("Run took too long: " + std::to_string(m_collected) + " of " +
                                     std::to_string(m_expected) + " reads back");
        }
    }

    vexil::VexilClient m_client;
    std::size_t m_expected = 0;
    std::size_t m_collected = 0;
    std::optional<Clock::time_point> m_first_queued;
};

ReadList make_reads(const ReadFactory& factory, std::size_t count) {
    ReadList reads;
    reads.reserve(count);
    for (std::size_t tag = 0; tag < count; ++tag) {
        reads.push_back(factory.make(tag + 1));
    }
    return reads;
}

/// A program started with posix_spawn, which shares no page with this process even for a moment:
/// a forked child would leave this process's pages copy-on-write, and the client's first write
/// to each would then fault and flush the TLB of every CPU it runs on, a cost the client would
/// pay and the replay would not. Its first line of output is kept; it is stopped (SIGTERM) and
/// waited for on destruction.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> arguments) {
        std::array<int, 2> output{};
        if (pipe(output.data()) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, output[0]);
        posix_spawn_file_actions_addclose(&actions, output[1]);
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(output[1]);
        std::unique_ptr<FILE, int (*)(FILE*)> stream(fdopen(output[0], "r"), fclose);
        if (spawned != 0) {
            m_pid = -1;
            throw std::runtime_error("Cannot start " + arguments.front());
        }
        std::array<char, 512> line{};
        if (stream && fgets(line.data(), static_cast<int>(line.size()), stream.get()) != nullptr) {
            m_first_line = line.data();
        }
    }
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    const std::string& first_line() const { return m_first_line; }
    pid_t pid() const { return m_pid; }

    void stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    pid_t m_pid = -1;
    std::string m_first_line;
};

/// The reference server program, started with the given options.
class ServerProcess {
public:
    ServerProcess(const std::string& address, const std::vector<std::string>& options)
        : m_process(arguments(address, options)) {
        // It prints its start-up line once it serves.
        if (m_process.first_line().find("listening on") == std::string::npos) {
            throw std::runtime_error(std::string("The reference server did not start: ") + VEXIL_REFERENCE_SERVER_PROGRAM);
        }
    }

    /// CPU time the server has used so far (user and system), in seconds.
    double cpu_seconds() const {
        std::ifstream stat("/proc/" + std::to_string(m_process.pid()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // Fields after the command name, which is in parentheses and may hold blanks.
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        double ticks = 0.0;
        for (int index = 3; index <= 15 && fields >> field; ++index) {
            if (index == 14 || index == 15) {
                ticks += std::stod(field);
            }
        }
        return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

private:
    static std::vector<std::string> arguments(const std::string& address, const std::vector<std::string>& options) {
        std::vector<std::string> all{VEXIL_REFERENCE_SERVER_PROGRAM, "--address", address};
        all.insert(all.end(), options.begin(), options.end());
        return all;
    }
    ChildProcess m_process;
};

/// The read traffic of one client, request and reply frames in order.
struct Exchange {
    std::string request;
    std::string reply;
};

/// Sits between a client and the server and keeps a copy of every read request and its reply.
class RecordingProxy {
public:
    RecordingProxy(const std::string& front, const std::string& server)
        : m_context(1), m_front(m_context, zmq::socket_type::router), m_back(m_context, zmq::socket_type::dealer) {
        m_front.set(zmq::sockopt::linger, 0);
        m_back.set(zmq::sockopt::linger, 0);
        m_front.bind(front);
        m_back.connect(server);
        m_thread = std::thread([this] { relay(); });
    }
    ~RecordingProxy() {
        m_stop = true;
        m_thread.join();
    }
    RecordingProxy(const RecordingProxy&) = delete;
    RecordingProxy& operator=(const RecordingProxy&) = delete;

    std::vector<Exchange> take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::move(m_exchanges);
    }

private:
    static std::vector<zmq::message_t> receive_all(zmq::socket_t& socket) {
        std::vector<zmq::message_t> parts;
        do {
            parts.emplace_back();
            if (!socket.recv(parts.back(), zmq::recv_flags::none)) {
                parts.pop_back();
                break;
            }
        } while (parts.back().more());
        return parts;
    }
    static void send_all(zmq::socket_t& socket, std::vector<zmq::message_t>& parts) {
        for (std::size_t i = 0; i < parts.size(); ++i) {
            socket.send(parts[i], i + 1 < parts.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
        }
    }

    void relay() {
        std::string pending;  // the request awaiting its reply
        while (!m_stop) {
            std::array<zmq::pollitem_t, 2> items{{{static_cast<void*>(m_front), 0, ZMQ_POLLIN, 0},
                                                  {static_cast<void*>(m_back), 0, ZMQ_POLLIN, 0}}};
            zmq::poll(items.data(), items.size(), std::chrono::milliseconds(20));
            if ((items[0].revents & ZMQ_POLLIN) != 0) {
                auto parts = receive_all(m_front);
                pending.assign(static_cast<const char*>(parts.back().data()), parts.back().size());
                send_all(m_back, parts);
            }
            if ((items[1].revents & ZMQ_POLLIN) != 0) {
                auto parts = receive_all(m_back);
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_exchanges.push_back(
                        {pending, std::string(static_cast<const char*>(parts.back().data()), parts.back().size())});
                }
                send_all(m_front, parts);
            }
        }
    }

    zmq::context_t m_context;
    zmq::socket_t m_front;
    zmq::socket_t m_back;
    std::mutex m_mutex;
    std::vector<Exchange> m_exchanges;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

void no_free(void*, void*) {}

std::string self_program() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

/// Writes the replies of a recording to `path`, each as its size and its bytes.
void write_replies(const std::vector<Exchange>& exchanges, const std::string& path) {
    std::ofstream file(path, std::ios::binary);
    for (const auto& exchange : exchanges) {
        const std::uint64_t size = exchange.reply.size();
        file.write(reinterpret_cast<const char*>(&size), sizeof size);
        file.write(exchange.reply.data(), static_cast<std::streamsize>(size));
    }
    if (!file) {
        throw std::runtime_error("Cannot write " + path);
    }
}

std::vector<std::string> read_replies(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<std::string> replies;
    std::uint64_t size = 0;
    while (file.read(reinterpret_cast<char*>(&size), sizeof size)) {
        std::string reply(size, '\0');
        if (!file.read(reply.data(), static_cast<std::streamsize>(size))) {
            throw std::runtime_error("Truncated recording " + path);
        }
        replies.push_back(std::move(reply));
    }
    return replies;
}

/// Child mode: the replay's ROUTER. Answers `total` requests with the recorded replies in turn,
/// cycling through them; prints a line once it is bound.
int replay_server(const std::string& address, const std::string& path, std::size_t total) {
    const auto replies = read_replies(path);
    if (replies.empty()) {
        throw std::runtime_error("Empty recording " + path);
    }
    zmq::context_t context(1);
    zmq::socket_t router(context, zmq::socket_type::router);
    // Long enough for the last reply to leave before the socket closes.
    router.set(zmq::sockopt::linger, 5000);
    router.bind(address);
    std::cout << "replaying on " << address << std::endl;
    for (std::size_t i = 0; i < total; ++i) {
        zmq::message_t identity;
        zmq::message_t delimiter;
        zmq::message_t request;
        if (!router.recv(identity) || !router.recv(delimiter) || !router.recv(request)) {
            return 1;
        }
        const std::string& reply = replies[i % replies.size()];
        zmq::message_t frame(const_cast<char*>(reply.data()), reply.size(), no_free);
        router.send(identity, zmq::send_flags::sndmore);
        router.send(delimiter, zmq::send_flags::sndmore);
        router.send(frame, zmq::send_flags::none);
        // As the reference server does, it waits for the next request awake for a while: the limit
        // must not pay a wake-up that the server spares the client.
        zmq_pollitem_t next{router.handle(), 0, ZMQ_POLLIN, 0};
        ipc_tools::poll_awake(&next, 1, ipc_tools::AWAKE_POLL_WINDOW);
    }
    return 0;
}

/// The protocol's limit: the recorded frames exchanged between a REQ socket and a ROUTER, in a
/// process of its own as a server is and waiting awake as the server does, that answers each
/// request with the next prebuilt reply, cycling through the recording. It serves `total`
/// exchanges, timed a segment at a time.
class Replay {
public:
    Replay(const std::vector<Exchange>& exchanges, std::size_t total, const std::string& folder, std::size_t number)
        : m_exchanges(exchanges),
          m_total(total),
          m_address("ipc://" + folder + "/replay" + std::to_string(number) + ".sock"),
          m_recording(folder + "/replay" + std::to_string(number) + ".frames"),
          m_server(server_arguments(exchanges, total, m_address, m_recording)) {
        if (m_server.first_line().find("replaying on") == std::string::npos) {
            throw std::runtime_error("replay server did not start");
        }
        m_req.set(zmq::sockopt::linger, 0);
        // A child that died mid-replay must not leave this side waiting for ever.
        m_req.set(zmq::sockopt::rcvtimeo, 30000);
        m_req.connect(m_address);
    }
    ~Replay() {
        m_req.close();
        m_server.stop();
        std::filesystem::remove(m_recording);
    }
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    /// Seconds for the next `count` exchanges.
    double run(std::size_t count) {
        const std::size_t end = std::min(m_total, m_next + count);
        const auto start = Clock::now();
        for (; m_next < end; ++m_next) {
            const std::string& request = m_exchanges[m_next % m_exchanges.size()].request;
            zmq::message_t frame(const_cast<char*>(request.data()), request.size(), no_free);
            m_req.send(frame, zmq::send_flags::none);
            zmq::message_t reply;
            if (!m_req.recv(reply)) {
                throw std::runtime_error("Replay lost a reply");
            }
        }
        return seconds_since(start);
    }

private:
    /// Writes the recording the replay's ROUTER serves and returns the command that starts it.
    static std::vector<std::string> server_arguments(const std::vector<Exchange>& exchanges, std::size_t total,
                                                     const std::string& address, const std::string& recording) {
        write_replies(exchanges, recording);
        return {self_program(), "--replay-server", address, "--replay-file", recording, "--replay-total",
                std::to_string(total)};
    }

    const std::vector<Exchange>& m_exchanges;
    const std::size_t m_total;
    const std::string m_address;
    const std::string m_recording;
    ChildProcess m_server;
    std::size_t m_next = 0;
    zmq::context_t m_context{1};
    zmq::socket_t m_req{m_context, zmq::socket_type::req};
};

struct Figures {
    std::vector<double> client_seconds;
    std::vector<double> server_busy;  // server CPU time over the run's time
    std::vector<double> limit_seconds;
    std::vector<double> pair_ratios;  // the client's rate over the limit's, within one repetition
    double round_trips_per_read = 0.0;
    std::vector<Exchange> recorded;
    std::size_t recorded_reads = 0;
};

struct Options {
    std::size_t repetitions = 7;
    double scale = 1.0;
    std::string calling_threads;  // the server's default unless given
    std::size_t memory_reads = 1000;
    std::vector<std::size_t> sizes{4000, 20000, 100000, 1000000};
    bool with_memory_and_model = true;
    std::string cpus;          // "first-last": this process and the servers it starts run there only
    std::string memory_probe;  // child mode: the server address
    std::string replay_server;  // child mode: the replay's address, its recording and how many requests
    std::string replay_file;
    std::size_t replay_total = 0;
};

/// Keeps this process (and the processes it starts) on the CPUs "first-last" (or one CPU).
void pin_to_cpus(const std::string& range) {
    const auto dash = range.find('-');
    const int first = std::stoi(range.substr(0, dash));
    const int last = dash == std::string::npos ? first : std::stoi(range.substr(dash + 1));
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = first; cpu <= last; ++cpu) {
        CPU_SET(cpu, &set);
    }
    if (first < 0 || last < first || sched_setaffinity(0, sizeof(set), &set) != 0) {
        throw std::invalid_argument("Cannot run on CPUs " + range);
    }
}

std::string folder_for_sockets() {
    char pattern[] = "/tmp/vexil_bench_XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

/// Records the frames of a short client run through the proxy: the first reads fill the queue and
/// the handshake is behind them, so only the read traffic of the later ones is kept, which is what
/// a long run repeats.
void record(Figures& figures, const Scenario& scenario, const ReadFactory& factory, const std::string& server,
            const std::string& proxy_address) {
    const std::size_t list_size = reads_per_list(scenario.samples);
    const std::size_t warm = scenario.batched ? 2 * list_size : 4;
    const std::size_t kept = scenario.batched ? 4 * list_size : 8;
    RecordingProxy proxy(proxy_address, server);
    ClientRun client(proxy_address);
    auto first = make_reads(factory, warm);
    client.run(first, scenario.batched);
    proxy.take();
    auto second = make_reads(factory, kept);
    client.run(second, scenario.batched);
    figures.recorded = proxy.take();
    figures.recorded_reads = kept;
    figures.round_trips_per_read = static_cast<double>(figures.recorded.size()) / static_cast<double>(kept);
}

void print_table(const std::vector<Scenario>& scenarios, const std::map<std::size_t, Figures>& figures) {
    std::cout << "\n"
              << std::left << std::setw(9) << "samples" << std::setw(11) << "passing" << std::right << std::setw(7)
              << "reads" << std::setw(12) << "client r/s" << std::setw(14) << "client Ms/s" << std::setw(12)
              << "limit r/s" << std::setw(13) << "limit Ms/s" << std::setw(9) << "ratio" << std::setw(13)
              << "trips/read" << std::setw(13) << "server busy" << "\n";
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
                  << std::setprecision(1) << std::setw(8) << 100.0 * median(figure.pair_ratios) << "%" << std::setprecision(2)
                  << std::setw(13) << figure.round_trips_per_read << std::setprecision(0) << std::setw(12)
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
    ClientRun client(address);
    const auto deadline = Clock::now() + 10 * RUN_LIMIT;
    for (std::size_t tag = 1; tag <= reads; ++tag) {
        vexil::Read read = factory.make(tag);
        client.pass(read, deadline);
    }
    client.wait_for_all(deadline);
    std::cout << "baseline_kb=" << baseline << " peak_kb=" << peak_rss_kb() << std::endl;
    return 0;
}

std::string load_average() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

/// Runs this program again as a memory probe against the server, so that the figure is the
/// client's alone, and returns its output line. It goes through the shell, which forks it: a
/// program spawned from this process directly would keep this process's peak resident size, which
/// survives exec, and report that as its own.
std::string probe_memory(const std::string& address, std::size_t reads) {
    const std::string command = "'" + self_program() + "' --memory-probe '" + address + "' --memory-reads " + std::to_string(reads);
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

void run_benchmark(const Options& options) {
    const std::string folder = folder_for_sockets();
    const auto cleanup = std::unique_ptr<const std::string, void (*)(const std::string*)>(
        &folder, [](const std::string* path) { std::filesystem::remove_all(*path); });
    std::cout << "client_throughput: load average " << load_average() << " at start, " << std::thread::hardware_concurrency()
              << " cores" << (options.cpus.empty() ? std::string() : ", pinned to CPUs " + options.cpus)
              << "; public client with default settings, server a separate process, ipc transport" << std::endl;

    const auto scaled = [&](std::size_t reads) { return std::max<std::size_t>(4, static_cast<std::size_t>(reads * options.scale)); };
    std::vector<Scenario> scenarios;
    for (const std::size_t samples : options.sizes) {
        // About 80 M samples a run, and never fewer than 160 reads: a run of long reads must last
        // long enough that a pause of the machine does not decide its figure.
        const std::size_t reads = scaled(std::max<std::size_t>(160, 80000000 / samples));
        scenarios.push_back({samples, false, reads});
        scenarios.push_back({samples, true, reads});
    }

    const std::string server_address = "ipc://" + folder + "/server.sock";
    const ServerProcess server(server_address, {"--no-model"});
    std::map<std::size_t, Figures> figures;
    std::map<std::size_t, std::unique_ptr<ReadFactory>> factories;
    for (std::size_t i = 0; i < scenarios.size(); ++i) {
        auto& factory = factories[scenarios[i].samples];
        if (!factory) {
            factory = std::make_unique<ReadFactory>(scenarios[i].samples, false);
        }
        record(figures[i], scenarios[i], *factory, server_address, "ipc://" + folder + "/proxy" + std::to_string(i) + ".sock");
    }

    // Each repetition runs every scenario once, in a shuffled order. On a shared machine the speed
    // drifts from second to second, so a scenario's client run and its replay are cut into segments
    // run alternately, each pair in a random order, and the ratio is that of their summed times.
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
            Figures& figure = figures[index];
            const ReadFactory& factory = *factories[scenario.samples];
            auto reads = make_reads(factory, scenario.reads);
            const std::size_t exchanges = figure.recorded.size() * scenario.reads / figure.recorded_reads;
            // A queue's worth of reads, and their share of the recording, go first untimed: both
            // connections are set up and the client's frame buffers allocated before the clock runs.
            auto warm_reads = make_reads(factory, reads_to_fill_queue(scenario.samples, scenario.batched));
            const std::size_t warm_exchanges =
                    std::max<std::size_t>(1, figure.recorded.size() * warm_reads.size() / figure.recorded_reads);
            Replay limit(figure.recorded, warm_exchanges + exchanges, folder, replay_number++);
            ClientRun client(server_address);
            client.run(warm_reads, scenario.batched);
            limit.run(warm_exchanges);
            const double server_cpu = server.cpu_seconds();
            double client_seconds = 0.0;
            double limit_seconds = 0.0;
            for (std::size_t segment = 0; segment < SEGMENTS; ++segment) {
                const auto share = [&](std::size_t total, std::size_t part) { return total * part / SEGMENTS; };
                const auto run_client = [&] {
                    const auto at = [&](std::size_t part) {
                        return std::make_move_iterator(reads.begin() +
                                                       static_cast<std::ptrdiff_t>(share(reads.size(), part)));
                    };
                    ReadList part(at(segment), at(segment + 1));
                    client_seconds += client.run(part, scenario.batched);
                };
                const auto run_limit = [&] {
                    limit_seconds += limit.run(share(exchanges, segment + 1) - share(exchanges, segment));
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
    }
    std::cout << "Medians of " << options.repetitions
              << " repetitions; limit: the recorded frames of the same run over bare REQ/ROUTER with prebuilt replies,"
                 " the ROUTER in a process of its own and, as the server, awake for a while after each reply;"
                 " ratio: median of the ratios of client and limit, each run in "
              << SEGMENTS << " segments taken alternately after an untimed queue's worth, a client segment timed"
                 " from its first queued read; trips/read: requests per read in the recording;"
                 " server busy: its CPU time over the client's run, awake waits included";
    print_table(scenarios, figures);
    if (!options.with_memory_and_model) {
        return;
    }

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

    // With the model on: pulls held until called (the default), and answered NONE_PENDING at once,
    // which lets the client push further batches while earlier ones are being called.
    const ReadFactory simulated(20000, true);
    const std::size_t model_reads = scaled(2000);
    for (const bool held : {true, false}) {
        std::vector<std::string> model_options;
        if (!options.calling_threads.empty()) {
            model_options = {"--calling-threads", options.calling_threads};
        }
        if (!held) {
            model_options.push_back("--no-held-pulls");
        }
        const std::string model_address = "ipc://" + folder + (held ? "/model_held.sock" : "/model.sock");
        const ServerProcess model_server(model_address, model_options);
        std::vector<double> seconds;
        for (std::size_t repetition = 0; repetition < options.repetitions; ++repetition) {
            auto reads = make_reads(simulated, model_reads);
            ClientRun client(model_address);
            const auto start = Clock::now();
            client.run(reads, true);
            seconds.push_back(seconds_since(start));
        }
        std::cout << "Model on, " << model_reads << " reads of 20000 samples through pass_reads, pulls "
                  << (held ? "held until called" : "answered at once") << ": " << std::fixed << std::setprecision(1)
                  << model_reads * 20000.0 / median(seconds) / 1e6 << " M samples/s (median of " << options.repetitions
                  << ")" << std::defaultfloat << std::endl;
    }
    std::cout << "client_throughput: load average " << load_average() << " at end" << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                throw std::invalid_argument(option + " needs a value");
            }
            return argv[++i];
        };
        if (option == "--repetitions") {
            options.repetitions = std::stoul(value());
        } else if (option == "--scale") {
            options.scale = std::stod(value());
        } else if (option == "--calling-threads") {
            options.calling_threads = value();
        } else if (option == "--cpus") {
            options.cpus = value();
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
        } else if (option == "--replay-server") {
            options.replay_server = value();
        } else if (option == "--replay-file") {
            options.replay_file = value();
        } else if (option == "--replay-total") {
            options.replay_total = std::stoul(value());
        } else {
            std::cerr << "usage: client_throughput [--repetitions N] [--scale X] [--calling-threads N (model server)] "
                         "[--memory-reads N] [--sizes N,N,...] [--cpus FIRST-LAST]\n";
            return 2;
        }
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
        if (!options.replay_server.empty()) {
            return replay_server(options.replay_server, options.replay_file, options.replay_total);
        }
        run_benchmark(options);
    } catch (const std::exception& error) {
        std::cerr << "client_throughput: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
