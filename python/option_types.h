#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tessellpy {

/// Stored type of a client parameter's value.
enum class OptionType { string, boolean, int32, uint32, int64, uint64, float32, float64 };

/// The client settings read by the library's set_params, by key.
const std::map<std::string, OptionType>& client_option_types();

/// The registered connection options that travel to the server, in registry order.
std::vector<std::pair<std::string, OptionType>> connection_option_types();

}  // namespace tessellpy
