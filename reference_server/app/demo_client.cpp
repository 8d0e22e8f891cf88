// A small client that walks a newcomer through the whole protocol against a running basecall
// server: load and look up the configuration, connect, push simulated reads in raw blocks, pull
// the called reads back, check every sequence, then say goodbye. It prints a short summary and
// exits 0 only when every read came back exactly as it was simulated.

#include "ipc_tools/connection_info.h"
#include "ipc_tools/message.h"
#include "ipc_tools/message_type.h"
#include "ipc_tools/request_broker.h"
#include "ipc_tools/request_errors.h"
#include "reference_server/signal_model.h"

#include <flatbuffers/flatbuffers.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ipc_tools;
using Clock = std::chrono::steady_clock;

const char* const PROGRAM_NAME = "vexil_demo_client";

/// Exit statuses: 0 every read came back exactly, 1 the run failed or a read was wrong or
/// missing, 2 the command line was not understood.
constexpr int EXIT_MISMATCH_OR_FAILURE = 1;
constexpr int EXIT_BAD_ARGUMENTS = 2;

struct DemoOptions {
    std::string address;
    std::uint32_t reads = 200;
    std::string config = "dna_sim_fast";
    std::size_t block_size = 4000;  ///< samples per raw block; small so that long reads span several
    std::uint32_t min_bases = 50;
    std::uint32_t max_bases = 3000;
    std::uint32_t seed = 1;
    std::uint32_t timeout_ms = 5000;  ///< poll time-out of every request
    std::uint32_t load_timeout_s = 30;
    std::uint32_t wait_s = 30;  ///< longest time without a read accepted or returned
    bool help = false;
};

