// The smallest complete program on libvexil_client: connects to a basecall server, passes one read
// and prints what came back.
//
//   minimal_client ADDRESS [SEQUENCE]      e.g. minimal_client ipc:///tmp/vexil.sock GATTACAGATTACAGATTACA
//
// The raw signal is made from SEQUENCE under the reference server's signal model (each base is
// model_stride samples at A 70, C 90, G 110, T 130 pA), so against that server the read comes back
// called to exactly SEQUENCE. A read of fewer than 20 bases' worth of samples is too short to call:
// the client hands it back uncalled at once. Exit status 0 when the read came back called.

#include <vexil_client/client_api/vexil_client.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using bass::data_wrappers::dataset;
using bass::data_wrappers::DataView;

vexil::Read make_read(const std::string& sequence, std::uint64_t stride) {
    std::vector<std::int16_t> raw;
    for (const char base : sequence) {
        const auto level = static_cast<std::int16_t>(70 + 20 * std::string("ACGT").find(base));
        raw.insert(raw.end(), stride, level);
    }
    vexil::Read read;
    read.set_read_tag(1);  // the caller's own number; the called read carries it back
    // Every read needs these three metadata keys and the raw_data dataset.
    read.get_metadata().insert("read_id", std::string("minimal-read-1"));
    read.get_metadata().insert<float>("daq_offset", 0.0F);  // current = (raw + daq_offset) * daq_scaling
    read.get_metadata().insert<float>("daq_scaling", 1.0F);
    read.get_datasets().emplace(dataset::raw_data, DataView(std::move(raw)));
    return read;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || std::string(argv[1]) == "--help") {
        std::cerr << "usage: minimal_client ADDRESS [SEQUENCE]   (ADDRESS ipc://PATH or tcp://HOST:PORT)\n";
        return argc == 2 ? 0 : 2;
    }
    const std::string sequence = argc == 3 ? argv[2] : "ACGTTGCAACGTTGCAGATTACAGATTACA";
    if (sequence.size() < 20 || sequence.find_first_not_of("ACGT") != std::string::npos) {
        std::cerr << "minimal_client: SEQUENCE holds at least 20 bases, only A, C, G and T\n";
        return 2;
    }

    vexil::VexilClient client(argv[1], "dna_sim_fast", "", true);
    if (const auto connected = client.connect(); connected != vexil::Result::success) {
        std::cerr << "cannot connect: " << connected << ' ' << client.get_error_message() << '\n';
        return 1;
    }
    bass::data_wrappers::Metadata config;
    client.get_basecalling_config(config);
    vexil::Read read = make_read(sequence, config.get_value<std::uint64_t>("model_stride"));
    if (const auto passed = client.pass_read(read, 5000); passed != vexil::PassReadResult::success) {
        std::cerr << "read refused: " << passed << '\n';
        return 1;
    }
    // finish waits (here up to 60 s) until every passed read is back, then ends the connection.
    const auto finished = client.finish(60);
    std::vector<std::vector<vexil::Read>> groups;
    client.get_completed_reads(groups);
    bool called = false;
    for (const auto& group : groups) {
        for (const auto& back : group) {
            const auto found = back.get_datasets().find(dataset::sequence);
            called = found != back.get_datasets().end();
            std::cout << "read " << back.get_read_tag() << ": "
                      << (called ? found->second.get_string() : std::string("(not called)")) << '\n';
        }
    }
    std::cout << "finish: " << finished << '\n';
    return called && finished == vexil::Result::success ? 0 : 1;
}
