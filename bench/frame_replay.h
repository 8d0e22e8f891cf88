#pragma once

// What the throughput benchmarks share: programs started with posix_spawn, CPU readings, and the
// protocol's own limit, which is the frames of a client run, recorded between client and server,
// exchanged again by bare REQ sockets with a ROUTER that answers each with its recorded reply.

#include "ipc_tools/awake_poll.h"
#include "ipc_tools/message.h"

#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <zmq.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

/// The option by which a benchmark program runs as the replay's ROUTER: ADDRESS RECORDING.
inline const std::string ROUTER_MODE = "--replay-router";
/// The option by which a benchmark program becomes, at once, a child that ChildProcess starts:
/// PARENT_PID PROGRAM ARGUMENTS...; every program that uses ChildProcess handles it first thing
/// in main, through run_as_child.
inline const std::string CHILD_MODE = "--run-as-child";

/// Child mode: arranges to be stopped (SIGTERM) when the parent ends, however it ends, then becomes
/// the program. A benchmark that crashed would otherwise leave its server running, holding the
/// output of whatever started the benchmark open, so that a test runner would wait for ever.
inline int run_as_child(int argc, char** argv) {
    if (argc < 4 || prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) {
        return 127;
    }
    // The parent may have ended before the signal was arranged.
    if (std::to_string(getppid()) != argv[2]) {
        return 127;
    }
    execv(argv[3], argv + 3);
    std::cerr << "Cannot start " << argv[3] << ": " << std::strerror(errno) << "\n";
    return 127;
}

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0.0 : (n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0);
}

inline std::string self_program() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

inline std::string load_average() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

/// A benchmark program's options, one after the other, each followed by its value when asked for.
class OptionReader {
public:
    OptionReader(int argc, char** argv) : m_argc(argc), m_argv(argv) {}
    /// The next option into `option`; false after the last.
    bool next(std::string& option) {
        if (m_next >= m_argc) {
            return false;
        }
        m_option = m_argv[m_next++];
        option = m_option;
        return true;
    }
    /// The value following the current option; std::invalid_argument when there is none.
    std::string value() {
        if (m_next >= m_argc) {
            throw std::invalid_argument(m_option + " needs a value");
        }
        return m_argv[m_next++];
    }

private:
    const int m_argc;
    char** const m_argv;
    int m_next = 1;
    std::string m_option;
};

/// Keeps this process (and the processes it starts) on the CPUs "first-last" (or one CPU).
inline void pin_to_cpus(const std::string& range) {
    const auto dash = range.find('-');
    int first = -1;
    int last = -1;
    try {
        first = std::stoi(range.substr(0, dash));
        last = dash == std::string::npos ? first : std::stoi(range.substr(dash + 1));
    } catch (const std::exception&) {
        throw std::invalid_argument("--cpus takes FIRST-LAST or one CPU, not '" + range + "'");
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = std::max(first, 0); cpu <= last && cpu < CPU_SETSIZE; ++cpu) {
        CPU_SET(cpu, &set);
    }
    if (first < 0 || last < first || sched_setaffinity(0, sizeof(set), &set) != 0) {
        throw std::invalid_argument("Cannot run on CPUs " + range);
    }
}

inline std::string folder_for_sockets() {
    char pattern[] = "/tmp/vexil_bench_XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

struct CpuTimes {
    double user = 0.0;  // seconds
    double system = 0.0;
    double faults = 0.0;    // page faults served without I/O: memory taken afresh from the system
    double switches = 0.0;  // context switches, voluntary (waits) and not
    double total() const { return user + system; }
    CpuTimes operator-(const CpuTimes& other) const {
        return {user - other.user, system - other.system, faults - other.faults, switches - other.switches};
    }
};

/// This process's CPU time so far, every thread included, with its page faults and context switches.
inline CpuTimes own_cpu_times() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
    return {seconds(usage.ru_utime), seconds(usage.ru_stime), static_cast<double>(usage.ru_minflt),
            static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw)};
}

/// CPU time (user and system) that another process has used so far, in seconds, from
/// /proc/<pid>/stat; its resolution is the clock tick, so read it around runs of a second or more.
inline double process_cpu_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto name_end = text.rfind(')');
    if (name_end == std::string::npos) {
        throw std::runtime_error("Cannot read the CPU time of process " + std::to_string(pid));
    }
    // Fields after the command name, which is in parentheses and may hold blanks; 14 and 15 are
    // utime and stime.
    std::istringstream fields(text.substr(name_end + 2));
    std::string field;
    double ticks = 0.0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14 || index == 15) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

