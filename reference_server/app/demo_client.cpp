// A small client that walks a newcomer through the client engine against a running basecall
// server: connect (the engine loads and looks up the configuration), pass simulated reads, finish,
// collect the called reads, check every sequence, then disconnect. It prints a short summary and
// exits 0 only when every read came back exactly as it was simulated.

#include "basecall_client/basecall_client.h"
#include "basecall_client/read_processing_protocol.h"
#include "data_wrappers/data_view.h"
#include "interfaces/read_holder.h"
#include "ipc_tools/connection_info.h"
#include "reference_server/signal_model.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using basecall_service::BasecallClient;
using basecall_service::ClientStatus;
using basecall_service::PassReadResult;
using bass::data_wrappers::dataset;
using Clock = std::chrono::steady_clock;

const char* const PROGRAM_NAME = "vexil_demo_client";

/// Exit statuses: 0 every read came back exactly, 1 the run failed or a read was wrong or
/// missing, 2 the command line was not understood.
constexpr int EXIT_MISMATCH_OR_FAILURE = 1;
constexpr int EXIT_BAD_ARGUMENTS = 2;

/// Reads the engine may hold before pass_read reports a full queue.
constexpr unsigned long MAX_QUEUED_READS = 100;
/// Reads the engine may fail to call through reconnections before it gives them back uncalled.
constexpr unsigned long MAX_READ_FAILURES = 10;
/// The demo passes every read at once, so the server has nothing more to return once the engine
/// has pushed them all: no reason to wait the engine's default pause before NO_MORE_DATA.
constexpr std::chrono::milliseconds NO_MORE_DATA_PAUSE{10};

struct DemoOptions {
    std::string address;
    std::uint32_t reads = 200;
    std::string config = "dna_sim_fast";
    std::uint32_t block_size = 4000;  ///< samples per raw block; small so that long reads span several
    std::uint32_t min_bases = 50;
    std::uint32_t max_bases = 3000;
    std::uint32_t seed = 1;
    std::uint32_t timeout_ms = 5000;  ///< poll time-out of every request
    std::uint32_t load_timeout_s = 30;
    std::uint32_t wait_s = 60;  ///< longest wait for every read to come back once all are passed
    /// How long the engine keeps reconnecting after time-outs; short, so that a demo against a
    /// server that does not answer ends within seconds rather than the engine's five minutes.
    std::uint32_t reconnect_s = 10;
    bool help = false;
};

std::string usage_text() {
    std::ostringstream text;
    text << "Usage: " << PROGRAM_NAME << " --address ADDRESS [--reads N] [options]\n"
         << "\n"
         << "Connects to a basecall server through the client engine, passes N simulated reads,\n"
         << "collects the called reads and checks that each sequence is exactly the simulated one.\n"
         << "\n"
         << "  --address ADDRESS     server endpoint: ipc://PATH, tcp://HOST:PORT or HOST:PORT\n"
         << "  --reads N             number of reads to send (default 200)\n"
         << "  --config NAME         basecalling configuration (default dna_sim_fast)\n"
         << "  --block-size N        raw samples per block (default 4000)\n"
         << "  --min-bases N         shortest simulated read in bases (default 50)\n"
         << "  --max-bases N         longest simulated read in bases (default 3000)\n"
         << "  --seed N              seed of the simulated reads (default 1)\n"
         << "  --timeout-ms N        time to wait for each reply (default 5000)\n"
         << "  --load-timeout-s N    time to wait for the configuration to load (default 30)\n"
         << "  --wait-s N            give up on outstanding reads N s after the last is passed (default 60)\n"
         << "  --reconnect-s N       keep reconnecting after time-outs for N s, 0 for never (default 10)\n"
         << "  --help                show this text\n"
         << "\n"
         << "Exit status: 0 when every read came back exactly, 1 when the run failed or a read was\n"
         << "missing or wrong, 2 for bad arguments.\n";
    return text.str();
}

