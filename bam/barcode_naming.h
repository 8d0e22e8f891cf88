#pragma once

#include <string>

namespace bass::util::barcode_naming {

// Prefixes of the combined name of an outer and an inner barcode.
extern const std::string DUAL_BARCODE_OUTER_PREFIX;
extern const std::string DUAL_BARCODE_INNER_PREFIX;

/// Formats a barcode number with a kit's naming pattern. The pattern holds exactly one
/// printf-style integer directive: "%", optional digits (flags and width), then "i".
/// When `suffix_12a` is set, barcode 12 gets a trailing "a".
/// Throws std::runtime_error "Invalid normalised pattern: <pattern>" for any other pattern.
std::string generate_normalised_id(const std::string& pattern, int index, bool suffix_12a);

/// Combined name of a dual barcode: the outer prefix, the last two characters of `outer`,
/// the inner prefix and the last two characters of `inner`. Names shorter than two
/// characters raise std::out_of_range.
std::string generate_dual_normalised_id(const std::string& outer, const std::string& inner);

/// Takes a combined name apart. Without a pattern the outputs are the whole "external.." and
/// "internal.." tokens; with one they are the barcode names of the two numbers. Returns false,
/// leaving the outputs unchanged, when the name does not have the combined form.
bool extract_dual_barcodes(const std::string& name, const std::string* pattern, std::string& outer, std::string& inner);

}  // namespace bass::util::barcode_naming