/// A program started with posix_spawn, which shares no page with this process even for a moment:
/// a forked child would leave this process's pages copy-on-write, and the client's first write
/// to each would then fault and flush the TLB of every CPU it runs on, a cost the client would
/// pay and the replay would not. It starts as this program in CHILD_MODE, so that it ends with
/// the thread that started it (keep that thread alive as long as the child). Its standard output
/// comes through a pipe, read a line at a time; it is stopped (SIGTERM) and waited for on
/// destruction unless it was waited for already.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> program_and_arguments) : m_program(program_and_arguments.front()) {
        std::vector<std::string> arguments{self_program(), CHILD_MODE, std::to_string(getpid())};
        arguments.insert(arguments.end(), program_and_arguments.begin(), program_and_arguments.end());
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
        m_output = fdopen(output[0], "r");
        if (spawned != 0 || m_output == nullptr) {
            m_pid = -1;
            close_output();
            throw std::runtime_error("Cannot start " + m_program);
        }
    }
    ~ChildProcess() {
        stop();
        close_output();
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }

    /// Its next line of output without the newline; empty once it has closed its output.
    std::string read_line() {
        std::string line;
        std::array<char, 512> buffer{};
        while (m_output != nullptr && fgets(buffer.data(), static_cast<int>(buffer.size()), m_output) != nullptr) {
            line += buffer.data();
            if (!line.empty() && line.back() == '\n') {
                line.pop_back();
                break;
            }
        }
        return line;
    }

    /// Its first line of output that starts with `prefix`; empty if it ends its output first.
    std::string read_line_starting_with(const std::string& prefix) {
        while (m_output != nullptr && !feof(m_output)) {
            std::string line = read_line();
            if (line.compare(0, prefix.size(), prefix) == 0) {
                return line;
            }
        }
        return {};
    }

    /// Stops reading its output; a program that writes more then gets EPIPE, as no one listens.
    void close_output() {
        if (m_output != nullptr) {
            fclose(m_output);
            m_output = nullptr;
        }
    }

    /// Waits for it to end by itself; returns its exit status, or 128 plus the signal that ended it.
    int wait() {
        int status = 0;
        if (m_pid <= 0) {
            return -1;
        }
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            wait();
        }
    }

private:
    pid_t m_pid = -1;
    std::string m_program;
    FILE* m_output = nullptr;
};

/// The reference server program, started with the given options, serving once constructed.
class ServerProcess {
public:
    ServerProcess(const std::string& program, const std::string& address, const std::vector<std::string>& options)
        : m_process(arguments(program, address, options)) {
        // It prints its start-up line once it serves, and nothing after it.
        if (m_process.read_line().find("listening on") == std::string::npos) {
            throw std::runtime_error("The reference server did not start: " + program);
        }
        m_process.close_output();
    }

    pid_t pid() const { return m_process.pid(); }
    /// CPU time the server has used so far (user and system), in seconds.
    double cpu_seconds() const { return process_cpu_seconds(m_process.pid()); }

private:
    static std::vector<std::string> arguments(const std::string& program, const std::string& address,
                                              const std::vector<std::string>& options) {
        std::vector<std::string> all{program, "--address", address};
        all.insert(all.end(), options.begin(), options.end());
        return all;
    }
    ChildProcess m_process;
};

/// One request of a recorded run and the reply the server gave it.
struct Exchange {
    std::string request;
    std::string reply;
};

/// The read traffic of one client, in order.
using ClientFrames = std::vector<Exchange>;

/// What a recording proxy saw between two takes.
struct Recording {
    std::vector<ClientFrames> clients;  // the first clients seen, as many as were kept
    std::size_t exchanges = 0;          // of every client, kept or not
};

/// Requests of `type` among recorded exchanges.
inline std::size_t count_requests(const std::vector<ClientFrames>& clients, ipc_tools::MessageType type) {
    std::size_t count = 0;
    for (const auto& frames : clients) {
        for (const auto& exchange : frames) {
            const ipc_tools::Message request(zmq::message_t(exchange.request.data(), exchange.request.size()));
            count += request.get_type() == type ? 1 : 0;
        }
    }
    return count;
}

