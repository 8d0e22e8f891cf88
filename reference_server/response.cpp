#include "reference_server/response.h"

#include "reference_server/reply_builder.h"

namespace reference_server {

Response reply(ipc_tools::Message message, std::chrono::milliseconds delay) {
    Response response;
    response.message = std::move(message);
    response.delay = delay;
    return response;
}

Response simple_reply(ipc_tools::MessageType type, const std::string& client_id, std::uint32_t value,
                      const std::string& text) {
    return reply(reply_builder::simple(type, client_id, value, text));
}

Response raw_reply(std::vector<std::uint8_t> frame) {
    Response response;
    response.kind = Response::Kind::raw_frame;
    response.raw_frame = std::move(frame);
    return response;
}

Response no_reply() {
    Response response;
    response.kind = Response::Kind::none;
    return response;
}

}  // namespace reference_server
