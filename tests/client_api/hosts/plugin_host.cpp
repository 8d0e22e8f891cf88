// Loads a plugin that links the library, runs it and unloads it, again and again, logging through
// Boost.Log of its own in between. Prints one line: the cycles, the records its sink counted and
// the cycles after which the library was still mapped.
#include "host_counting_sink.h"

#include <dlfcn.h>

#include <fstream>
#include <iostream>
#include <string>

namespace {

bool mapped(const std::string& name) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find(name) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: plugin_host <plugin> <cycles>\n";
        return 2;
    }
    const int cycles = std::stoi(argv[2]);
    host::Counts counts;
    const auto sink = host::add_counting_sink(counts);
    int still_mapped = 0;
    int wrong_forwarded = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        void* const plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
        if (!plugin) {
            std::cerr << dlerror() << '\n';
            return 1;
        }
        using Run = int (*)(int);
        const auto run = reinterpret_cast<Run>(dlsym(plugin, "vexil_plugin_run"));
        const int forward = cycle % 2;
        // Each load is the library anew: one record forwarded in a forwarding cycle, else none.
        if (!run || run(forward) != forward) {
            ++wrong_forwarded;
        }
        dlclose(plugin);
        if (mapped("libvexil_client") || mapped(argv[1])) {
            ++still_mapped;
        }
        host::host_records(5);
    }
    std::cout << "cycles " << cycles << " host " << counts.host << " other " << counts.other << " still_mapped "
              << still_mapped << " wrong_forwarded " << wrong_forwarded << std::endl;
    return 0;
}
