#pragma once

// Read-id whitelists and the splitting of a range of items into overlapping chunks.

#include <cstddef>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace common {

/// The read ids of a file, one per line, with every white-space character removed.
/// std::runtime_error when the path does not exist; an unreadable file gives an empty set.
std::unordered_set<std::string> getReadIdWhitelist(const std::string& path);

/// Number of chunks of at most `chunk_size` items, neighbours sharing `overlap` items, that cover
/// `total` items. std::invalid_argument unless `overlap` < `chunk_size`.
std::size_t count_chunks(std::size_t total, std::size_t chunk_size, std::size_t overlap);

/// The chunks counted by count_chunks as inclusive (first, last) item indices, of near-equal
/// length with the longer ones first. std::invalid_argument unless `overlap` < `chunk_size`;
/// std::overflow_error when the items counted once per chunk exceed the size range.
std::vector<std::pair<std::size_t, std::size_t>> distribute_chunks(std::size_t total, std::size_t chunk_size,
                                                                   std::size_t overlap);

}  // namespace common
