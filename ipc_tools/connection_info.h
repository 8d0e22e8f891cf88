#pragma once

#include "data_wrappers/metadata.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ipc_tools {

/// What a client asks the server to set up when it connects, encoded as the connection string
/// "<config_name>:>timeout_interval=..>client_name=..>option=value...".
struct ConnectionInfo {
    std::string config_name;
    std::string client_name;
    std::string barcode_kits;
    std::string align_ref;
    std::string minimap_opt_string;
    std::string bed_file;
    std::string align_type;
    /// Travels as the value of the CONNECT request, not in the string.
    std::uint32_t priority = 2;
    /// Only the registered keys among these are sent.
    bass::data_wrappers::Metadata options;
    std::uint32_t timeout_interval = 0;

    /// Makes align_ref and bed_file canonical, then builds the connection string.
    /// Throws std::invalid_argument when the configuration name holds ":>" or a value holds ">",
    /// since the format has no escaping and such text would be read back as other options.
    std::string build_connection_string();

    /// Decodes a connection string; none on a malformed pair list or time-out, with `error` set.
    static std::optional<ConnectionInfo> parse(const std::string& text, std::string& error);
};

/// The server's answer to CONNECT: the id it gave the client and its versions.
struct ConnectedInfo {
    std::string server_version;
    std::string minimap_version;
    std::string client_uid;

    std::string create_message_string() const;

    /// None unless all three keys are present and the client id is not empty.
    static std::optional<ConnectedInfo> parse(const std::string& text);
};

}  // namespace ipc_tools
