// An application of libvexil_client: connects to a basecall server with an alignment reference
// (and optionally a BED file), passes reads simulated from that reference through
// vexil::VexilClient (singly and in lists), collects the called reads and checks each one against
// where it came from. Prints progress while it runs, then what came back.
//
//   vexil_example --address ipc:///tmp/server.sock --reference ref.fa [--bed regions.bed] [--reads N]
//
// Exit status: 0 when every read came back called, exactly and where it came from; 1 otherwise;
// 2 for bad arguments.

#include "client_api/server_query.h"
#include "client_api/vexil_client.h"
#include "read_checker.h"
#include "simulated_reads.h"

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string address;
    std::string config = "dna_sim_fast";
    std::string reference;
    std::string bed;
    std::string sam;
    std::uint64_t reads = 3000;
    std::uint64_t min_bases = 300;
    std::uint64_t max_bases = 100000;
    std::uint32_t seed = 1;
    std::uint64_t wait_s = 600;
    bool help = false;
};

const char* const USAGE =
        "Usage: vexil_example --address ADDRESS --reference FASTA [options]\n"
        "\n"
        "  --address ADDRESS   the basecall server: ipc://PATH or tcp://HOST:PORT\n"
        "  --reference FASTA   alignment reference; reads are simulated from it\n"
        "  --bed FILE          BED regions the server reports for aligned reads\n"
        "  --config NAME       basecalling configuration (default dna_sim_fast)\n"
        "  --reads N           reads to pass (default 3000)\n"
        "  --min-bases N       shortest read (default 300)\n"
        "  --max-bases N       longest read (default 100000)\n"
        "  --seed N            seed of the simulation (default 1)\n"
        "  --sam FILE          write the SAM header and every read's SAM lines there\n"
        "  --wait-s N          longest wait for the last reads once all are passed (default 600)\n";

std::uint64_t parse_number(const std::string& option, const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18) {
        throw std::invalid_argument(option + " needs a whole number, not '" + text + "'");
    }
    return std::stoull(text);
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            options.help = true;
            return options;
        }
        if (i + 1 >= argc) {
            throw std::invalid_argument("Unknown argument or missing value: " + option);
        }
        const std::string value = argv[++i];
        if (option == "--address") {
            options.address = value;
        } else if (option == "--reference") {
            options.reference = value;
        } else if (option == "--bed") {
            options.bed = value;
        } else if (option == "--config") {
            options.config = value;
        } else if (option == "--sam") {
            options.sam = value;
        } else if (option == "--reads") {
            options.reads = parse_number(option, value);
        } else if (option == "--min-bases") {
            options.min_bases = parse_number(option, value);
        } else if (option == "--max-bases") {
            options.max_bases = parse_number(option, value);
        } else if (option == "--seed") {
            options.seed = static_cast<std::uint32_t>(parse_number(option, value));
        } else if (option == "--wait-s") {
            options.wait_s = parse_number(option, value);
        } else {
            throw std::invalid_argument("Unknown argument: " + option);
        }
    }
    if (options.address.empty() || options.reference.empty()) {
        throw std::invalid_argument("--address and --reference are required");
    }
    if (options.reads == 0 || options.min_bases < 50 || options.min_bases > options.max_bases) {
        throw std::invalid_argument("--reads must be at least 1, and 50 <= --min-bases <= --max-bases");
    }
    return options;
}

/// Counts of what was passed and when, for the progress line and the summary.
struct Progress {
    std::uint64_t passed_singly = 0;
    std::uint64_t passed_in_lists = 0;
    std::uint64_t samples = 0;
    Clock::time_point start = Clock::now();
    Clock::time_point last_line = Clock::now();

    std::uint64_t passed() const { return passed_singly + passed_in_lists; }
    double seconds() const { return std::chrono::duration<double>(Clock::now() - start).count(); }
};

void print_progress(Progress& progress, const example::ReadChecker& checker, std::uint64_t total, bool force) {
    if (!force && Clock::now() - progress.last_line < std::chrono::seconds(1)) {
        return;
    }
    progress.last_line = Clock::now();
    const double seconds = progress.seconds();
    std::cout << "  " << std::fixed << std::setprecision(1) << std::setw(6) << seconds << " s: passed "
              << progress.passed() << "/" << total << ", back " << checker.tally().returned << " ("
              << std::setprecision(0) << (seconds > 0 ? static_cast<double>(checker.tally().returned) / seconds : 0.0)
              << " reads/s)" << std::endl;
}