std::uint32_t parse_count(const std::string& option, const std::string& value, std::uint32_t minimum) {
    // Digits only: stoul would accept "-1" and " 12x".
    if (value.empty() || !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        throw std::invalid_argument(option + " needs a whole number, not '" + value + "'");
    }
    unsigned long number = 0;
    try {
        number = std::stoul(value);
    } catch (const std::out_of_range&) {
        throw std::invalid_argument(option + " is out of range: " + value);
    }
    if (number > UINT32_MAX) {
        throw std::invalid_argument(option + " is out of range: " + value);
    }
    if (number < minimum) {
        throw std::invalid_argument(option + " must be at least " + std::to_string(minimum));
    }
    return static_cast<std::uint32_t>(number);
}

DemoOptions parse_arguments(const std::vector<std::string>& arguments) {
    DemoOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--help" || option == "-h") {
            options.help = true;
            return options;
        }
        if (i + 1 >= arguments.size()) {
            throw std::invalid_argument(option.rfind("--", 0) == 0 ? option + " needs a value"
                                                                   : "Unknown argument: " + option);
        }
        const std::string& value = arguments[++i];
        if (option == "--address") {
            options.address = value;
        } else if (option == "--reads") {
            options.reads = parse_count(option, value, 1);
        } else if (option == "--config") {
            options.config = value;
        } else if (option == "--block-size") {
            options.block_size = parse_count(option, value, 1);
        } else if (option == "--min-bases") {
            options.min_bases = parse_count(option, value, 1);
        } else if (option == "--max-bases") {
            options.max_bases = parse_count(option, value, 1);
        } else if (option == "--seed") {
            options.seed = parse_count(option, value, 0);
        } else if (option == "--timeout-ms") {
            options.timeout_ms = parse_count(option, value, 1);
        } else if (option == "--load-timeout-s") {
            options.load_timeout_s = parse_count(option, value, 1);
        } else if (option == "--wait-s") {
            options.wait_s = parse_count(option, value, 1);
        } else if (option == "--reconnect-s") {
            options.reconnect_s = parse_count(option, value, 0);
        } else {
            throw std::invalid_argument("Unknown argument: " + option);
        }
    }
    if (options.address.empty()) {
        throw std::invalid_argument("--address is required (see --help)");
    }
    if (options.config.empty()) {
        throw std::invalid_argument("--config may not be empty");
    }
    if (options.min_bases > options.max_bases) {
        throw std::invalid_argument("--min-bases may not exceed --max-bases");
    }
    return options;
}

/// One read as the engine takes it, together with the sequence it must come back as.
struct SimulatedRead {
    std::unique_ptr<interfaces::ReadHolder> holder;
    std::string read_id;
    std::string sequence;
    std::size_t samples = 0;
};

/// Random sequences of varied length turned into signal by the server's own model, so the
/// server must call each one back to exactly its source.
class ReadSimulator {
public:
    ReadSimulator(const DemoOptions& options, std::uint64_t model_stride)
        : m_options(options), m_model_stride(model_stride), m_random(options.seed) {}

    SimulatedRead make(std::uint32_t tag) {
        std::uniform_int_distribution<std::uint32_t> length(m_options.min_bases, m_options.max_bases);
        std::uniform_int_distribution<int> base(0, 3);
        SimulatedRead read;
        read.read_id = "demo_read_" + std::to_string(tag);
        const std::uint32_t bases = length(m_random);
        read.sequence.reserve(bases);
        for (std::uint32_t i = 0; i < bases; ++i) {
            read.sequence.push_back("ACGT"[base(m_random)]);
        }
        reference_server::SimulationParameters params;
        params.model_stride = static_cast<std::uint32_t>(m_model_stride);
        params.daq_offset = 10.0F;
        params.daq_scaling = 0.5F;
        params.noise_bound = 6.0;
        params.seed = m_options.seed * 7919U + tag;
        std::vector<std::int16_t> raw = reference_server::simulate_read(read.sequence, params);
        read.samples = raw.size();

        read.holder = std::make_unique<interfaces::ReadHolder>();
        read.holder->read_tag = tag;
        read.holder->metadata.insert("read_id", read.read_id);
        read.holder->metadata.insert("strand_id", read.read_id + "_strand");
        read.holder->metadata.insert<float>("daq_offset", params.daq_offset);
        read.holder->metadata.insert<float>("daq_scaling", params.daq_scaling);
        read.holder->metadata.insert<std::uint64_t>("duration", raw.size());
        read.holder->metadata.insert<std::uint64_t>("model_stride", m_model_stride);
        read.holder->datasets.emplace(dataset::raw_data, bass::data_wrappers::DataView(std::move(raw)));
        return read;
    }

private:
    const DemoOptions& m_options;
    std::uint64_t m_model_stride;
    std::mt19937 m_random;
};

