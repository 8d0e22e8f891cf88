// Clients of one process asking for their own trace folders and names. Arguments: the first
// client's folder and the second client's folder. The trace domains come from
// ZEV_BASECALL_TRACE_CONFIG.
//   first:  folder A, never set_params
//   second: folder B, then the name "second"
//   third:  no folder, the name "bad name/3" (the process's first name)
//   fourth: no folder, the name "fourth"
//   then three clients given the first folder spelt otherwise: "A/", "A/./" and relative
//   then a forked child's client: folder A, the name "child"

#include "client_api/vexil_client.h"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <string>

namespace {

bool name(vexil::VexilClient& client, const std::string& client_name) {
    bass::data_wrappers::Metadata params;
    params.insert("client_name", client_name);
    return client.set_params(params) == vexil::Result::success;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: trace_folder_clients FIRST_FOLDER SECOND_FOLDER\n";
        return 2;
    }
    vexil::VexilClient first("ipc:///nonexistent/first", "dna_sim_fast", argv[1], false);
    vexil::VexilClient second("ipc:///nonexistent/second", "dna_sim_fast", argv[2], false);
    vexil::VexilClient third("ipc:///nonexistent/third", "dna_sim_fast", "", false);
    vexil::VexilClient fourth("ipc:///nonexistent/fourth", "dna_sim_fast", "", false);
    if (!(name(third, "bad name/3") && name(second, "second") && name(fourth, "fourth"))) {
        return 1;
    }
    const std::string first_folder = argv[1];
    for (const auto& spelling :
         {first_folder + "/", first_folder + "/./", std::filesystem::relative(first_folder).string()}) {
        vexil::VexilClient same("ipc:///nonexistent/same", "dna_sim_fast", spelling, false);
    }
    const pid_t child = fork();
    if (child == 0) {
        vexil::VexilClient in_child("ipc:///nonexistent/child", "dna_sim_fast", first_folder, false);
        _exit(name(in_child, "child") ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
