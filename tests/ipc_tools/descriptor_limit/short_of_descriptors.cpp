// Connects one client while the process, under RLIMIT_NOFILE 64, can open only FREE more file
// descriptors, and prints the connect's result code and the client's error message, tab-separated.
//
//   short_of_descriptors ADDRESS FREE
//
// The descriptors are used up with /dev/null opened again and again, and given back before the
// program ends (a sanitizer's exit needs a few).

#include <vexil_client/client_api/vexil_client.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: short_of_descriptors ADDRESS FREE\n";
        return 2;
    }
    const int free_descriptors = std::atoi(argv[2]);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = 64;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        std::cerr << "cannot set RLIMIT_NOFILE\n";
        return 2;
    }
    vexil::VexilClient client(argv[1], "dna_sim_fast", "", true);
    bass::data_wrappers::Metadata params;
    // A connect that ends in timed_out would retry for the whole window: keep it short.
    params.insert<std::uint32_t>("reconnect_timeout", 1);
    params.insert<std::uint32_t>("query_timeout", 500);
    client.set_params(params);

    std::vector<int> fillers;
    for (int descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC); descriptor >= 0;
         descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC)) {
        fillers.push_back(descriptor);
    }
    for (int i = 0; i < free_descriptors && !fillers.empty(); ++i) {
        close(fillers.back());
        fillers.pop_back();
    }
    const vexil::Result result = client.connect();
    const std::string message = client.get_error_message();
    client.disconnect();
    for (const int descriptor : fillers) {
        close(descriptor);
    }
    std::cout << static_cast<int>(result) << '\t' << message << std::endl;
    return 0;
}