/// Sits between clients and the server and keeps a copy of every request and its reply, per
/// client, for the first `kept_clients` clients it sees after each take; the others' exchanges
/// are only counted, so that a run of many clients can be recorded in bounded memory.
class RecordingProxy {
public:
    RecordingProxy(const std::string& front, const std::string& server, std::size_t kept_clients)
        : m_kept_clients(kept_clients),
          m_context(1),
          m_front(m_context, zmq::socket_type::router),
          m_back(m_context, zmq::socket_type::dealer) {
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

    /// What was recorded since the last take; the next recording starts afresh.
    Recording take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        Recording taken{std::move(m_recording.clients), m_recording.exchanges};
        m_recording = Recording{};
        m_index.clear();
        return taken;
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
    static std::string text(const zmq::message_t& part) { return {static_cast<const char*>(part.data()), part.size()}; }

    /// The kept client index of a client identity, or -1 for a client only counted.
    long kept_index(const std::string& identity) {
        const auto found = m_index.find(identity);
        if (found != m_index.end()) {
            return found->second;
        }
        long index = -1;
        if (m_recording.clients.size() < m_kept_clients) {
            index = static_cast<long>(m_recording.clients.size());
            m_recording.clients.emplace_back();
        }
        m_index.emplace(identity, index);
        return index;
    }

    void relay() {
        // A REQ client has one request at a time awaiting its reply; the server's replies come
        // back with the client's identity as their first part.
        std::unordered_map<std::string, std::string> pending;
        while (!m_stop) {
            std::array<zmq::pollitem_t, 2> items{
                    {{static_cast<void*>(m_front), 0, ZMQ_POLLIN, 0}, {static_cast<void*>(m_back), 0, ZMQ_POLLIN, 0}}};
            zmq::poll(items.data(), items.size(), std::chrono::milliseconds(20));
            if ((items[0].revents & ZMQ_POLLIN) != 0) {
                auto parts = receive_all(m_front);
                if (parts.size() >= 2) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    if (kept_index(text(parts.front())) >= 0) {
                        pending[text(parts.front())] = text(parts.back());
                    }
                }
                send_all(m_back, parts);
            }
            if ((items[1].revents & ZMQ_POLLIN) != 0) {
                auto parts = receive_all(m_back);
                if (parts.size() >= 2) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    const long index = kept_index(text(parts.front()));
                    if (index >= 0) {
                        m_recording.clients[static_cast<std::size_t>(index)].push_back(
                                {std::move(pending[text(parts.front())]), text(parts.back())});
                    }
                    ++m_recording.exchanges;
                }
                send_all(m_front, parts);
            }
        }
    }

    const std::size_t m_kept_clients;
    zmq::context_t m_context;
    zmq::socket_t m_front;
    zmq::socket_t m_back;
    std::mutex m_mutex;
    Recording m_recording;
    std::unordered_map<std::string, long> m_index;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

/// Writes recorded frames to `path`: the number of clients, then per client its number of
/// exchanges and each request and reply as its size and its bytes.
inline void write_recording(const std::vector<ClientFrames>& clients, const std::string& path) {
    std::ofstream file(path, std::ios::binary);
    const auto put = [&file](std::uint64_t value) { file.write(reinterpret_cast<const char*>(&value), sizeof value); };
    put(clients.size());
    for (const auto& frames : clients) {
        put(frames.size());
        for (const auto& exchange : frames) {
            for (const std::string* frame : {&exchange.request, &exchange.reply}) {
                put(frame->size());
                file.write(frame->data(), static_cast<std::streamsize>(frame->size()));
            }
        }
    }
    if (!file) {
        throw std::runtime_error("Cannot write " + path);
    }
}

/// Reads what write_recording wrote; a short or damaged file, or one without a single exchange
/// for every client, is refused with the reason.
inline std::vector<ClientFrames> read_recording(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("Cannot open the recording " + path);
    }
    const auto size = std::filesystem::file_size(path);
    const auto get = [&](const char* what) {
        std::uint64_t value = 0;
        if (!file.read(reinterpret_cast<char*>(&value), sizeof value)) {
            throw std::runtime_error("The recording " + path + " ends before its " + what);
        }
        if (value > size) {
            throw std::runtime_error("The recording " + path + " is damaged: " + what + " " + std::to_string(value));
        }
        return value;
    };
    std::vector<ClientFrames> clients(get("number of clients"));
    if (clients.empty()) {
        throw std::runtime_error("The recording " + path + " holds no client");
    }
    for (auto& frames : clients) {
        frames.resize(get("number of exchanges"));
        if (frames.empty()) {
            throw std::runtime_error("The recording " + path + " holds a client without exchanges");
        }
        for (auto& exchange : frames) {
            for (std::string* frame : {&exchange.request, &exchange.reply}) {
                frame->resize(get("frame size"));
                if (!file.read(frame->data(), static_cast<std::streamsize>(frame->size()))) {
                    throw std::runtime_error("The recording " + path + " ends inside a frame");
                }
            }
        }
    }
    if (file.peek() != std::char_traits<char>::eof()) {
        throw std::runtime_error("The recording " + path + " has bytes after its last frame");
    }
    return clients;
}

