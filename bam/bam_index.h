#pragma once

#include <ostream>
#include <string>

// Dumps the structure of a BAM index (.bai) file, one line per item, for inspection.
namespace bass::bam::util {

/// Prints the index at `path` to standard output. False with `error` set when the file cannot
/// be opened, is not an index, holds a malformed pseudo-bin or ends inside its data; the lines
/// printed up to that point stay printed.
bool print_index_from_file(const std::string& path, std::string& error);

/// As above, writing the lines to `out`.
bool print_index_from_file(const std::string& path, std::ostream& out, std::string& error);

}  // namespace bass::bam::util