class Session {
public:
    Session(vexil::VexilClient& client, const Options& options, example::ReadSimulator& simulator,
            example::ReadChecker& checker)
        : m_client(client), m_options(options), m_simulator(simulator), m_checker(checker) {}

    /// Passes every read, five singly and then five in one list, in turn. Returns false when the
    /// client stopped accepting reads.
    bool pass_all() {
        std::vector<vexil::Read> list;
        for (std::uint64_t tag = 1; tag <= m_options.reads; ++tag) {
            example::ReadSource source;
            vexil::Read read = m_simulator.make(tag, source);
            m_checker.expect(tag, source);
            m_progress.samples += source.samples;
            if ((tag - 1) % 10 < 5) {
                if (!pass_single(read)) {
                    return false;
                }
                ++m_progress.passed_singly;
            } else {
                list.push_back(std::move(read));
            }
            if (list.size() == 5 || (tag == m_options.reads && !list.empty())) {
                const auto count = list.size();
                if (!pass_list(list)) {
                    return false;
                }
                m_progress.passed_in_lists += count;
            }
            if (tag % 10 == 0) {
                collect();
            }
            print_progress(m_progress, m_checker, m_options.reads, false);
        }
        return true;
    }

    /// Declares the end of the reads and collects until every read is back, the connection ends
    /// or the wait runs out.
    void drain() {
        m_client.no_more_data();
        const auto deadline = Clock::now() + std::chrono::seconds(m_options.wait_s);
        while (m_checker.outstanding() > 0 && Clock::now() < deadline &&
               m_client.get_status() == vexil::ConnectionStatus::connected) {
            collect();
            print_progress(m_progress, m_checker, m_options.reads, false);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    void collect() {
        std::vector<std::vector<vexil::Read>> groups;
        m_client.get_completed_reads(groups);
        m_checker.check(groups);
    }

    Progress& progress() { return m_progress; }

private:
    bool pass_single(vexil::Read& read) {
        for (;;) {
            const auto result = m_client.pass_read(read, 100);
            if (result == vexil::PassReadResult::success) {
                return true;
            }
            if (result != vexil::PassReadResult::queue_full) {
                std::cerr << "pass_read: " << result << ' ' << m_client.get_error_message() << '\n';
                return false;
            }
            collect();  // room comes as called reads are taken out
        }
    }

    bool pass_list(std::vector<vexil::Read>& list) {
        for (;;) {
            const auto result = m_client.pass_reads(list, 100);
            if (result == vexil::PassReadResult::success && list.empty()) {
                return true;
            }
            if (result != vexil::PassReadResult::success && result != vexil::PassReadResult::queue_full) {
                std::cerr << "pass_reads: " << result << ' ' << m_client.get_error_message() << '\n';
                return false;
            }
            collect();  // the reads not taken are back in `list`
        }
    }

    vexil::VexilClient& m_client;
    const Options& m_options;
    example::ReadSimulator& m_simulator;
    example::ReadChecker& m_checker;
    Progress m_progress;
};

/// What the server offers, asked once before connecting.
void print_server_description(const std::string& address) {
    constexpr std::uint32_t timeout_ms = 2000;
    std::vector<vexil::server_query::BarcodeKitDefinition> kits;
    const auto kits_result = vexil::server_query::get_barcode_kits(kits, address, timeout_ms);
    if (kits_result == vexil::Result::success) {
        std::cout << "server barcode kits:";
        for (const auto& kit : kits) {
            const auto name = [&kit](int outer, int inner) {
                try {
                    return kit.generate_barcode_name(outer, inner);
                } catch (const std::exception& error) {
                    return std::string("<") + error.what() + ">";
                }
            };
            std::cout << ' ' << kit.kit_name() << " (" << name(kit.first_index(), kit.first_inner_index()) << " .. "
                      << name(kit.last_index(), kit.last_inner_index()) << ")";
        }
        std::cout << '\n';
    } else {
        std::cout << "server barcode kits: " << kits_result << '\n';
    }
    std::string information;
    const auto information_result = vexil::server_query::get_server_information(information, address, timeout_ms);
    std::cout << "server information: "
              << (information_result == vexil::Result::success ? information : vexil::to_string(information_result))
              << '\n';
}

int run(const Options& options) {
    print_server_description(options.address);
    const auto contigs = example::load_fasta(options.reference);
    auto regions = example::load_bed(options.bed);

    vexil::VexilClient client(options.address, options.config, "", true);
    bass::data_wrappers::Metadata params;
    params.insert("client_name", std::string("vexil_example"));
    params.insert("align_ref", options.reference);
    if (!options.bed.empty()) {
        params.insert("bed_file", options.bed);
    }
    params.insert<std::uint64_t>("max_reads_queued", 50);
    params.insert<std::uint32_t>("reconnect_timeout", 10);
    if (client.set_params(params) != vexil::Result::success) {
        throw std::runtime_error("set_params refused");
    }
    const vexil::Result connected = client.connect();
    if (connected != vexil::Result::success) {
        std::cerr << "connect: " << connected << ": " << client.get_error_message() << '\n';
        return 1;
    }
    vexil::ConnectedServerInfo server;
    client.get_connected_server_info(server);
    bass::data_wrappers::Metadata config;
    client.get_basecalling_config(config);
    const auto stride = config.get_value<std::uint64_t>("model_stride");
    std::string sam_header;
    client.get_alignment_sam_header(sam_header);
    std::cout << "connected as " << server.client_uid << " to server " << server.server_version << " (aligner "
              << server.minimap_version << "), configuration " << options.config << ", model stride " << stride << ", "
              << contigs.size() << " reference sequences, " << regions.size() << " BED regions\n";

    std::unique_ptr<std::ofstream> sam;
    if (!options.sam.empty()) {
        sam = std::make_unique<std::ofstream>(options.sam);
        *sam << sam_header;
    }
    example::ReadSimulator simulator(contigs, static_cast<std::uint32_t>(stride), options.min_bases, options.max_bases,
                                     options.seed);
    example::ReadChecker checker(simulator, contigs, std::move(regions), sam.get());
    Session session(client, options, simulator, checker);

    std::cout << "passing " << options.reads << " reads of " << options.min_bases << " to " << options.max_bases
              << " bases\n";
    const bool all_passed = session.pass_all();
    if (all_passed) {
        session.drain();
    }
    const vexil::Result finished = client.finish(options.wait_s);
    session.collect();
    print_progress(session.progress(), checker, options.reads, true);
    const double seconds = session.progress().seconds();
    checker.count_lost();
    client.disconnect();

    const auto& tally = checker.tally();
    const auto& progress = session.progress();
    std::cout << std::fixed << std::setprecision(1) << "\nfinish:                         " << finished << '\n'
              << "reads passed:                   " << progress.passed() << " (" << progress.passed_singly
              << " singly, " << progress.passed_in_lists << " in lists)\n"
              << "samples passed:                 " << progress.samples << '\n'
              << "elapsed:                        " << seconds << " s\n"
              << "reads per second:               " << static_cast<double>(progress.passed()) / seconds << '\n'
              << "samples per second:             " << std::setprecision(0)
              << static_cast<double>(progress.samples) / seconds << '\n'
              << "reads called:                   " << tally.called << '\n'
              << "sequence equals its source:     " << tally.exact << '\n'
              << "aligned where they came from:   " << tally.aligned << " (" << tally.with_bed_hits
              << " with BED hits)\n"
              << "returned uncalled:              " << tally.uncalled << '\n'
              << "lost:                           " << tally.lost << '\n'
              << "wrong or duplicated:            " << tally.wrong << '\n'
              << "misaligned:                     " << tally.misaligned << '\n';
    const bool good = all_passed && finished == vexil::Result::success && tally.lost == 0 && tally.wrong == 0 &&
                      tally.misaligned == 0 && tally.uncalled == 0 && tally.aligned == options.reads;
    std::cout << (good ? "every read came back called, exact and where it came from\n" : "FAILED\n");
    return good ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse_options(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "vexil_example: " << error.what() << "\n\n" << USAGE;
        return 2;
    }
    if (options.help) {
        std::cout << USAGE;
        return 0;
    }
    try {
        return run(options);
    } catch (const std::exception& error) {
        std::cerr << "vexil_example: " << error.what() << '\n';
        return 1;
    }
}