struct Summary {
    std::uint32_t reads_requested = 0;
    std::uint32_t reads_sent = 0;
    std::uint32_t reads_returned = 0;
    std::uint32_t reads_missing = 0;
    std::uint64_t bases = 0;
    std::uint64_t samples = 0;
    std::uint32_t mismatches = 0;
    double elapsed_s = 0.0;

    bool all_exact() const {
        return reads_sent == reads_requested && reads_returned == reads_sent && mismatches == 0 &&
               reads_missing == 0;
    }
};

void print_summary(const Summary& summary, std::ostream& out) {
    const double rate = summary.elapsed_s > 0.0 ? summary.reads_returned / summary.elapsed_s : 0.0;
    out << "reads sent:       " << summary.reads_sent << '\n'
        << "reads returned:   " << summary.reads_returned << '\n'
        << "bases:            " << summary.bases << '\n'
        << "samples:          " << summary.samples << '\n'
        << "mismatches:       " << summary.mismatches << '\n';
    if (summary.reads_missing > 0) {
        out << "reads missing:    " << summary.reads_missing << '\n';
    }
    out << std::fixed << std::setprecision(3) << "elapsed:          " << summary.elapsed_s << " s\n"
        << std::setprecision(1) << "reads per second: " << rate << '\n'
        << "result:           "
        << (summary.all_exact() ? "every read came back exactly" : "FAILED: not every read came back exactly")
        << std::endl;
}

std::string describe_error(const BasecallClient& client) {
    return basecall_service::to_string(client.get_connection_state().get_error_state());
}

/// Checks the called reads the engine hands back against what was simulated, by read tag.
class ReadChecker {
public:
    void expect(std::uint64_t tag, std::string read_id, std::string sequence) {
        m_outstanding[tag] = Expected{std::move(read_id), std::move(sequence)};
    }

    std::size_t outstanding() const { return m_outstanding.size(); }

    void collect(BasecallClient& client, Summary& summary) {
        interfaces::ReadList completed;
        client.get_completed_reads(completed, interfaces::medium_priority);
        for (const auto& read : completed) {
            check(*read, summary);
        }
    }

    /// Names the reads that never came back.
    void report_missing(Summary& summary) const {
        summary.reads_missing = static_cast<std::uint32_t>(m_outstanding.size());
        for (const auto& [tag, expected] : m_outstanding) {
            std::cerr << PROGRAM_NAME << ": read " << tag << " (" << expected.read_id << ") did not come back"
                      << std::endl;
        }
    }

private:
    struct Expected {
        std::string read_id;
        std::string sequence;
    };

    void check(const interfaces::ReadHolder& read, Summary& summary) {
        const auto found = m_outstanding.find(read.read_tag);
        if (found == m_outstanding.end()) {
            std::cerr << PROGRAM_NAME << ": returned read " << read.read_tag << " was not passed or came back twice"
                      << std::endl;
            summary.mismatches += 1;
            return;
        }
        const Expected expected = std::move(found->second);
        m_outstanding.erase(found);
        if (!read.has_dataset(dataset::sequence)) {
            // The engine gives a read it could not get called back with its raw data only.
            std::cerr << PROGRAM_NAME << ": read " << read.read_tag << " (" << expected.read_id
                      << ") came back uncalled" << std::endl;
            summary.mismatches += 1;
            return;
        }
        const std::string sequence = read.get_dataset(dataset::sequence).get_string();
        const std::size_t qualities =
                read.has_dataset(dataset::qstring) ? read.get_dataset(dataset::qstring).get_string().size() : 0U;
        summary.reads_returned += 1;
        summary.bases += sequence.size();
        if (sequence != expected.sequence || qualities != sequence.size()) {
            summary.mismatches += 1;
            std::cerr << PROGRAM_NAME << ": read " << read.read_tag << " (" << expected.read_id << ") came back as "
                      << sequence.size() << " bases with " << qualities << " qualities, expected "
                      << expected.sequence.size() << " bases"
                      << (sequence.size() == expected.sequence.size() ? " with other content" : "") << std::endl;
        }
    }

