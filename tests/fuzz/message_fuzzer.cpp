// A received frame through verification and type decision, as the request broker takes it in.

#include "ipc_tools/message.h"

#include <zmq.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// What the broker and the engine read of a reply whose type they accept.
void read_reply(const ipc_tools::Message& message) {
    const vexil_ipc::MessageData* root = message.get_message_data();
    if (ipc_tools::Message::check_message_type(root) != message.get_type()) {
        std::abort();  // the decision must not depend on which copy of the bytes is read
    }
    (void)message.get_protocol_version();
    if (const auto* id = root->client_id()) {
        (void)id->str();
    }
    if (const auto* reply = root->content_as_SimpleReplyData()) {
        if (reply->text() != nullptr) {
            (void)reply->text()->str();
        }
    }
    if (message.get_type() == ipc_tools::QUERY) {
        (void)ipc_tools::get_query_code(message);
    }
    const ipc_tools::Message duplicate = message.copy();
    if (duplicate.get_type() != message.get_type() || duplicate.empty() != message.empty()) {
        std::abort();
    }
    (void)ipc_tools::message_type_as_string(message.get_type());
}

void take_frame(zmq::message_t&& frame) {
    try {
        const ipc_tools::Message message(std::move(frame));
        if (!message.empty()) {
            read_reply(message);
        }
    } catch (const std::runtime_error&) {
        // A frame that does not verify is refused; the broker turns this into a bad reply.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // As ZeroMQ hands frames over: in its own (aligned) allocation...
    take_frame(zmq::message_t(data, size));
    // ...and at an odd address, which takes the aligned-copy path.
    std::vector<std::uint8_t> storage(size + 1);
    if (size > 0) {
        std::memcpy(storage.data() + 1, data, size);
    }
    zmq::message_t unaligned(storage.data() + 1, size, nullptr, nullptr);
    take_frame(std::move(unaligned));
    return 0;
}
