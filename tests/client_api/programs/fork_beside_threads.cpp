// Forks while other threads use the library, and checks that each child can use it and end.
// The last line on standard output sums the run up: "forks N hung H failed F"; the exit status is
// 0 when no child hung or failed. A child not ended within the bound counts as hung and is killed.
//
//   fork_beside_threads clients ADDRESS FORKS MAX_HUNG
//     Six threads make clients and call set_params, two of them also connect and disconnect; each child
//     makes a client, sets its parameters, connects and disconnects it (only the first two under
//     ThreadSanitizer, which cannot start threads in the child of a process that has threads).
//   fork_beside_threads forwarder FORKS MAX_HUNG
//     Threads log warnings to a log forwarder, and two other threads fork at once, each from inside
//     the forwarder called for its own record; each child logs a record that must reach the
//     forwarder, removes the forwarder and exits. Writes "met M" first: how often both forked at once.
//   fork_beside_threads blocked_sink DRAIN_AFTER_MS
//     Standard error is a pipe nobody reads: a thread's warning is stuck writing to it when the main
//     thread forks. Writes "fork_ms T" before the summary; the pipe is drained DRAIN_AFTER_MS after
//     the writer stuck, so that a fork that waits for the stuck record ends too.

#include "client_api/log_forwarding.h"
#include "client_api/vexil_client.h"
#include "common/logger.h"
#include "test_support/forked_child.h"
#include "test_support/slow_factor.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Tally {
    std::atomic<int> forks{0};
    std::atomic<int> hung{0};
    std::atomic<int> failed{0};

    // Waits for the child within the bound; kills it when it does not end.
    void wait_for(pid_t child) {
        ++forks;
        // A child's work takes well under a second.
        const auto deadline = Clock::now() + test_support::time_margin(std::chrono::seconds(5));
        int status = 0;
        while (waitpid(child, &status, WNOHANG) != child) {
            if (Clock::now() > deadline) {
                kill(child, SIGKILL);
                waitpid(child, nullptr, 0);
                ++hung;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        failed += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
    }

    int report() const {
        std::cout << "forks " << forks << " hung " << hung << " failed " << failed << std::endl;
        return hung == 0 && failed == 0 && forks > 0 ? 0 : 1;
    }
};

/// Runs `work` on `count` threads until destroyed.
class Busy {
public:
    Busy(int count, const std::function<void(int)>& work) {
        for (int i = 0; i < count; ++i) {
            m_threads.emplace_back([this, i, work] {
                while (!m_stop.load()) {
                    if (m_pausers.load() > 0) {
                        ++m_idle;
                        while (m_pausers.load() > 0 && !m_stop.load()) {
                            std::this_thread::sleep_for(std::chrono::microseconds(100));
                        }
                        --m_idle;
                        continue;
                    }
                    work(i);
                }
            });
        }
        s_current = this;
    }
    ~Busy() {
        s_current = nullptr;
        m_stop.store(true);
        for (auto& thread : m_threads) {
            thread.join();
        }
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

    /// fork(), with the threads idle between two calls of `work` under AddressSanitizer: its
    /// allocator (GCC 12) has no fork handling, so a child that allocates could wait for ever on a
    /// lock of it that a parent thread held at the fork. The release and ThreadSanitizer builds fork
    /// beside the threads at work.
    static pid_t fork_beside() {
#if defined(__SANITIZE_ADDRESS__)
        Busy& busy = *s_current;
        ++busy.m_pausers;
        while (busy.m_idle.load() != static_cast<int>(busy.m_threads.size())) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        const pid_t child = fork();
        if (child != 0) {
            --busy.m_pausers;
        }
        return child;
#else
        return fork();
#endif
    }

private:
    static inline Busy* s_current = nullptr;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_pausers{0};
    std::atomic<int> m_idle{0};
    std::vector<std::thread> m_threads;
};

bass::data_wrappers::Metadata params(const std::string& name) {
    bass::data_wrappers::Metadata params;
    params.insert("client_name", name);
    params.insert<std::uint32_t>("query_timeout", 2000 * test_support::slow_factor);
    params.insert<std::uint32_t>("reconnect_timeout", 5);
    return params;
}

int clients(const std::string& address, int forks, int max_hung) {
    // The process's first client, as an application makes it before its threads.
    vexil::VexilClient(address, "dna_sim_fast", "", false).set_params(params("first"));
    Tally tally;
    {
        const Busy parent_threads(6, [&](int i) {
            vexil::VexilClient client(address, "dna_sim_fast", "", false);
            client.set_params(params("parent_" + std::to_string(i)));
            if (i < 2 && client.connect() == vexil::Result::success) {
                client.disconnect();
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (int i = 0; i < forks && tally.hung < max_hung; ++i) {
            const pid_t child = Busy::fork_beside();
            if (child == 0) {
                test_support::mark_forked_child();
                bool ok = false;
                {
                    vexil::VexilClient client(address, "dna_sim_fast", "", false);
                    ok = client.set_params(params("child")) == vexil::Result::success;
#if !defined(__SANITIZE_THREAD__)
                    ok = ok && client.connect() == vexil::Result::success &&
                         client.disconnect() == vexil::Result::success;
#endif
                }
                std::exit(ok ? 0 : 1);
            }
            tally.wait_for(child);
        }
    }
    return tally.report();
}

// Two threads fork at once, each from inside the forwarder called for its own record: there they
// wait for each other first (a while at most).
class Rendezvous {
public:
    void meet() {
        std::unique_lock<std::mutex> lock(m_mutex);
        const long round = m_round;
        if (++m_arrived == 2) {
            m_arrived = 0;
            ++m_round;
            m_met.notify_all();
        } else if (!m_met.wait_for(lock, test_support::time_margin(std::chrono::milliseconds(100)),
                                   [&] { return m_round != round; })) {
            --m_arrived;
        }
    }

    long rounds() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_round;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_met;
    int m_arrived = 0;
    long m_round = 0;
};

Rendezvous g_forkers;
thread_local pid_t t_child = -1;
std::atomic<bool> g_child_record_forwarded{false};

void forward(vexil::LogSeverity, const std::string& text) {
    if (text == "fork now") {
        g_forkers.meet();
        t_child = Busy::fork_beside();
        if (t_child == 0) {
            test_support::mark_forked_child();
        }
    } else if (text == "child record") {
        g_child_record_forwarded.store(true);
    }
}

int forwarder(int forks, int max_hung) {
    vexil::set_log_forwarder(forward);
    Tally tally;
    {
        const Busy loggers(4, [](int) { ZEV_LOG(common::logging::warning) << "busy"; });
        std::vector<std::thread> forkers;
        for (int forker = 0; forker < 2; ++forker) {
            forkers.emplace_back([&] {
                for (int i = 0; i < forks / 2 && tally.hung < max_hung; ++i) {
                    ZEV_LOG(common::logging::warning) << "fork now";
                    if (t_child == 0) {
                        ZEV_LOG(common::logging::warning) << "child record";
                        const bool forwarded = g_child_record_forwarded.load();
                        vexil::set_log_forwarder({});
                        std::exit(forwarded ? 0 : 1);
                    }
                    tally.wait_for(t_child);
                }
            });
        }
        for (auto& forker : forkers) {
            forker.join();
        }
    }
    vexil::set_log_forwarder({});
    std::cout << "met " << g_forkers.rounds() << std::endl;
    return tally.report();
}

int blocked_sink(std::chrono::milliseconds drain_after) {
    vexil::set_log_forwarder({});  // the library's default configuration: warnings on stderr
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0 || dup2(pipe_ends[1], STDERR_FILENO) != STDERR_FILENO) {
        return 2;
    }
    const int capacity = fcntl(pipe_ends[0], F_GETPIPE_SZ);
    std::atomic<int> written{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> writer_done{false};
    std::thread writer([&] {
        while (!stop.load()) {
            ZEV_LOG(common::logging::warning) << "a record that fills standard error " << written.fetch_add(1);
        }
    });
    // Stuck: the pipe is nearly full and the writer has not moved for a while.
    for (int last = -1, still = 0; still < 20; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        int queued = 0;
        ioctl(pipe_ends[0], FIONREAD, &queued);
        const int now = written.load();
        still = now == last && queued > capacity - 1024 ? still + 1 : 0;
        last = now;
    }
    std::thread drainer([&] {
        std::this_thread::sleep_for(drain_after);
        fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK);
        char buffer[4096];
        while (!writer_done.load()) {
            while (read(pipe_ends[0], buffer, sizeof(buffer)) > 0) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        test_support::mark_forked_child();
        ZEV_LOG(common::logging::warning) << "child record";
        vexil::set_log_forwarder([](vexil::LogSeverity, const std::string&) {});
        std::exit(0);
    }
    const auto fork_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    Tally tally;
    tally.wait_for(child);
    stop.store(true);
    writer.join();
    writer_done.store(true);
    drainer.join();
    std::cout << "fork_ms " << fork_ms << std::endl;
    return tally.report();
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 4 && arguments[0] == "clients") {
        return clients(arguments[1], std::stoi(arguments[2]), std::stoi(arguments[3]));
    }
    if (arguments.size() == 3 && arguments[0] == "forwarder") {
        return forwarder(std::stoi(arguments[1]), std::stoi(arguments[2]));
    }
    if (arguments.size() == 2 && arguments[0] == "blocked_sink") {
        return blocked_sink(std::chrono::milliseconds(std::stoi(arguments[1])));
    }
    std::cerr << "usage: fork_beside_threads clients ADDRESS FORKS MAX_HUNG | forwarder FORKS MAX_HUNG | "
                 "blocked_sink DRAIN_AFTER_MS\n";
    return 2;
}
