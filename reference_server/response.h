#pragma once

#include "ipc_tools/message.h"
#include "reference_server/called_read.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace reference_server {

/// A GET_FIRST_CALLED_BLOCK held back until the client's oldest read has been called.
struct HeldPull {
    std::string client_id;
    std::uint32_t options = 0;
    ReadCorruption corruption;
};

/// What the server sends back for one request.
struct Response {
    /// held: no reply yet; RequestHandler::resume gives it once `held` can be answered.
    enum class Kind { message, raw_frame, none, held };
    Kind kind = Kind::message;
    ipc_tools::Message message;
    std::vector<std::uint8_t> raw_frame;
    HeldPull held;
    std::chrono::milliseconds delay{0};
    /// The client a delayed reply answers: it is not silent until that reply has gone.
    std::string client_id;
};

Response reply(ipc_tools::Message message, std::chrono::milliseconds delay = std::chrono::milliseconds(0));
/// A SimpleReplyData reply of `type`.
Response simple_reply(ipc_tools::MessageType type, const std::string& client_id, std::uint32_t value = 0,
                      const std::string& text = {});
/// A frame sent as it is, not a message.
Response raw_reply(std::vector<std::uint8_t> frame);
/// No reply at all.
Response no_reply();

}  // namespace reference_server
