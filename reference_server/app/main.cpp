// The reference basecall server program: serves clients on an ipc:// or tcp:// address until
// SIGINT or SIGTERM, or simulates the raw signal of a read.

#include "reference_server/alignment_index.h"
#include "reference_server/reference_server.h"
#include "reference_server/server_options.h"
#include "reference_server/signal_model.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <pthread.h>

namespace {

using namespace reference_server;

int simulate(const CommandLine& command) {
    std::string sequence = command.sequence;
    if (!command.fasta_path.empty()) {
        const auto index = AlignmentIndex::load_fasta(command.fasta_path);
        if (index.empty() || index.references().front().sequence.empty()) {
            throw std::runtime_error("FASTA file holds no sequence: " + command.fasta_path);
        }
        sequence = index.references().front().sequence;
    }
    const auto raw = simulate_read(sequence, command.simulation);
    std::ofstream file;
    if (!command.output_path.empty()) {
        file.open(command.output_path, std::ios::binary);
        if (!file) {
            throw std::runtime_error("Cannot write " + command.output_path);
        }
    }
    std::ostream& out = command.output_path.empty() ? std::cout : file;
    if (command.binary_output) {
        for (const std::int16_t sample : raw) {
            const char bytes[2] = {static_cast<char>(sample & 0xFF), static_cast<char>((sample >> 8) & 0xFF)};
            out.write(bytes, 2);
        }
    } else {
        for (const std::int16_t sample : raw) {
            out << sample << '\n';
        }
    }
    out.flush();
    return out ? 0 : 1;
}

int serve(const CommandLine& command) {
    // Block the stop signals in every thread; this thread then waits for them synchronously.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::ofstream request_log;
    if (!command.server.request_log_path.empty()) {
        request_log.open(command.server.request_log_path, std::ios::app);
        if (!request_log) {
            throw std::runtime_error("Cannot open request log file: " + command.server.request_log_path);
        }
    }
    ReferenceServer server(command.server);
    if (request_log.is_open()) {
        server.set_request_observer([&request_log](const LoggedRequest& request) {
            request_log << RequestLog::format(request) << std::endl;
        });
    }
    if (!command.server.quiet) {
        std::cout << "vexil_reference_server listening on " << server.endpoint()
                  << (command.server.use_signal_model ? "" : " (no signal model)") << std::endl;
    }
    int received = 0;
    sigwait(&stop_signals, &received);
    server.stop();
    if (!command.server.quiet) {
        std::cout << "vexil_reference_server stopped (" << (received == SIGINT ? "SIGINT" : "SIGTERM") << ")"
                  << std::endl;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 0 ? argv[0] : "vexil_reference_server";
    try {
        const auto command = parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
        switch (command.mode) {
            case CommandLine::Mode::help:
                std::cout << usage_text(program);
                return 0;
            case CommandLine::Mode::simulate:
                return simulate(command);
            case CommandLine::Mode::serve:
                return serve(command);
        }
    } catch (const std::invalid_argument& error) {
        std::cerr << "vexil_reference_server: " << error.what() << '\n';
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "vexil_reference_server: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
