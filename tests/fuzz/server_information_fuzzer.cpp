// The internal-state JSON of a server's RESPONSE through the extraction of its "ServerInformation"
// member, as the information query takes it.

#include "basecall_client/server_proxy.h"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string state(reinterpret_cast<const char*>(data), size);
    try {
        const std::string info = basecall_service::server_proxy::extract_server_information(state);
        if (info.empty()) {
            std::abort();  // a member always writes some JSON value
        }
    } catch (const std::runtime_error&) {
        // Not an object with the member: the query reports failed.
    }
    return 0;
}
