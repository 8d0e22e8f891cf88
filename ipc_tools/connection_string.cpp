#include "ipc_tools/connection_string.h"

#include <boost/algorithm/string/split.hpp>

#include <sstream>
#include <vector>

namespace ipc_tools {
namespace connection_string {

std::string create_kvp(const std::string& key, std::uint32_t value) { return create_kvp(key, std::to_string(value)); }

std::string create_kvp(const std::string& key, const std::string& value) { return PAIR_SEPARATOR + key + "=" + value; }

std::optional<std::map<std::string, std::string>> get_kvps(const std::string& text) {
    std::map<std::string, std::string> pairs;
    if (text.empty()) {
        return pairs;
    }
    if (text.front() != PAIR_SEPARATOR.front() || text.find('=') == std::string::npos) {
        return std::nullopt;
    }
    std::vector<std::string> pieces;
    boost::algorithm::split(pieces, text, [](char c) { return c == '>'; });
    // pieces[0] is the empty text before the leading ">"; a trailing ">" leaves an empty last piece.
    for (std::size_t index = 1; index < pieces.size(); ++index) {
        const std::string& piece = pieces[index];
        if (piece.empty() && index + 1 == pieces.size()) {
            break;
        }
        const auto equals = piece.find('=');
        if (equals == std::string::npos || equals == 0) {
            return std::nullopt;
        }
        pairs[piece.substr(0, equals)] = piece.substr(equals + 1);
    }
    return pairs;
}

bool parse_value(const std::string& text, std::uint32_t& value) {
    std::istringstream stream(text);
    stream >> value;
    return !stream.fail();
}

}  // namespace connection_string
}  // namespace ipc_tools
