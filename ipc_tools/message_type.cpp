#include "ipc_tools/message_type.h"

#include <array>

namespace ipc_tools {

namespace {

constexpr std::array<const char*, NUM_MESSAGE_TYPES> MESSAGE_TYPE_NAMES{
        "UNSET",
        "INVALID_PROTOCOL",
        "BAD_REQUEST",
        "CONNECT",
        "CONNECTED",
        "INVALID_CONFIG",
        "INVALID_BARCODE_KIT",
        "INVALID_ALIGNER_OPTIONS",
        "INVALID_INDEX",
        "INVALID_BED",
        "INDEX_NO_SEQ",
        "DISCONNECT",
        "DISCONNECTED",
        "TERMINATE",
        "SHUTTING_DOWN",
        "GET_STATISTICS",
        "RETURN_STATISTICS",
        "LOAD_CONFIG",
        "GET_CONFIGS",
        "RETURN_CONFIGS",
        "LOAD_INDEX",
        "GET_INDICES",
        "LOAD_BED",
        "PASS_FIRST_RAW_BLOCK",
        "NOT_READY",
        "PASS_NEXT_RAW_BLOCK",
        "PASS_READ_BATCH",
        "CLIENT_NOT_RECOGNISED",
        "RAW_BLOCK_ACCEPTED",
        "BATCH_ACCEPTED",
        "GET_FIRST_CALLED_BLOCK",
        "RETURN_FIRST_CALLED_BLOCK",
        "NONE_PENDING",
        "GET_NEXT_CALLED_BLOCK",
        "RETURN_NEXT_CALLED_BLOCK",
        "RETURN_COMPLETED_BATCH",
        "GET_BARCODE_KITS",
        "GET_LAMP_KITS",
        "HEARTBEAT_PING",
        "HEARTBEAT_ECHO",
        "QUERY",
        "RESPONSE",
        "LOADING",
        "SUCCESS",
        "REQUEST_FAILED",
        "NO_MORE_DATA",
};

}  // namespace

std::string message_type_as_string(MessageType type) {
    if (static_cast<std::uint32_t>(type) >= NUM_MESSAGE_TYPES) {
        return "<unknown>";
    }
    return MESSAGE_TYPE_NAMES[type];
}

}  // namespace ipc_tools
