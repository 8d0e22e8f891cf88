#pragma once

#include <cstdint>
#include <string>

namespace ipc_tools {

/// Every message of the protocol. The codes are part of the wire contract of the engine's
/// traces and tests; never renumber them.
enum MessageType : std::uint32_t {
    UNSET = 0,
    INVALID_PROTOCOL = 1,
    BAD_REQUEST = 2,
    CONNECT = 3,
    CONNECTED = 4,
    INVALID_CONFIG = 5,
    INVALID_BARCODE_KIT = 6,
    INVALID_ALIGNER_OPTIONS = 7,
    INVALID_INDEX = 8,
    INVALID_BED = 9,
    INDEX_NO_SEQ = 10,
    DISCONNECT = 11,
    DISCONNECTED = 12,
    TERMINATE = 13,
    SHUTTING_DOWN = 14,
    GET_STATISTICS = 15,
    RETURN_STATISTICS = 16,
    LOAD_CONFIG = 17,
    GET_CONFIGS = 18,
    RETURN_CONFIGS = 19,
    LOAD_INDEX = 20,
    GET_INDICES = 21,
    LOAD_BED = 22,
    PASS_FIRST_RAW_BLOCK = 23,
    NOT_READY = 24,
    PASS_NEXT_RAW_BLOCK = 25,
    PASS_READ_BATCH = 26,
    CLIENT_NOT_RECOGNISED = 27,
    RAW_BLOCK_ACCEPTED = 28,
    BATCH_ACCEPTED = 29,
    GET_FIRST_CALLED_BLOCK = 30,
    RETURN_FIRST_CALLED_BLOCK = 31,
    NONE_PENDING = 32,
    GET_NEXT_CALLED_BLOCK = 33,
    RETURN_NEXT_CALLED_BLOCK = 34,
    RETURN_COMPLETED_BATCH = 35,
    GET_BARCODE_KITS = 36,
    GET_LAMP_KITS = 37,
    HEARTBEAT_PING = 38,
    HEARTBEAT_ECHO = 39,
    QUERY = 40,
    RESPONSE = 41,
    LOADING = 42,
    SUCCESS = 43,
    REQUEST_FAILED = 44,
    NO_MORE_DATA = 45,
};

/// Number of defined message types; any code at or above it is unknown.
constexpr std::uint32_t NUM_MESSAGE_TYPES = 46;

/// The code carried in the value field of a QUERY request.
enum class QueryCode : std::uint32_t {
    undefined = 0,
    internal_state = 1,
    minimap_info = 2,
    unrecognised = 3,
};

/// The name of a message type ("CONNECT"); "<unknown>" for codes outside the protocol.
std::string message_type_as_string(MessageType type);

}  // namespace ipc_tools
