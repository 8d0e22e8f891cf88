#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace ipc_tools {
namespace connection_string {

// Keys that travel outside the option registry.
inline const std::string KEY_CONNECTION_CLIENT_TIMEOUT = "timeout_interval";
inline const std::string KEY_CLIENT_NAME = "client_name";
inline const std::string KEY_CONNECTED_CLIENT_UID = "client_uid";
inline const std::string KEY_CONNECTED_SERVER_VERSION = "server_version";
inline const std::string KEY_CONNECTED_SERVER_MINIMAP_VERSION = "minimap_version";

/// Separator that opens every pair; it has no escape, so no key or value may hold it.
inline const std::string PAIR_SEPARATOR = ">";
/// Separator between the configuration name and the first pair.
inline const std::string CONFIG_SEPARATOR = ":>";

/// ">" + key + "=" + value.
std::string create_kvp(const std::string& key, std::uint32_t value);
std::string create_kvp(const std::string& key, const std::string& value);

/// The pairs of a ">key=value>key=value" text, or none when the text is malformed. An empty
/// text gives an empty map; a key seen again takes the later value.
std::optional<std::map<std::string, std::string>> get_kvps(const std::string& text);

/// Formatted extraction of an unsigned number; false when no number could be read.
bool parse_value(const std::string& text, std::uint32_t& value);

}  // namespace connection_string
}  // namespace ipc_tools
