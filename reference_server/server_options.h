#pragma once

#include "reference_server/alignment_index.h"
#include "reference_server/fault_rules.h"
#include "reference_server/signal_model.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace reference_server {

/// One basecalling configuration the server offers.
struct BasecallConfiguration {
    std::string name;
    std::uint32_t model_stride = 5;
    std::string model_type = "reference_signal_model";
    std::string model_version_id = "reference_model_v1";
    std::uint32_t label_length = 1;
    float qscore_offset = 0.0F;
    float qscore_scale = 1.0F;
    bool duplex = false;
};

/// The configurations offered when none are given.
std::vector<BasecallConfiguration> default_configurations();

/// Parses "name:stride" (stride a positive number). Throws std::invalid_argument.
BasecallConfiguration parse_configuration(const std::string& text);
/// Reads a configuration file: one configuration per line, "name stride [model_type] [duplex]",
/// where duplex is "duplex" or nothing; blank lines and lines starting with '#' are skipped.
/// Throws std::runtime_error naming the file and line.
std::vector<BasecallConfiguration> read_configuration_file(const std::string& path);

/// Throws std::invalid_argument unless the address is "ipc://<path>" or "tcp://<host>:<port>".
void validate_address(const std::string& address);

/// Calling threads a server uses by default: enough to keep up with a few clients, leaving cores
/// for clients on the same machine.
std::size_t default_calling_threads();

struct ServerOptions {
    std::string address;
    std::vector<BasecallConfiguration> configurations = default_configurations();
    /// False: reads are answered without running the signal model (for throughput tests).
    bool use_signal_model = true;
    std::vector<FaultRule> faults;
    /// Reads a client may have on the server at once; a first block or batch beyond that is
    /// answered NOT_READY.
    std::size_t max_reads_per_client = 1000;
    /// Threads that call reads with the model while the server goes on answering; 0 calls each
    /// read inside the request that completes it, as the fast mode always does.
    std::size_t calling_threads = default_calling_threads();
    /// A pull whose oldest read is still being called: true holds the reply back until it is
    /// called (other clients are served meanwhile); false answers NONE_PENDING at once.
    bool hold_pulls = true;
    /// Fast mode, for benchmarks: when positive, reads are called one after another, each taking
    /// this long from its admission or the end of the call before it; a read takes room of
    /// `max_reads_per_client` only until it is called, pulls are answered NONE_PENDING until the
    /// front read is called, and the server's internal state reports the time from each read's end
    /// of call to its return.
    std::chrono::microseconds call_time{0};
    /// Largest alignment index or BED file a load request may name; larger ones, and anything
    /// but a regular file, are refused with REQUEST_FAILED.
    std::uint64_t max_load_file_bytes = default_max_load_file_bytes;
    /// 0: reads come back whole. k > 0: every called read of at least k bases comes back as its
    /// parent plus sub-reads 1..k, sub-read i holding bases [n(i-1)/k, ni/k) of the parent's n
    /// called bases (see split_read in read_caller.h for the whole rule).
    std::uint32_t split_reads = 0;
    std::string server_version = "7.2.15+reference";
    std::string aligner_version = "reference_aligner-1.0";
    /// Program only: a file that gets one line per request.
    std::string request_log_path;
    bool quiet = false;
};

/// What the command line asks for.
struct CommandLine {
    enum class Mode { serve, simulate, help };
    Mode mode = Mode::serve;
    ServerOptions server;
    // simulate mode
    std::string sequence;
    std::string fasta_path;
    std::string output_path;  ///< empty: standard output
    bool binary_output = false;
    SimulationParameters simulation;
};

/// Throws std::invalid_argument with a message fit for the user.
CommandLine parse_command_line(const std::vector<std::string>& arguments);
std::string usage_text(const std::string& program);

}  // namespace reference_server