std::string usage_text() {
    std::ostringstream text;
    text << "Usage: " << PROGRAM_NAME << " --address ADDRESS [--reads N] [options]\n"
         << "\n"
         << "Connects to a basecall server, sends N simulated reads in raw blocks, pulls the called\n"
         << "reads back and checks that each sequence is exactly the simulated one.\n"
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
         << "  --wait-s N            give up on outstanding reads after N s without progress (default 30)\n"
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

/// One read as the client sends it, together with the sequence it must come back as.
struct SimulatedRead {
    std::uint32_t tag = 0;
    std::string read_id;
    std::string sequence;
    std::vector<std::int16_t> raw;
    float daq_offset = 0.0F;
    float daq_scaling = 0.0F;
};

/// Random sequences of varied length turned into signal by the server's own model, so the
/// server must call each one back to exactly its source.
class ReadSimulator {
public:
    ReadSimulator(const DemoOptions& options, std::uint32_t model_stride)
        : m_options(options), m_model_stride(model_stride), m_random(options.seed) {}

    SimulatedRead make(std::uint32_t tag) {
        std::uniform_int_distribution<std::uint32_t> length(m_options.min_bases, m_options.max_bases);
        std::uniform_int_distribution<int> base(0, 3);
        SimulatedRead read;
        read.tag = tag;
        read.read_id = "demo_read_" + std::to_string(tag);
        const std::uint32_t bases = length(m_random);
        read.sequence.reserve(bases);
        for (std::uint32_t i = 0; i < bases; ++i) {
            read.sequence.push_back("ACGT"[base(m_random)]);
        }
        reference_server::SimulationParameters params;
        params.model_stride = m_model_stride;
        params.daq_offset = 10.0F;
        params.daq_scaling = 0.5F;
        params.noise_bound = 6.0;
        params.seed = m_options.seed * 7919U + tag;
        read.raw = reference_server::simulate_read(read.sequence, params);
        read.daq_offset = params.daq_offset;
        read.daq_scaling = params.daq_scaling;
        return read;
    }

private:
    const DemoOptions& m_options;
    std::uint32_t m_model_stride;
    std::mt19937 m_random;
};

/// The raw-block messages of one read, each block at most `block_size` samples, each in a
/// frame of its own.
std::vector<Message> block_messages(const std::string& client_id, const SimulatedRead& read, std::size_t block_size) {
    const std::size_t total = read.raw.size();
    const std::size_t blocks = (total + block_size - 1) / block_size;
    std::vector<Message> messages;
    messages.reserve(blocks);
    for (std::size_t index = 0; index < blocks; ++index) {
        const std::size_t first = index * block_size;
        const std::size_t count = std::min(block_size, total - first);
        flatbuffers::FlatBufferBuilder fbb(2 * count + 236);
        const auto raw = fbb.CreateVector(read.raw.data() + first, count);
        const auto read_id = fbb.CreateString(read.read_id);
        const auto strand_id = fbb.CreateString(read.read_id + "_strand");
        vexil_ipc::ReadBlockDataBuilder block(fbb);
        block.add_type(index == 0 ? vexil_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK
                                  : vexil_ipc::ReadBlockType_PASS_NEXT_RAW_BLOCK);
        block.add_read_tag(read.tag);
        block.add_block_index(static_cast<std::uint32_t>(index));
        block.add_num_blocks(static_cast<std::uint32_t>(blocks));
        block.add_duration(static_cast<std::uint32_t>(total));
        block.add_daq_offset(read.daq_offset);
        block.add_daq_scaling(read.daq_scaling);
        block.add_read_id(read_id);
        block.add_raw_data(raw);
        block.add_strand_id(strand_id);
        const auto block_offset = block.Finish();
        const auto id = fbb.CreateString(client_id);
        const vexil_ipc::ProtocolVersion version(16, 0, 0);
        fbb.Finish(vexil_ipc::CreateMessageData(fbb, &version, id, vexil_ipc::Content_ReadBlockData,
                                                block_offset.Union()),
                   vexil_ipc::MessageDataIdentifier());
        messages.emplace_back(fbb);
    }
    return messages;
}

std::string reply_text(const Message& reply) {
    const auto* simple = reply.get_message_data()->content_as_SimpleReplyData();
    return simple != nullptr && simple->text() != nullptr ? simple->text()->str() : std::string();
}

std::uint32_t reply_value(const Message& reply) {
    const auto* simple = reply.get_message_data()->content_as_SimpleReplyData();
    return simple != nullptr ? simple->value() : 0U;
}

std::string string_of(const flatbuffers::String* text) { return text != nullptr ? text->str() : std::string(); }

/// A called read joined over all of its blocks.
struct CalledRead {
    std::uint32_t tag = 0;
    std::string read_id;
    std::string sequence;
    std::size_t qstring_length = 0;
};

enum class PushResult { accepted, not_ready };

enum class PullResult { read, foreign_read, none_pending, reads_lost };

/// One registered connection to the server: the handshake, the read traffic and the goodbye,
/// one request and one reply at a time over the request broker. Protocol violations throw
/// std::runtime_error with the request and the reply named.
class DemoConnection {
public:
    explicit DemoConnection(const DemoOptions& options) : m_options(options) {
        m_broker.prepare_connection(options.address, options.timeout_ms);
    }

    /// LOAD_CONFIG until the server has it loaded, then its model stride from GET_CONFIGS.
    std::uint32_t load_config() {
        const auto deadline = Clock::now() + std::chrono::seconds(m_options.load_timeout_s);
        while (true) {
            const Message reply = send(Message(LOAD_CONFIG, "", 0, m_options.config));
            if (reply.get_type() == SUCCESS) {
                break;
            }
            if (reply.get_type() == REQUEST_FAILED || reply.get_type() == INVALID_ALIGNER_OPTIONS) {
                throw std::runtime_error("The server cannot load configuration '" + m_options.config +
                                         "': " + reply_text(reply));
            }
            if (reply.get_type() != LOADING) {
                throw unexpected("LOAD_CONFIG", reply);
            }
            if (Clock::now() > deadline) {
                throw std::runtime_error("The server did not load configuration '" + m_options.config + "' within " +
                                         std::to_string(m_options.load_timeout_s) + " s");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }

        const Message configs = send(Message(GET_CONFIGS, "", 0, ""));
        if (configs.get_type() != RETURN_CONFIGS) {
            throw unexpected("GET_CONFIGS", configs);
        }
        const auto* data = configs.get_message_data()->content_as_ConfigData();
        if (data != nullptr && data->configurations() != nullptr) {
            for (const auto* configuration : *data->configurations()) {
                if (string_of(configuration->config_name()) == m_options.config) {
                    if (configuration->model_stride() == 0) {
                        throw std::runtime_error("The server reports model stride 0 for " + m_options.config);
                    }
                    return configuration->model_stride();
                }
            }
        }
        throw std::runtime_error("The server does not list configuration '" + m_options.config + "'");
    }

    /// CONNECT; returns the server's version.
    std::string connect() {
        ConnectionInfo info;
        info.config_name = m_options.config;
        info.client_name = PROGRAM_NAME;
        info.timeout_interval = m_options.timeout_ms;
        const std::string connection_string = info.build_connection_string();
        // The wire value runs the other way round from the client priority (2 is the lowest).
        const std::int32_t priority = static_cast<std::int32_t>(info.priority);
        const std::uint32_t value = priority < 3 ? static_cast<std::uint32_t>(2 - priority) : info.priority;
        const Message reply = send(Message(CONNECT, "", value, connection_string));
        if (reply.get_type() == INVALID_CONFIG) {
            throw std::runtime_error("The server refused the connection: configuration '" + m_options.config +
                                     "' is not loaded");
        }
        if (reply.get_type() != CONNECTED) {
            throw unexpected("CONNECT", reply);
        }
        const auto connected = ConnectedInfo::parse(reply_text(reply));
        if (!connected) {
            throw std::runtime_error("Could not parse CONNECTED message data: '" + reply_text(reply) + "'");
        }
        m_client_id = connected->client_uid;
        return connected->server_version;
    }

    const std::string& client_id() const { return m_client_id; }

    /// Sends every block of a read. NOT_READY to the first block leaves the read with the
    /// caller to offer again; a refusal of a later block is a protocol violation.
    PushResult push(const SimulatedRead& read) {
        auto messages = block_messages(m_client_id, read, m_options.block_size);
        for (std::size_t index = 0; index < messages.size(); ++index) {
            const std::string request = index == 0 ? "PASS_FIRST_RAW_BLOCK" : "PASS_NEXT_RAW_BLOCK";
            const Message reply = send(messages[index]);
            if (reply.get_type() == RAW_BLOCK_ACCEPTED) {
                continue;
            }
            if (reply.get_type() == NOT_READY && index == 0) {
                return PushResult::not_ready;
            }
            if (reply.get_type() == NOT_READY) {
                throw std::runtime_error("Server accepted first block of read, but then rejected block " +
                                         std::to_string(index) + " of read " + std::to_string(read.tag));
            }
            throw unexpected(request + " of read " + std::to_string(read.tag), reply);
        }
        m_blocks_sent += messages.size();
        return PushResult::accepted;
    }

    /// Asks for one called read and, when there is one of ours, fetches every further block of
    /// it. A read whose tag is not ours is reported as it is: asking for its further blocks
    /// would name a read the server does not hold.
    PullResult pull(CalledRead& read, const std::function<bool(std::uint32_t)>& is_ours) {
        // Value bit 0: no moves and trace; the demo checks sequences only.
        const Message first = send(Message(GET_FIRST_CALLED_BLOCK, m_client_id, 1, ""));
        if (first.get_type() == NONE_PENDING) {
            return reply_value(first) == 1 ? PullResult::reads_lost : PullResult::none_pending;
        }
        if (first.get_type() != RETURN_FIRST_CALLED_BLOCK) {
            throw unexpected("GET_FIRST_CALLED_BLOCK", first);
        }
        const auto* block = first.get_message_data()->content_as_ReadBlockData();
        if (block == nullptr) {
            throw std::runtime_error("RETURN_FIRST_CALLED_BLOCK without a read block");
        }
        read = CalledRead{};
        read.tag = block->read_tag();
        read.read_id = string_of(block->read_id());
        append(read, block);
        if (!is_ours(read.tag)) {
            return PullResult::foreign_read;
        }
        const std::string strand_id = string_of(block->strand_id());
        for (std::uint32_t index = 1; index < block->num_blocks(); ++index) {
            const Message next = send(Message(GET_NEXT_CALLED_BLOCK, m_client_id, read.tag, strand_id));
            if (next.get_type() != RETURN_NEXT_CALLED_BLOCK) {
                throw unexpected("GET_NEXT_CALLED_BLOCK", next);
            }
            const auto* next_block = next.get_message_data()->content_as_ReadBlockData();
            if (next_block == nullptr || next_block->read_tag() != read.tag) {
                throw std::runtime_error("RETURN_NEXT_CALLED_BLOCK does not continue read " + std::to_string(read.tag));
            }
            append(read, next_block);
        }
        return PullResult::read;
    }

    void no_more_data() {
        // The server acknowledges it, but nothing depends on its answer.
        send(Message(NO_MORE_DATA, m_client_id, 0, ""));
    }

    void disconnect() {
        const Message reply = send(Message(DISCONNECT, m_client_id, 0, ""));
        if (reply.get_type() != DISCONNECTED) {
            throw unexpected("DISCONNECT", reply);
        }
        m_client_id.clear();
    }

    std::size_t blocks_sent() const { return m_blocks_sent; }

private:
    Message send(Message& request) {
        Message reply;
        m_broker.send_request(request, reply);
        return reply;
    }
    Message send(Message&& request) { return send(request); }

    static void append(CalledRead& read, const vexil_ipc::ReadBlockData* block) {
        if (const auto* called = block->called_block()) {
            read.sequence += string_of(called->sequence());
            read.qstring_length += called->qstring() != nullptr ? called->qstring()->size() : 0U;
        }
    }

    static std::runtime_error unexpected(const std::string& request, const Message& reply) {
        std::string text = request + " answered " + message_type_as_string(reply.get_type());
        if (!reply_text(reply).empty()) {
            text += ": " + reply_text(reply);
        }
        return std::runtime_error(text);
    }

    const DemoOptions& m_options;
    RequestBroker m_broker;
    std::string m_client_id;
    std::size_t m_blocks_sent = 0;
};

struct Summary {
    std::uint32_t reads_requested = 0;
    std::uint32_t reads_sent = 0;
    std::uint32_t reads_returned = 0;
    std::uint32_t reads_lost = 0;
    std::uint64_t bases = 0;
    std::uint64_t samples = 0;
    std::size_t blocks = 0;
    std::uint32_t mismatches = 0;
    double elapsed_s = 0.0;

    bool all_exact() const {
        return reads_sent == reads_requested && reads_returned == reads_sent && mismatches == 0 && reads_lost == 0;
    }
};

void print_summary(const Summary& summary, std::ostream& out) {
    const double rate = summary.elapsed_s > 0.0 ? summary.reads_returned / summary.elapsed_s : 0.0;
    out << "reads sent:       " << summary.reads_sent << " (" << summary.blocks << " raw blocks)\n"
        << "reads returned:   " << summary.reads_returned << '\n'
        << "bases:            " << summary.bases << '\n'
        << "samples:          " << summary.samples << '\n'
        << "mismatches:       " << summary.mismatches << '\n';
    if (summary.reads_lost > 0) {
        out << "reads lost:       " << summary.reads_lost << '\n';
    }
    out << std::fixed << std::setprecision(3) << "elapsed:          " << summary.elapsed_s << " s\n"
        << std::setprecision(1) << "reads per second: " << rate << '\n'
        << "result:           "
        << (summary.all_exact() ? "every read came back exactly" : "FAILED: not every read came back exactly")
        << std::endl;
}

/// What the client still waits for, by read tag.
struct Outstanding {
    std::string read_id;
    std::string sequence;
};

/// The push and pull loop: each pass offers the next read and asks for one called read, so
/// reads stream through the server instead of going one at a time.
class ReadExchange {
public:
    ReadExchange(DemoConnection& connection, ReadSimulator& simulator, const DemoOptions& options)
        : m_connection(connection), m_simulator(simulator), m_options(options) {}

    void run(Summary& summary) {
        std::optional<SimulatedRead> next;
        std::uint32_t next_tag = 0;
        bool no_more_data_sent = false;
        auto last_progress = Clock::now();
        while (next_tag < m_options.reads || next || !m_outstanding.empty()) {
            bool progressed = false;
            if (!next && next_tag < m_options.reads) {
                next = m_simulator.make(next_tag++);
            }
            if (next && m_connection.push(*next) == PushResult::accepted) {
                summary.reads_sent += 1;
                summary.samples += next->raw.size();
                m_outstanding[next->tag] = Outstanding{next->read_id, std::move(next->sequence)};
                next.reset();
                progressed = true;
            }
            if (!m_outstanding.empty()) {
                progressed = pull_one(summary) || progressed;
            }
            if (!no_more_data_sent && !next && next_tag == m_options.reads) {
                m_connection.no_more_data();
                no_more_data_sent = true;
            }
            if (progressed) {
                last_progress = Clock::now();
            } else if (Clock::now() - last_progress > std::chrono::seconds(m_options.wait_s)) {
                // The server is taken to have stopped calling: report what came back.
                std::cerr << PROGRAM_NAME << ": no read accepted or returned for " << m_options.wait_s << " s; "
                          << m_outstanding.size() << " reads still outstanding" << std::endl;
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        summary.blocks = m_connection.blocks_sent();
    }

private:
    bool pull_one(Summary& summary) {
        CalledRead read;
        const auto is_ours = [this](std::uint32_t tag) { return m_outstanding.count(tag) != 0; };
        switch (m_connection.pull(read, is_ours)) {
        case PullResult::none_pending: return false;
        case PullResult::reads_lost:
            std::cerr << PROGRAM_NAME << ": One or more reads has been lost on the server ("
                      << m_outstanding.size() << " outstanding reads dropped)" << std::endl;
            summary.reads_lost += static_cast<std::uint32_t>(m_outstanding.size());
            m_outstanding.clear();
            return true;
        case PullResult::foreign_read:
            std::cerr << PROGRAM_NAME << ": returned read " << read.tag << " does not belong to this client"
                      << std::endl;
            summary.mismatches += 1;
            return true;
        case PullResult::read: break;
        }
        const auto found = m_outstanding.find(read.tag);
        summary.reads_returned += 1;
        summary.bases += read.sequence.size();
        const Outstanding& expected = found->second;
        if (read.sequence != expected.sequence || read.read_id != expected.read_id ||
            read.qstring_length != read.sequence.size()) {
            summary.mismatches += 1;
            std::cerr << PROGRAM_NAME << ": read " << read.tag << " (" << expected.read_id << ") came back as "
                      << read.sequence.size() << " bases named '" << read.read_id << "', expected "
                      << expected.sequence.size() << " bases"
                      << (read.sequence.size() == expected.sequence.size() ? " with other content" : "") << std::endl;
        }
        m_outstanding.erase(found);
        return true;
    }

    DemoConnection& m_connection;
    ReadSimulator& m_simulator;
    const DemoOptions& m_options;
    std::map<std::uint32_t, Outstanding> m_outstanding;
};

int run_demo(const DemoOptions& options) {
    DemoConnection connection(options);
    const std::uint32_t stride = connection.load_config();
    const std::string server_version = connection.connect();
    std::cout << PROGRAM_NAME << ": connected to " << options.address << " as client " << connection.client_id()
              << " (server " << server_version << ", config " << options.config << ", model stride " << stride
              << ")" << std::endl;

    ReadSimulator simulator(options, stride);
    Summary summary;
    summary.reads_requested = options.reads;
    const auto start = Clock::now();
    ReadExchange(connection, simulator, options).run(summary);
    summary.elapsed_s = std::chrono::duration<double>(Clock::now() - start).count();
    connection.disconnect();

    print_summary(summary, std::cout);
    return summary.all_exact() ? 0 : EXIT_MISMATCH_OR_FAILURE;
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
