// The C++ half of the tessellpy throughput comparison: passes the reads of a file through
// vexil::VexilClient exactly as the Python half does through the module, and prints reads/s.
//
//   python_throughput_client ADDRESS CONFIG CLIENT_QUEUE READS_FILE
//
// The file holds, per read, its tag (uint32), its sample count (uint32) and the int16 samples.
#include "client_api/vexil_client.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct SourceRead {
    uint32_t tag = 0;
    std::vector<int16_t> samples;
};

std::vector<SourceRead> load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<SourceRead> reads;
    SourceRead read;
    uint32_t count = 0;
    while (in.read(reinterpret_cast<char*>(&read.tag), sizeof read.tag) &&
           in.read(reinterpret_cast<char*>(&count), sizeof count)) {
        read.samples.resize(count);
        in.read(reinterpret_cast<char*>(read.samples.data()), static_cast<std::streamsize>(count * sizeof(int16_t)));
        reads.push_back(read);
    }
    return reads;
}

vexil::Read make_read(const SourceRead& source) {
    vexil::Read read;
    read.set_read_tag(source.tag);
    auto& metadata = read.get_metadata();
    metadata.insert("read_id", "read-" + std::to_string(source.tag));
    metadata.insert<float>("daq_offset", 10.0F);
    metadata.insert<float>("daq_scaling", 0.5F);
    std::vector<int16_t> samples = source.samples;
    read.get_datasets().emplace(dataset::raw_data, bass::data_wrappers::DataView(std::move(samples)));
    return read;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: " << argv[0] << " ADDRESS CONFIG CLIENT_QUEUE READS_FILE\n";
        return 2;
    }
    const std::vector<SourceRead> sources = load(argv[4]);
    vexil::VexilClient client(argv[1], argv[2], "", true);
    bass::data_wrappers::Metadata params;
    params.insert<uint64_t>("max_reads_queued", std::stoull(argv[3]));
    if (client.set_params(params) != vexil::Result::success || client.connect() != vexil::Result::success) {
        std::cerr << "could not connect: " << client.get_error_message() << "\n";
        return 1;
    }

    const auto start = std::chrono::steady_clock::now();
    std::size_t next = 0;
    std::size_t returned = 0;
    std::vector<std::vector<vexil::Read>> completed;
    while (returned < sources.size()) {
        bool progressed = false;
        while (next < sources.size()) {
            vexil::Read read = make_read(sources[next]);
            if (client.pass_read(read, 0) != vexil::PassReadResult::success) {
                break;
            }
            ++next;
            progressed = true;
        }
        completed.clear();
        client.get_completed_reads(completed);
        for (const auto& group : completed) {
            returned += group.size();
            progressed = progressed || !group.empty();
        }
        if (!progressed) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    client.disconnect();
    std::printf("reads %zu seconds %.3f reads_per_s %.1f\n", returned, seconds, returned / seconds);
    return 0;
}