    std::map<std::uint64_t, Expected> m_outstanding;
};

/// Passes every read, collecting called reads while the engine's queue is full, so memory stays
/// bounded however many reads the run has.
void pass_all_reads(BasecallClient& client, ReadSimulator& simulator, ReadChecker& checker,
                    const DemoOptions& options, Summary& summary) {
    for (std::uint32_t tag = 0; tag < options.reads; ++tag) {
        SimulatedRead read = simulator.make(tag);
        while (true) {
            const PassReadResult result = client.pass_read(*read.holder, 100);
            if (result == PassReadResult::success) {
                break;
            }
            if (result == PassReadResult::not_accepting_reads) {
                throw std::runtime_error("The client stopped accepting reads after " +
                                         std::to_string(summary.reads_sent) + " of " + std::to_string(options.reads) +
                                         ": " + describe_error(client));
            }
            checker.collect(client, summary);
        }
        summary.reads_sent += 1;
        summary.samples += read.samples;
        checker.expect(tag, std::move(read.read_id), std::move(read.sequence));
    }
}

int run_demo(const DemoOptions& options) {
    BasecallClient client(options.block_size, MAX_QUEUED_READS, MAX_READ_FAILURES,
                          /*disable_events=*/true, /*pull_state_data=*/false, nullptr);
    auto protocol = std::make_shared<basecall_service::ReadProcessingProtocol>();
    protocol->set_no_more_data_pause(NO_MORE_DATA_PAUSE);
    client.set_read_processing_protocol(protocol);
    client.set_reconnect_timeout(std::chrono::seconds(options.reconnect_s));

    ipc_tools::ConnectionInfo info;
    info.config_name = options.config;
    info.client_name = PROGRAM_NAME;
    info.timeout_interval = options.timeout_ms;
    client.connect(options.address, options.timeout_ms, options.load_timeout_s, info);
    if (client.get_connection_state().get_status() != ClientStatus::connected) {
        throw std::runtime_error("Could not connect to " + options.address + ": " + describe_error(client));
    }
    const auto config = client.get_basecalling_config();
    if (config.model_stride == 0) {
        client.disconnect();
        throw std::runtime_error("The server reports model stride 0 for " + options.config);
    }
    const auto connected = client.get_connected_info();
    std::cout << PROGRAM_NAME << ": connected to " << options.address << " as client " << connected.client_uid
              << " (server " << connected.server_version << ", config " << options.config << ", model stride "
              << config.model_stride << ")" << std::endl;

    ReadSimulator simulator(options, config.model_stride);
    ReadChecker checker;
    Summary summary;
    summary.reads_requested = options.reads;
    const auto start = Clock::now();
    try {
        pass_all_reads(client, simulator, checker, options, summary);
    } catch (...) {
        client.disconnect();
        throw;
    }
    const bool finished = client.finish_by(options.wait_s);
    checker.collect(client, summary);
    summary.elapsed_s = std::chrono::duration<double>(Clock::now() - start).count();
    const auto error = client.get_connection_state().get_error_state();
    client.disconnect();

    if (error.code != basecall_service::ConnectionError::no_error) {
        std::cerr << PROGRAM_NAME << ": the connection ended with an error: " << basecall_service::to_string(error)
                  << std::endl;
    }
    if (!finished && checker.outstanding() > 0) {
        std::cerr << PROGRAM_NAME << ": " << checker.outstanding() << " reads still outstanding after "
                  << options.wait_s << " s" << std::endl;
    }
    checker.report_missing(summary);
    print_summary(summary, std::cout);
    return summary.all_exact() && error.code == basecall_service::ConnectionError::no_error
                   ? 0
                   : EXIT_MISMATCH_OR_FAILURE;
}

}  // namespace

int main(int argc, char** argv) {
    DemoOptions options;
    try {
        options = parse_arguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& error) {
        std::cerr << PROGRAM_NAME << ": " << error.what() << '\n';
        return EXIT_BAD_ARGUMENTS;
    }
    if (options.help) {
        std::cout << usage_text();
        return 0;
    }
    try {
        return run_demo(options);
    } catch (const std::exception& error) {
        std::cerr << PROGRAM_NAME << ": " << error.what() << '\n';
        return EXIT_MISMATCH_OR_FAILURE;
    }
}
