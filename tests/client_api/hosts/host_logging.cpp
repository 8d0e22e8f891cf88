// A host with Boost.Log of its own around the library. Prints what its sinks counted, one line each:
//   sinks      a sink and a core filter before a client, a second sink while it exists
//   forwarder  the library's records forwarded into the host's Boost.Log
//   bare       no set-up at all: the host's records go to Boost.Log's default sink (stdout)
//   early      no set-up, and a read and a server query before any client
// Every mode has the library write one warning per bad read it is handed (two bad reads).
#include "client_api/log_forwarding.h"
#include "client_api/server_query.h"
#include "client_api/vexil_client.h"
#include "host_counting_sink.h"

#include <boost/log/expressions.hpp>

#include <iostream>
#include <utility>
#include <string>

namespace {

void bad_reads(vexil::VexilClient& client) {
    for (int i = 0; i < 2; ++i) {
        vexil::Read read;
        const vexil::Read taken(std::move(read));
        client.pass_read(read, 0);  // a read moved from: refused with a warning
    }
}

void print(const char* name, const host::Counts& counts) {
    std::cout << name << " host " << counts.host << " forwarded " << counts.forwarded << " other " << counts.other
              << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const auto client = [] { return vexil::VexilClient("ipc:///nonexistent/vexil.sock", "dna_sim_fast", "", true); };
    if (mode == "sinks") {
        host::Counts before;
        host::Counts after;
        const auto first = host::add_counting_sink(before);
        // The host's own filter; it passes records without its severity, as the library's.
        namespace expr = boost::log::expressions;
        boost::log::core::get()->set_filter(!expr::has_attr(boost::log::trivial::severity) ||
                                            boost::log::trivial::severity >= boost::log::trivial::info);
        host::host_records(10);
        {
            auto vexil_client = client();
            host::host_records(10);
            bad_reads(vexil_client);
            const auto second = host::add_counting_sink(after);
            host::host_records(10);
        }
        host::host_records(10);
        print("before", before);
        print("after", after);
        std::cout << "core enabled " << boost::log::core::get()->get_logging_enabled() << std::endl;
    } else if (mode == "forwarder") {
        host::Counts counts;
        const auto sink = host::add_counting_sink(counts);
        vexil::set_log_forwarder([](vexil::LogSeverity, const std::string& text) {
            BOOST_LOG_TRIVIAL(warning) << "forwarded: " << text;
        });
        auto vexil_client = client();
        host::host_records(10);
        bad_reads(vexil_client);
        host::host_records(10);
        print("forwarder", counts);
    } else if (mode == "bare") {
        host::host_records(3);
        auto vexil_client = client();
        bad_reads(vexil_client);
        host::host_records(3);
    } else if (mode == "early") {
        const vexil::Read read;
        std::string text;
        vexil::server_query::get_server_information(text, "ipc:///nonexistent/vexil.sock", 100);
        host::host_records(3);
        auto vexil_client = client();
        bad_reads(vexil_client);
        host::host_records(3);
    } else {
        std::cerr << "usage: host_logging sinks|forwarder|bare|early\n";
        return 2;
    }
    return 0;
}