/// The routing id of the replay's REQ socket number `socket`, from which the ROUTER knows which
/// recorded client it replays.
inline std::string replay_routing_id(std::size_t socket) { return "replay" + std::to_string(socket); }

/// The message type of a recorded request, by which a replaying socket paces its waits as the
/// client's request broker does. Read once per frame, before any clock runs.
inline std::uint32_t request_kind(const std::string& request) {
    return ipc_tools::Message(zmq::message_t(request.data(), request.size())).get_type();
}

/// Waits for the reply to the request of `kind` just sent on `socket` as the client's request
/// broker does (first awake, giving the CPU up between polls, for the broker's window but only
/// while no other thread of the process waits for a reply and the last reply to this kind came
/// within it, then in a poll that sleeps) and takes it without blocking. The limit must wait as the
/// client waits, or their ratio would compare a busy wait with a sleeping one. False when no reply
/// came within `timeout`.
inline bool receive_reply(zmq::socket_t& socket, zmq::message_t& reply, std::chrono::milliseconds timeout,
                          ipc_tools::ReplyPace& pace, std::uint32_t kind) {
    zmq_pollitem_t item{socket.handle(), 0, ZMQ_POLLIN, 0};
    const ipc_tools::ReplyWaiter waiter;
    const int result = ipc_tools::wait_for_reply(item, timeout, waiter, pace, kind);
    if (result <= 0 || (item.revents & ZMQ_POLLIN) == 0) {
        return false;
    }
    return socket.recv(reply, zmq::recv_flags::dontwait).has_value();
}

inline void no_free(void*, void*) {}

/// Child mode: the replay's ROUTER. Answers the REQ socket with routing id replay<i> with the
/// replies of recorded client i (modulo the clients recorded) in their order, cycling, whatever it
/// asked; prints a line once bound and serves until stopped. Like the reference server, it waits
/// for the next request awake for a while after each reply: the limit must not pay a wake-up that
/// the server spares the client.
inline int serve_recording(const std::string& address, const std::string& path) {
    const auto clients = read_recording(path);
    zmq::context_t context(1);
    zmq::socket_t router(context, zmq::socket_type::router);
    router.set(zmq::sockopt::linger, 0);
    router.bind(address);
    std::cout << "replaying on " << address << std::endl;
    std::vector<std::size_t> next;  // per socket, its next reply
    while (true) {
        zmq::message_t identity;
        zmq::message_t delimiter;
        zmq::message_t request;
        if (!router.recv(identity) || !identity.more() || !router.recv(delimiter) || !delimiter.more() ||
            !router.recv(request) || request.more()) {
            std::cerr << "replay ROUTER: a request that is not one frame from a REQ socket\n";
            return 1;
        }
        const std::string id = identity.to_string();
        std::size_t socket = 0;
        try {
            if (id.compare(0, 6, "replay") != 0) {
                throw std::invalid_argument(id);
            }
            socket = std::stoul(id.substr(6));
        } catch (const std::exception&) {
            std::cerr << "replay ROUTER: a request from an unknown socket '" << id << "'\n";
            return 1;
        }
        if (socket >= next.size()) {
            next.resize(socket + 1, 0);
        }
        const ClientFrames& frames = clients[socket % clients.size()];
        const std::string& reply = frames[next[socket]++ % frames.size()].reply;
        zmq::message_t frame(const_cast<char*>(reply.data()), reply.size(), no_free);
        router.send(identity, zmq::send_flags::sndmore);
        router.send(delimiter, zmq::send_flags::sndmore);
        router.send(frame, zmq::send_flags::none);
        zmq_pollitem_t item{router.handle(), 0, ZMQ_POLLIN, 0};
        ipc_tools::poll_awake(&item, 1, ipc_tools::AWAKE_POLL_WINDOW);
    }
}

struct ReplayFigures {
    double seconds = 0.0;
    CpuTimes cpu;             // this process's, over the run
    double router_cpu = 0.0;  // the ROUTER process's, over the run
};

