#include "common/read_id_whitelist.h"

#include "common/contract.h"
#include "common/text_utils.h"

#include <boost/filesystem/operations.hpp>

#include <fstream>
#include <limits>
#include <stdexcept>

namespace common {
namespace {

// A chunk must advance past its overlap, otherwise the step below is zero or wraps around.
void check_chunk_arguments(std::size_t chunk_size, std::size_t overlap) {
    if (overlap >= chunk_size) {
        throw std::invalid_argument("Chunk overlap (" + std::to_string(overlap) +
                                    ") must be smaller than the chunk size (" + std::to_string(chunk_size) + ").");
    }
}

}  // namespace

std::unordered_set<std::string> getReadIdWhitelist(const std::string& path) {
    if (!boost::filesystem::exists(boost::filesystem::status(path))) {
        throw std::runtime_error("Could not load readIdWhitelist file: '" + path + "'");
    }
    std::unordered_set<std::string> whitelist;
    std::ifstream file(path);
    if (!file.is_open()) {
        return whitelist;
    }
    std::string line;
    while (std::getline(file, line)) {
        whitelist.insert(trim(line));
    }
    return whitelist;
}

std::size_t count_chunks(std::size_t total, std::size_t chunk_size, std::size_t overlap) {
    check_chunk_arguments(chunk_size, overlap);
    if (total == 0) {
        return 0;
    }
    if (total <= chunk_size) {
        return 1;
    }
    // Integer ceiling division: exact where a double quotient would round for large counts.
    const std::size_t beyond_first = total - chunk_size;
    const std::size_t step = chunk_size - overlap;
    return beyond_first / step + (beyond_first % step != 0 ? 1 : 0) + 1;
}

std::vector<std::pair<std::size_t, std::size_t>> distribute_chunks(std::size_t total, std::size_t chunk_size,
                                                                   std::size_t overlap) {
    const std::size_t num_chunks = count_chunks(total, chunk_size, overlap);
    std::vector<std::pair<std::size_t, std::size_t>> result;
    if (num_chunks == 0) {
        return result;
    }
    const std::size_t shared = num_chunks - 1;
    if (overlap != 0 && shared > (std::numeric_limits<std::size_t>::max() - total) / overlap) {
        throw std::overflow_error("Too many chunks: " + std::to_string(total) + " items in chunks of " +
                                  std::to_string(chunk_size) + " overlapping by " + std::to_string(overlap) +
                                  " exceed the size range.");
    }
    result.resize(num_chunks);
    // Items counted once per chunk that holds them.
    const std::size_t total_items = shared * overlap + total;
    const std::size_t span_per_chunk = total_items / result.size();
    const std::size_t num_bigger_chunks = total_items % result.size();
    COMMON_CONTRACT_CHECK_AT(total_items == num_bigger_chunks * (span_per_chunk + 1) +
                                                    (result.size() - num_bigger_chunks) * span_per_chunk,
                             "", "common/utils", 260);
    std::size_t start = 0;
    for (std::size_t i = 0; i < result.size(); ++i) {
        const std::size_t length = i < num_bigger_chunks ? span_per_chunk + 1 : span_per_chunk;
        result[i] = {start, start + length - 1};
        start += length - overlap;
    }
    return result;
}

}  // namespace common
