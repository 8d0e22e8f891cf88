#pragma once

// The server's read statistics as the public client hands them out. The engine's statistics
// query fills this record directly, so it lives below both.

#include <cstdint>
#include <vector>

namespace vexil {
namespace server_query {

struct ClientReadCounts {
    std::uint32_t input_read_count = 0;
    std::uint32_t output_read_count = 0;
};

struct ServerStatistics {
    std::uint64_t lifetime_reads_in = 0;
    std::uint64_t lifetime_reads_out = 0;
    std::uint64_t period_reads_in = 0;
    std::uint64_t period_reads_out = 0;
    std::vector<ClientReadCounts> client_statistics;
};

}  // namespace server_query
}  // namespace vexil
