#include "reference_server/server_options.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace reference_server {

namespace {

constexpr std::uint64_t max_load_file_megabytes = std::uint64_t{1} << 20;  // a tebibyte
constexpr std::uint64_t max_split_parts = 100;

std::uint64_t parse_unsigned(const std::string& what, const std::string& text) {
    std::size_t used = 0;
    unsigned long long value = 0;
    try {
        value = std::stoull(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || text[0] == '-') {
        throw std::invalid_argument(what + " must be a non-negative number, got '" + text + "'");
    }
    return value;
}

double parse_double(const std::string& what, const std::string& text) {
    std::size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size()) {
        throw std::invalid_argument(what + " must be a number, got '" + text + "'");
    }
    return value;
}

std::uint32_t parse_stride(const std::string& text) {
    const auto stride = parse_unsigned("Model stride", text);
    if (stride == 0 || stride > 1000) {
        throw std::invalid_argument("Model stride must lie between 1 and 1000, got '" + text + "'");
    }
    return static_cast<std::uint32_t>(stride);
}

}  // namespace

std::size_t default_calling_threads() {
    const unsigned int cores = std::max(1U, std::thread::hardware_concurrency());
    return std::clamp<std::size_t>(cores / 2, 1, 8);
}

std::vector<BasecallConfiguration> default_configurations() {
    BasecallConfiguration fast;
    fast.name = "dna_sim_fast";
    fast.model_stride = 5;
    BasecallConfiguration hac;
    hac.name = "dna_sim_hac";
    hac.model_stride = 10;
    BasecallConfiguration duplex;
    duplex.name = "dna_sim_duplex";
    duplex.model_stride = 5;
    duplex.duplex = true;
    return {fast, hac, duplex};
}

BasecallConfiguration parse_configuration(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        throw std::invalid_argument("A configuration is given as name:stride, got '" + text + "'");
    }
    BasecallConfiguration config;
    config.name = text.substr(0, colon);
    config.model_stride = parse_stride(text.substr(colon + 1));
    return config;
}

std::vector<BasecallConfiguration> read_configuration_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("Cannot open configuration file: " + path);
    }
    std::vector<BasecallConfiguration> configs;
    std::string line;
    std::size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream fields(line);
        std::string name;
        if (!(fields >> name) || name[0] == '#') {
            continue;
        }
        std::string stride;
        std::string model_type;
        std::string duplex;
        fields >> stride >> model_type >> duplex;
        try {
            BasecallConfiguration config;
            config.name = name;
            config.model_stride = parse_stride(stride);
            if (!model_type.empty()) {
                config.model_type = model_type;
            }
            if (!duplex.empty() && duplex != "duplex") {
                throw std::invalid_argument("the fourth field may only be 'duplex', got '" + duplex + "'");
            }
            config.duplex = duplex == "duplex";
            configs.push_back(config);
        } catch (const std::invalid_argument& error) {
            throw std::runtime_error(path + ":" + std::to_string(number) + ": " + error.what());
        }
    }
    if (configs.empty()) {
        throw std::runtime_error("Configuration file lists no configuration: " + path);
    }
    return configs;
}

void validate_address(const std::string& address) {
    if (address.rfind("ipc://", 0) == 0) {
        if (address.size() == 6) {
            throw std::invalid_argument("Address '" + address + "' names no socket path");
        }
        return;
    }
    if (address.rfind("tcp://", 0) == 0) {
        const auto colon = address.rfind(':');
        const std::string port = address.substr(colon + 1);
        if (colon <= 6 || port.empty() || (port != "*" && port.find_first_not_of("0123456789") != std::string::npos)) {
            throw std::invalid_argument("Address '" + address + "' must be tcp://<host>:<port>");
        }
        return;
    }
    throw std::invalid_argument("Address '" + address + "' must begin with ipc:// or tcp://");
}

