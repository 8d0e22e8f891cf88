// Connects a client of static storage duration and one held by a namespace-scope pointer, kills
// the server (SIGKILL) and returns from main: both clients end during static destruction against
// a dead server. Arguments: the server's address and its process id. Exit status 0 when all went
// as planned; the end of the process must not change that.

#include "client_api/vexil_client.h"
#include "slow_factor.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

namespace {

vexil::VexilClient* static_client = nullptr;
std::unique_ptr<vexil::VexilClient> held_client;

bool connect(vexil::VexilClient& client) {
    bass::data_wrappers::Metadata params;
    params.insert("client_name", std::string("static_client_exit"));
    params.insert<std::uint32_t>("query_timeout", 500 * test_support::slow_factor);
    params.insert<std::uint32_t>("reconnect_timeout", 2);
    if (client.set_params(params) != vexil::Result::success || client.connect() != vexil::Result::success) {
        std::cerr << "connect failed: " << client.get_error_message() << '\n';
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: static_client_exit ADDRESS SERVER_PID\n";
        return 2;
    }
    static vexil::VexilClient client(argv[1], "dna_sim_fast", "", true);
    static_client = &client;
    held_client = std::make_unique<vexil::VexilClient>(argv[1], "dna_sim_fast", "", true);
    if (!connect(*static_client) || !connect(*held_client)) {
        return 1;
    }
    if (kill(static_cast<pid_t>(std::stol(argv[2])), SIGKILL) != 0) {
        std::cerr << "cannot kill the server\n";
        return 1;
    }
    return 0;
}
