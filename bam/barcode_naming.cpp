#include "bam/barcode_naming.h"

#include <boost/algorithm/string/split.hpp>
#include <boost/format.hpp>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

namespace bass::util::barcode_naming {

const std::string DUAL_BARCODE_OUTER_PREFIX = "barcode_external";
const std::string DUAL_BARCODE_INNER_PREFIX = "_internal";

namespace {

// Length of "external" and "internal", the word in front of each number of a combined name.
constexpr std::size_t POSITION_WORD_LENGTH = 8;

bool is_valid_pattern(const std::string& pattern) {
    if (std::count(pattern.begin(), pattern.end(), '%') != 1) {
        return false;
    }
    for (auto pos = pattern.find('%') + 1; pos < pattern.size(); ++pos) {
        const char c = pattern[pos];
        if (c == 'i') {
            return true;
        }
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return false;
}

// Parses the number of an "external.." or "internal.." token: {ok, number, had trailing a}.
std::tuple<bool, int32_t, bool> extract_index(std::string token) {
    token.erase(0, POSITION_WORD_LENGTH);
    bool suffix_a = false;
    if (!token.empty() && token.back() == 'a') {
        token.pop_back();
        suffix_a = true;
    }
    int32_t value = 0;
    const char* const first = token.data();
    const char* const last = token.data() + token.size();
    const auto [end, error] = std::from_chars(first, last, value, 10);
    if (token.empty() || error != std::errc() || end != last) {
        return {false, 0, suffix_a};
    }
    return {true, value, suffix_a};
}

bool is_position_token(const std::string& token, const std::string& word) {
    return token.size() > POSITION_WORD_LENGTH && token.compare(0, word.size(), word) == 0;
}

}  // namespace

std::string generate_normalised_id(const std::string& pattern, int index, bool suffix_12a) {
    if (!is_valid_pattern(pattern)) {
        throw std::runtime_error("Invalid normalised pattern: " + pattern);
    }
    std::string name = (boost::format(pattern) % index).str();
    if (index == 12 && suffix_12a) {
        name += "a";
    }
    return name;
}

std::string generate_dual_normalised_id(const std::string& outer, const std::string& inner) {
    return DUAL_BARCODE_OUTER_PREFIX + outer.substr(outer.size() - 2) + DUAL_BARCODE_INNER_PREFIX +
           inner.substr(inner.size() - 2);
}

bool extract_dual_barcodes(const std::string& name, const std::string* pattern, std::string& outer,
                           std::string& inner) {
    std::vector<std::string> tokens;
    boost::algorithm::split(tokens, name, [](char c) { return c == '_'; });
    if (tokens.size() != 3 || tokens[0] != "barcode" || !is_position_token(tokens[1], "external") ||
        !is_position_token(tokens[2], "internal")) {
        return false;
    }
    if (pattern == nullptr) {
        outer = tokens[1];
        inner = tokens[2];
        return true;
    }
    const auto [outer_ok, outer_index, outer_a] = extract_index(tokens[1]);
    const auto [inner_ok, inner_index, inner_a] = extract_index(tokens[2]);
    if (!outer_ok || !inner_ok) {
        return false;
    }
    // Both names are built before either output is set, so a bad pattern changes nothing.
    std::string outer_name = generate_normalised_id(*pattern, outer_index, outer_a);
    std::string inner_name = generate_normalised_id(*pattern, inner_index, inner_a);
    outer = std::move(outer_name);
    inner = std::move(inner_name);
    return true;
}

}  // namespace bass::util::barcode_naming