/// The protocol's limit: REQ sockets, each in a ZeroMQ context of its own as each client's broker
/// is, exchanging recorded frames with the ROUTER of serve_recording, which runs in a process of
/// its own as a server does. Socket i sends the requests of recorded client i (modulo the clients
/// recorded) in order, cycling, and the ROUTER answers with that client's replies in the same order.
class Replay {
public:
    /// `recording` must hold what `recording_path` holds, and outlive the replay.
    Replay(const std::vector<ClientFrames>& recording, const std::string& recording_path, std::size_t sockets,
           const std::string& address)
        : m_router({self_program(), ROUTER_MODE, address, recording_path}) {
        if (m_router.read_line().find("replaying on") == std::string::npos) {
            throw std::runtime_error("The replay's ROUTER did not start");
        }
        m_router.close_output();
        for (std::size_t i = 0; i < sockets; ++i) {
            m_sockets.push_back(std::make_unique<Socket>(i, recording[i % recording.size()], address));
        }
    }
    ~Replay() {
        m_sockets.clear();
        m_router.stop();
    }
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    /// Runs `count` more exchanges shared evenly between the sockets, each socket on a thread of its
    /// own when there are several, all started together.
    ReplayFigures run(std::size_t count) {
        const std::size_t sockets = m_sockets.size();
        const auto share = [&](std::size_t i) { return count / sockets + (i < count % sockets ? 1 : 0); };
        ReplayFigures figures;
        if (sockets == 1) {
            const CpuTimes cpu = own_cpu_times();
            const double router = process_cpu_seconds(m_router.pid());
            const auto start = Clock::now();
            m_sockets.front()->exchange(count);
            figures.seconds = seconds_since(start);
            figures.cpu = own_cpu_times() - cpu;
            figures.router_cpu = process_cpu_seconds(m_router.pid()) - router;
            return figures;
        }
        std::mutex mutex;
        std::condition_variable changed;
        std::size_t ready = 0;
        bool go = false;
        std::string failure;
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < sockets; ++i) {
            threads.emplace_back([&, i] {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    ++ready;
                    changed.notify_all();
                    changed.wait(lock, [&] { return go; });
                }
                try {
                    m_sockets[i]->exchange(share(i));
                } catch (const std::exception& error) {
                    std::lock_guard<std::mutex> lock(mutex);
                    failure = error.what();
                }
            });
        }
        CpuTimes cpu;
        double router = 0.0;
        Clock::time_point start;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return ready == sockets; });
            cpu = own_cpu_times();
            router = process_cpu_seconds(m_router.pid());
            start = Clock::now();
            go = true;
        }
        changed.notify_all();
        for (auto& thread : threads) {
            thread.join();
        }
        figures.seconds = seconds_since(start);
        figures.cpu = own_cpu_times() - cpu;
        figures.router_cpu = process_cpu_seconds(m_router.pid()) - router;
        if (!failure.empty()) {
            throw std::runtime_error(failure);
        }
        return figures;
    }

private:
    class Socket {
    public:
        Socket(std::size_t number, const ClientFrames& frames, const std::string& address) : m_frames(frames) {
            m_socket.set(zmq::sockopt::linger, 0);
            m_socket.set(zmq::sockopt::routing_id, replay_routing_id(number));
            m_socket.connect(address);
            m_kinds.reserve(frames.size());
            for (const auto& exchange : frames) {
                m_kinds.push_back(request_kind(exchange.request));
            }
        }
        void exchange(std::size_t count) {
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t index = m_next++ % m_frames.size();
                const std::string& request = m_frames[index].request;
                zmq::message_t frame(const_cast<char*>(request.data()), request.size(), no_free);
                m_socket.send(frame, zmq::send_flags::none);
                zmq::message_t reply;
                // A ROUTER that died must not leave the benchmark waiting for ever.
                if (!receive_reply(m_socket, reply, std::chrono::seconds(30), m_pace, m_kinds[index])) {
                    throw std::runtime_error("The replay lost a reply");
                }
                // The recorded reply of this very exchange should come back; one of another size
                // means the ROUTER answers from another client's recording, or out of turn, which
                // would void the limit. Comparing sizes costs nothing measurable.
                if (reply.size() != m_frames[(m_next - 1) % m_frames.size()].reply.size()) {
                    throw std::runtime_error("The replay's ROUTER answered out of order");
                }
            }
        }

    private:
        const ClientFrames& m_frames;
        std::vector<std::uint32_t> m_kinds;  // of each frame's request
        ipc_tools::ReplyPace m_pace;
        std::size_t m_next = 0;
        zmq::context_t m_context{1};
        zmq::socket_t m_socket{m_context, zmq::socket_type::req};
    };

    ChildProcess m_router;
    std::vector<std::unique_ptr<Socket>> m_sockets;
};

}  // namespace bench
