// The long chaos soak: chaos_soak [READS] [SEED] [MAX_SAMPLES]
// Drives the client engine against an in-process reference server with random faults, over READS
// reads (default 10000) of 100 to MAX_SAMPLES samples (default 1000000), passed singly and in
// batches; prints its seed, progress and figures. Exit status 0 only when every read came back
// exactly once, called to its exact sequence or uncalled, and finish reported success exactly for
// the clients that returned every read called.

#include "test_support/chaos_soak.h"
#include "test_support/temp_dir.h"

#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

namespace {

std::uint64_t number_argument(int argc, char** argv, int index, std::uint64_t fallback) {
    if (argc <= index) {
        return fallback;
    }
    char* end = nullptr;
    const auto value = std::strtoull(argv[index], &end, 10);
    if (end == argv[index] || *end != '\0' || value == 0) {
        std::cerr << "usage: " << argv[0] << " [READS] [SEED] [MAX_SAMPLES]   (positive whole numbers)\n";
        std::exit(2);
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::cout << "usage: " << argv[0] << " [READS] [SEED] [MAX_SAMPLES]\n"
                  << "  READS        reads to pass (default 10000)\n"
                  << "  SEED         seed of the faults and reads (default random, printed)\n"
                  << "  MAX_SAMPLES  longest read in samples (default 1000000; reads start at 100)\n";
        return 0;
    }
    chaos_soak::SoakOptions options;
    options.reads = number_argument(argc, argv, 1, 10000);
    options.seed = number_argument(argc, argv, 2, std::random_device{}());
    options.max_samples = std::max<std::uint64_t>(number_argument(argc, argv, 3, 1000000), options.min_samples);
    options.time_limit = std::chrono::seconds(3600);
    options.progress_every = std::max<std::size_t>(options.reads / 20, 1);
    options.progress = [](const std::string& line) { std::cout << "  " << line << std::endl; };
    std::cout << "chaos soak: " << options.reads << " reads, seed " << options.seed << ", up to " << options.max_samples
              << " samples per read" << std::endl;

    test_support::TempDir dir;
    const auto report = chaos_soak::run(options, dir.ipc_endpoint());
    std::cout << report.summary() << std::endl;
    if (!report.ok()) {
        std::cout << "chaos soak FAILED (seed " << options.seed << ")" << std::endl;
        return 1;
    }
    std::cout << "chaos soak passed: every read came back exactly once" << std::endl;
    return 0;
}