std::string usage_text(const std::string& program) {
    return "Usage:\n"
           "  " +
           program +
           " --address ADDRESS [options]     run the reference basecall server\n"
           "  " +
           program +
           " simulate (--sequence ACGT...|--fasta FILE) [options]\n"
           "                                      write the raw signal of a simulated read\n"
           "\n"
           "Server options:\n"
           "  --address ADDRESS        ipc://PATH or tcp://HOST:PORT to bind (required)\n"
           "  --config NAME:STRIDE     offer a basecall configuration (repeatable); default:\n"
           "                           dna_sim_fast:5, dna_sim_hac:10, dna_sim_duplex:5\n"
           "  --config-file FILE       configurations, one 'name stride [model_type] [duplex]' a line\n"
           "  --no-model               answer reads without running the signal model (benchmarks)\n"
           "  --max-reads-per-client N answer NOT_READY once a client has N reads on the server\n"
           "  --calling-threads N      threads that call reads with the model (0: inside the request)\n"
           "  --no-held-pulls          answer NONE_PENDING to a pull whose read is still being called\n"
           "  --call-time-us N         call reads one after another, N microseconds each (fast mode)\n"
           "  --max-load-file-mb N     refuse alignment index and BED files above N MiB (default 256)\n"
           "  --split-reads K          return every read of at least K bases as its parent plus K\n"
           "                           sub-reads, sub-read i holding the i-th of K equal parts of\n"
           "                           the parent's bases (K from 1 to 100)\n"
           "  --fault RULE             inject a fault (repeatable), RULE being\n"
           "                           action[,request=TYPE][,client=ID][,from=N][,count=N|forever]\n"
           "                           [,delay=MS][,text=TEXT]; actions: loading, not_ready,\n"
           "                           none_pending, reads_lost, client_not_recognised, restart,\n"
           "                           bad_request, silence, delay, malformed_short,\n"
           "                           malformed_identifier, malformed_content, unknown_read_tag,\n"
           "                           zero_duration, oversized_genome_name\n"
           "  --request-log FILE       append one line per request to FILE\n"
           "  --quiet                  no start-up line\n"
           "  --help                   this text\n"
           "\n"
           "Simulate options:\n"
           "  --sequence BASES         the read's bases (A, C, G, T)\n"
           "  --fasta FILE             take the bases from the first record of a FASTA file\n"
           "  --stride N               samples per base (default 5)\n"
           "  --offset X, --scaling X  digitiser offset and scaling (default 10 and 0.5)\n"
           "  --noise X                noise bound in pA, 0 to 9 (default 3)\n"
           "  --seed N                 noise seed (default 1)\n"
           "  --output FILE            write there instead of standard output\n"
           "  --binary                 write little-endian int16 samples instead of one number a line\n";
}

namespace {

/// The command line's arguments, read one after the other.
class ArgumentReader {
public:
    ArgumentReader(const std::vector<std::string>& arguments, std::size_t first)
        : m_arguments(arguments), m_next(first) {}

