// The server's CONNECTED answer (client id and versions) through the connection-string codec, and
// the same codec's reading of a whole connection string.

#include "ipc_tools/connection_info.h"
#include "ipc_tools/connection_string.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    if (const auto connected = ipc_tools::ConnectedInfo::parse(text)) {
        // What was read must survive being written and read again unchanged.
        const auto again = ipc_tools::ConnectedInfo::parse(connected->create_message_string());
        if (!again || again->client_uid != connected->client_uid ||
            again->server_version != connected->server_version ||
            again->minimap_version != connected->minimap_version) {
            std::abort();
        }
    }

    std::string error;
    if (const auto info = ipc_tools::ConnectionInfo::parse(text, error)) {
        if (!error.empty()) {
            std::abort();  // success leaves no error
        }
        for (const auto& [key, type] : info->options.get_keys()) {
            (void)type;
            (void)info->options.get_as_string(key);
        }
    } else if (error.empty()) {
        std::abort();  // a failure says why
    }

    std::uint32_t value = 0;
    (void)ipc_tools::connection_string::parse_value(text, value);
    return 0;
}
