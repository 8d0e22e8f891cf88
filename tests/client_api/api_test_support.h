#pragma once

// Helpers of the public API's tests: the reference server as a separate program, and reads
// simulated under its signal model, built only through the public API.

#include "client_api/read.h"
#include "client_api/server_query.h"
#include "slow_factor.h"
#include "temp_dir.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace api_test {

using namespace std::chrono_literals;

using test_support::slow_factor;

/// `ms` as it would be on an idle machine in a plain build, scaled for the sanitizer and the load:
/// for time-outs of requests that are meant to be answered.
inline std::uint32_t scaled_ms(std::uint32_t ms) {
    return static_cast<std::uint32_t>(test_support::time_margin(std::chrono::milliseconds(ms)).count());
}

using test_support::condition_timeout;

using test_support::TempDir;

inline std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

/// Starts a program with its standard output in `output_path` and its standard error in
/// `error_path` (empty: with the output); its process id.
inline pid_t spawn_program(std::vector<std::string> arguments, const std::string& output_path,
                           const std::string& error_path = {}) {
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (error_path.empty()) {
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error("Cannot start " + arguments[0]);
    }
    return pid;
}

/// The reference server program on a private ipc:// endpoint, stopped (and reaped) on destruction.
class ServerProcess {
public:
    explicit ServerProcess(std::vector<std::string> extra_arguments = {}) : m_log(m_dir.path("server.log")) {
        std::vector<std::string> arguments{VEXIL_REFERENCE_SERVER_PROGRAM, "--address", address(), "--request-log",
                                           m_dir.path("requests.log")};
        arguments.insert(arguments.end(), extra_arguments.begin(), extra_arguments.end());
        m_pid = spawn_program(std::move(arguments), m_log);
        const auto deadline = std::chrono::steady_clock::now() + condition_timeout;
        while (read_file(m_log).find("listening on") == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                stop();
                throw std::runtime_error("The reference server did not start: " + read_file(m_log));
            }
            std::this_thread::sleep_for(5ms);
        }
        wait_until_answering();
    }
    ~ServerProcess() { stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    std::string address() const { return m_dir.ipc_endpoint(); }
    pid_t pid() const { return m_pid; }
    /// One line per request the server handled.
    std::string requests() const { return read_file(m_dir.path("requests.log")); }
    const TempDir& dir() const { return m_dir; }

private:
    /// Returns once the server has answered a request (a QUERY, with whatever its faults make of
    /// it): a program just started may take a while, which a test of how it answers must not count.
    void wait_until_answering() {
        const auto deadline = std::chrono::steady_clock::now() + condition_timeout;
        std::string ignored;
        while (vexil::server_query::get_server_information(ignored, address(), 1000) == vexil::Result::timed_out) {
            if (std::chrono::steady_clock::now() > deadline) {
                stop();
                throw std::runtime_error("The reference server does not answer: " + read_file(m_log));
            }
        }
    }
    void stop() {
        if (m_pid <= 0) {
            return;
        }
        kill(m_pid, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + condition_timeout;
        while (waitpid(m_pid, nullptr, WNOHANG) != m_pid) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(5ms);
        }
        m_pid = 0;
    }

    TempDir m_dir;
    std::string m_log;
    pid_t m_pid = 0;
};

inline std::string random_sequence(std::size_t bases, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> base(0, 3);
    std::string sequence;
    for (std::size_t i = 0; i < bases; ++i) {
        sequence.push_back("ACGT"[base(random)]);
    }
    return sequence;
}

/// A read that the server calls back to exactly `sequence`: `stride` samples a base at the base's
/// level (A 70, C 90, G 110, T 130 pA) with a little noise, current = (raw + offset) * scaling.
inline vexil::Read make_read(std::uint64_t tag, const std::string& sequence, std::uint32_t stride = 5) {
    constexpr float offset = 10.0F;
    constexpr float scaling = 0.5F;
    std::mt19937 random(static_cast<std::uint32_t>(tag) + 1U);
    std::uniform_real_distribution<double> noise(-3.0, 3.0);
    std::vector<std::int16_t> raw;
    raw.reserve(sequence.size() * stride);
    for (const char base : sequence) {
        const double level = 70.0 + 20.0 * static_cast<double>(std::string("ACGT").find(base));
        for (std::uint32_t i = 0; i < stride; ++i) {
            raw.push_back(static_cast<std::int16_t>(std::lround((level + noise(random)) / scaling - offset)));
        }
    }
    vexil::Read read;
    read.set_read_tag(tag);
    read.get_metadata().insert("read_id", "read_" + std::to_string(tag));
    read.get_metadata().insert<float>("daq_offset", offset);
    read.get_metadata().insert<float>("daq_scaling", scaling);
    read.get_datasets().emplace(bass::data_wrappers::dataset::raw_data, bass::data_wrappers::DataView(std::move(raw)));
    return read;
}

inline std::string sequence_of(const vexil::Read& read) {
    const auto found = read.get_datasets().find(bass::data_wrappers::dataset::sequence);
    return found == read.get_datasets().end() ? std::string() : found->second.get_string();
}

}  // namespace api_test