    bool next(std::string& argument) {
        if (m_next >= m_arguments.size()) {
            return false;
        }
        argument = m_arguments[m_next++];
        return true;
    }
    std::string value_of(const std::string& option) {
        if (m_next >= m_arguments.size()) {
            throw std::invalid_argument("Option " + option + " needs a value");
        }
        return m_arguments[m_next++];
    }

private:
    const std::vector<std::string>& m_arguments;
    std::size_t m_next;
};

/// Takes one option of the server mode into `server`; false for an option it does not know.
/// The first --config or --config-file replaces the default configurations.
bool read_server_option(const std::string& argument, ArgumentReader& reader, ServerOptions& server,
                        bool& configs_given) {
    const auto replace_defaults = [&] {
        if (!configs_given) {
            server.configurations.clear();
            configs_given = true;
        }
    };
    if (argument == "--address") {
        server.address = reader.value_of(argument);
    } else if (argument == "--config") {
        replace_defaults();
        server.configurations.push_back(parse_configuration(reader.value_of(argument)));
    } else if (argument == "--config-file") {
        const auto from_file = read_configuration_file(reader.value_of(argument));
        replace_defaults();
        server.configurations.insert(server.configurations.end(), from_file.begin(), from_file.end());
    } else if (argument == "--no-model") {
        server.use_signal_model = false;
    } else if (argument == "--max-reads-per-client") {
        server.max_reads_per_client = parse_unsigned(argument, reader.value_of(argument));
    } else if (argument == "--no-held-pulls") {
        server.hold_pulls = false;
    } else if (argument == "--call-time-us") {
        server.call_time = std::chrono::microseconds(parse_unsigned(argument, reader.value_of(argument)));
    } else if (argument == "--max-load-file-mb") {
        const auto megabytes = parse_unsigned(argument, reader.value_of(argument));
        if (megabytes == 0 || megabytes > max_load_file_megabytes) {
            throw std::invalid_argument("--max-load-file-mb must lie between 1 and " +
                                        std::to_string(max_load_file_megabytes));
        }
        server.max_load_file_bytes = megabytes << 20;
    } else if (argument == "--split-reads") {
        const auto parts = parse_unsigned(argument, reader.value_of(argument));
        if (parts == 0 || parts > max_split_parts) {
            throw std::invalid_argument("--split-reads must lie between 1 and " + std::to_string(max_split_parts));
        }
        server.split_reads = static_cast<std::uint32_t>(parts);
    } else if (argument == "--calling-threads") {
        server.calling_threads = parse_unsigned(argument, reader.value_of(argument));
    } else if (argument == "--fault") {
        server.faults.push_back(parse_fault_rule(reader.value_of(argument)));
    } else if (argument == "--request-log") {
        server.request_log_path = reader.value_of(argument);
    } else if (argument == "--quiet") {
        server.quiet = true;
    } else {
        return false;
    }
    return true;
}

/// Takes one option of the simulate mode into `command`; false for an option it does not know.
bool read_simulate_option(const std::string& argument, ArgumentReader& reader, CommandLine& command) {
    if (argument == "--sequence") {
        command.sequence = reader.value_of(argument);
    } else if (argument == "--fasta") {
        command.fasta_path = reader.value_of(argument);
    } else if (argument == "--stride") {
        command.simulation.model_stride = parse_stride(reader.value_of(argument));
    } else if (argument == "--offset") {
        command.simulation.daq_offset = static_cast<float>(parse_double(argument, reader.value_of(argument)));
    } else if (argument == "--scaling") {
        command.simulation.daq_scaling = static_cast<float>(parse_double(argument, reader.value_of(argument)));
    } else if (argument == "--noise") {
        command.simulation.noise_bound = parse_double(argument, reader.value_of(argument));
    } else if (argument == "--seed") {
        command.simulation.seed = static_cast<std::uint32_t>(parse_unsigned(argument, reader.value_of(argument)));
    } else if (argument == "--output") {
        command.output_path = reader.value_of(argument);
    } else if (argument == "--binary") {
        command.binary_output = true;
    } else {
        return false;
    }
    return true;
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& arguments) {
    CommandLine command;
    const bool simulate = !arguments.empty() && arguments[0] == "simulate";
    if (simulate) {
        command.mode = CommandLine::Mode::simulate;
    }
    ArgumentReader reader(arguments, simulate ? 1 : 0);
    bool configs_given = false;
    for (std::string argument; reader.next(argument);) {
        if (argument == "--help" || argument == "-h") {
            command.mode = CommandLine::Mode::help;
            return command;
        }
        const bool known = simulate ? read_simulate_option(argument, reader, command)
                                    : read_server_option(argument, reader, command.server, configs_given);
        if (!known) {
            throw std::invalid_argument("Unknown argument '" + argument + "' (see --help)");
        }
    }
    if (simulate) {
        if (command.sequence.empty() == command.fasta_path.empty()) {
            throw std::invalid_argument("simulate needs exactly one of --sequence and --fasta");
        }
    } else {
        if (command.server.address.empty()) {
            throw std::invalid_argument("--address is required (see --help)");
        }
        validate_address(command.server.address);
    }
    return command;
}

}  // namespace reference_server
