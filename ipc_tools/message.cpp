#include "ipc_tools/message.h"

#include "ipc_tools/protocol_version.h"

#include "common/contract.h"

#include <flatbuffers/flatbuffers.h>
#include <zmq.hpp>

#include <array>
#include <cstring>
#include <stdexcept>

namespace ipc_tools {

namespace {

constexpr char FILE_IDENTIFIER[] = "0016";
constexpr std::size_t ENVELOPE_SIZE = 8;
constexpr flatbuffers::uoffset_t MAX_VERIFY_DEPTH = 64;
constexpr flatbuffers::uoffset_t MAX_VERIFY_TABLES = 1000000;
// The widest scalar of the schema: ZeroMQ hands large frames over 8-aligned, so asking for more
// would copy every large frame received.
constexpr std::uintptr_t FRAME_ALIGNMENT = 8;
constexpr unsigned int SIMPLE_BUILDER_INITIAL_SIZE = 256;
const char* const INVALID_MESSAGE_DATA = "Invalid MessageData in Message.";

// Index = SimpleRequestType on the wire.
constexpr std::array<MessageType, 16> REQUEST_TYPES{
        CONNECT,
        DISCONNECT,
        TERMINATE,
        GET_STATISTICS,
        LOAD_CONFIG,
        GET_CONFIGS,
        GET_FIRST_CALLED_BLOCK,
        GET_NEXT_CALLED_BLOCK,
        LOAD_INDEX,
        GET_INDICES,
        LOAD_BED,
        GET_BARCODE_KITS,
        GET_LAMP_KITS,
        HEARTBEAT_PING,
        QUERY,
        NO_MORE_DATA,
};

// Index = SimpleReplyType on the wire.
constexpr std::array<MessageType, 20> REPLY_TYPES{
        CONNECTED,
        DISCONNECTED,
        SHUTTING_DOWN,
        INVALID_CONFIG,
        INVALID_BARCODE_KIT,
        CLIENT_NOT_RECOGNISED,
        RAW_BLOCK_ACCEPTED,
        BATCH_ACCEPTED,
        NOT_READY,
        NONE_PENDING,
        BAD_REQUEST,
        INVALID_INDEX,
        INVALID_BED,
        INDEX_NO_SEQ,
        HEARTBEAT_ECHO,
        RESPONSE,
        LOADING,
        SUCCESS,
        REQUEST_FAILED,
        INVALID_ALIGNER_OPTIONS,
};

// Index = ReadBlockType on the wire.
constexpr std::array<MessageType, 4> READ_BLOCK_TYPES{PASS_FIRST_RAW_BLOCK, PASS_NEXT_RAW_BLOCK,
                                                      RETURN_FIRST_CALLED_BLOCK, RETURN_NEXT_CALLED_BLOCK};

template <std::size_t N>
MessageType lookup(const std::array<MessageType, N>& table, std::int32_t wire_value) {
    if (wire_value < 0 || static_cast<std::size_t>(wire_value) >= N) {
        return UNSET;
    }
    return table[static_cast<std::size_t>(wire_value)];
}

template <std::size_t N>
int reverse_lookup(const std::array<MessageType, N>& table, MessageType type) {
    for (std::size_t index = 0; index < N; ++index) {
        if (table[index] == type) {
            return static_cast<int>(index);
        }
    }
    return -1;
}

// The generated verifier accepts union type codes it does not know; the protocol refuses them.
bool block_union_codes_known(const vexil_ipc::ReadBlockData* block) {
    if (block == nullptr || block->called_block() == nullptr) {
        return true;
    }
    return static_cast<unsigned>(block->called_block()->trace_type()) <=
           static_cast<unsigned>(vexil_ipc::TraceData_MAX);
}

bool union_codes_known(const vexil_ipc::MessageData* root) {
    const auto content_type = root->content_type();
    if (static_cast<unsigned>(content_type) > static_cast<unsigned>(vexil_ipc::Content_MAX)) {
        return false;
    }
    if (content_type == vexil_ipc::Content_ReadBlockData) {
        return block_union_codes_known(root->content_as_ReadBlockData());
    }
    if (content_type == vexil_ipc::Content_ReadBatchData) {
        const auto* batch = root->content_as_ReadBatchData();
        if (batch != nullptr && batch->read_blocks() != nullptr) {
            for (const auto* block : *batch->read_blocks()) {
                if (!block_union_codes_known(block)) {
                    return false;
                }
            }
        }
    }
    return true;
}

zmq_msg_t* frame_of(zmq::message_t& message) { return message.handle(); }

}  // namespace

namespace detail {

void ZmqFrameDeleter::operator()(zmq_msg_t* frame) const noexcept {
    zmq_msg_close(frame);
    delete frame;
}

}  // namespace detail

const vexil_ipc::ProtocolVersion& current_version() {
    static const vexil_ipc::ProtocolVersion version(16, 0, 0);
    return version;
}

std::string current_version_as_string() {
    const auto& version = current_version();
    return std::to_string(version.major()) + "." + std::to_string(version.minor()) + "." +
           std::to_string(version.patch());
}

Message::Message() : m_type(UNSET) {}

Message::Message(flatbuffers::FlatBufferBuilder& builder) : m_type(UNSET) { take_builder_buffer(builder); }

Message::Message(MessageType type, const std::string& client_id, unsigned int value, const std::string& text)
    : m_type(type) {
    const int request_code = reverse_lookup(REQUEST_TYPES, type);
    const int reply_code = request_code < 0 ? reverse_lookup(REPLY_TYPES, type) : -1;
    if (request_code < 0 && reply_code < 0) {
        m_type = UNSET;
        throw std::runtime_error("Invalid MessageType for simple message constructor.");
    }

    flatbuffers::FlatBufferBuilder builder(SIMPLE_BUILDER_INITIAL_SIZE);
    // The text travels up to its first NUL, as the server reads it as a C string.
    const auto text_offset =
            text.empty() ? flatbuffers::Offset<flatbuffers::String>() : builder.CreateString(text.c_str());
    flatbuffers::Offset<void> content;
    vexil_ipc::Content content_type;
    if (request_code >= 0) {
        content = vexil_ipc::CreateSimpleRequestData(builder, static_cast<vexil_ipc::SimpleRequestType>(request_code),
                                                     value, text_offset)
                          .Union();
        content_type = vexil_ipc::Content_SimpleRequestData;
    } else {
        content = vexil_ipc::CreateSimpleReplyData(builder, static_cast<vexil_ipc::SimpleReplyType>(reply_code), value,
                                                   text_offset)
                          .Union();
        content_type = vexil_ipc::Content_SimpleReplyData;
    }
    // Left out when empty: CONNECT goes out before the server has given the client an id.
    const auto client_id_offset = client_id.empty() ? flatbuffers::Offset<flatbuffers::String>()
                                                    : builder.CreateString(client_id.data(), client_id.size());
    const auto root =
            vexil_ipc::CreateMessageData(builder, &current_version(), client_id_offset, content_type, content);
    vexil_ipc::FinishMessageDataBuffer(builder, root);

    m_type = UNSET;
    take_builder_buffer(builder);
}

Message::Message(zmq::message_t&& frame) : m_type(UNSET) {
    const auto* bytes = static_cast<const char*>(frame.data());
    if (bytes == nullptr || frame.size() < ENVELOPE_SIZE) {
        return;
    }
    if (std::memcmp(bytes + 4, FILE_IDENTIFIER, 4) != 0) {
        m_type = INVALID_PROTOCOL;
        return;
    }
    FramePtr owned(new zmq_msg_t);
    if (zmq_msg_init(owned.get()) != 0) {
        const int error = zmq_errno();
        delete owned.release();
        throw zmq::error_t(error);
    }
    if (zmq_msg_move(owned.get(), frame_of(frame)) != 0) {
        throw zmq::error_t();
    }
    m_frame = std::move(owned);
    m_type = check_message_type(get_message_data());
}

Message::Message(Message&& other) noexcept
    : m_type(other.m_type),
      m_frame(std::move(other.m_frame)),
      m_aligned_copy(std::move(other.m_aligned_copy)),
      m_verified_root(other.m_verified_root) {
    // The root points into the frame or the aligned copy, whose storage moves along unchanged.
    other.m_type = UNSET;
    other.m_aligned_copy = AlignedBytes();
    other.m_verified_root = nullptr;
}

Message& Message::operator=(Message&& other) noexcept {
    std::swap(m_type, other.m_type);
    std::swap(m_frame, other.m_frame);
    std::swap(m_aligned_copy, other.m_aligned_copy);
    std::swap(m_verified_root, other.m_verified_root);
    return *this;
}

Message::~Message() {
    m_aligned_copy = AlignedBytes();
    m_frame.reset();
}

void Message::take_builder_buffer(flatbuffers::FlatBufferBuilder& builder) {
    // The detached buffer owns the allocation and, when the builder owned it, the allocator;
    // ZeroMQ hands it back to free_builder_buffer once the bytes have gone out.
    auto record = std::make_unique<flatbuffers::DetachedBuffer>(builder.Release());
    auto* const data = record->data();
    const auto size = static_cast<std::uint32_t>(record->size());

    FramePtr frame(new (std::nothrow) zmq_msg_t);
    if (frame == nullptr) {
        return;  // the record is released on return
    }
    if (zmq_msg_init_data(frame.get(), data, size, &Message::free_builder_buffer, record.get()) != 0) {
        delete frame.release();  // never initialised, so never closed
        return;
    }
    record.release();  // now owned by the frame
    m_frame = std::move(frame);
    m_type = check_message_type(flatbuffers::GetRoot<vexil_ipc::MessageData>(data));
}

void Message::free_builder_buffer(void* /*data*/, void* hint) noexcept {
    delete static_cast<flatbuffers::DetachedBuffer*>(hint);
}

const vexil_ipc::MessageData* Message::get_message_data() const {
    if (!m_frame) {
        throw std::runtime_error(INVALID_MESSAGE_DATA);
    }
    // The bytes never change while the frame is held: one verification serves every reader.
    if (m_verified_root != nullptr) {
        return m_verified_root;
    }
    const auto* data = static_cast<const std::uint8_t*>(zmq_msg_data(m_frame.get()));
    const std::size_t size = zmq_msg_size(m_frame.get());
    // The verifier cannot address a buffer this large; refuse it before copying anything.
    if (data == nullptr || size < ENVELOPE_SIZE || size >= FLATBUFFERS_MAX_BUFFER_SIZE) {
        throw std::runtime_error(INVALID_MESSAGE_DATA);
    }
    if (reinterpret_cast<std::uintptr_t>(data) % FRAME_ALIGNMENT != 0) {
        if (m_aligned_copy.empty()) {
            m_aligned_copy.assign(data, data + size);
        }
        data = m_aligned_copy.data();
    }
    flatbuffers::Verifier verifier(data, size, MAX_VERIFY_DEPTH, MAX_VERIFY_TABLES, true);
    if (!vexil_ipc::VerifyMessageDataBuffer(verifier)) {
        throw std::runtime_error(INVALID_MESSAGE_DATA);
    }
    const auto* root = vexil_ipc::GetMessageData(data);
    if (!union_codes_known(root)) {
        throw std::runtime_error(INVALID_MESSAGE_DATA);
    }
    m_verified_root = root;
    return root;
}

Message Message::copy() const {
    Message duplicate;
    duplicate.m_type = m_type;
    if (!m_frame) {
        return duplicate;
    }
    if (zmq_msg_size(m_frame.get()) == 0) {
        return duplicate;
    }
    // ZeroMQ shares the bytes by reference count instead of copying them; neither message ever
    // changes them, and each can be sent (which gives up only its own reference).
    FramePtr frame(new zmq_msg_t);
    if (zmq_msg_init(frame.get()) != 0) {
        const int error = zmq_errno();
        delete frame.release();
        throw zmq::error_t(error);
    }
    if (zmq_msg_copy(frame.get(), m_frame.get()) != 0) {
        throw zmq::error_t();
    }
    duplicate.m_frame = std::move(frame);
    return duplicate;
}

void Message::transfer_to_zmq(zmq::message_t& outgoing) {
    if (!m_frame) {
        outgoing.rebuild();
        return;
    }
    if (zmq_msg_move(frame_of(outgoing), m_frame.get()) != 0) {
        throw zmq::error_t();
    }
    m_type = UNSET;
    m_frame.reset();
    m_aligned_copy.clear();
    m_verified_root = nullptr;
}

vexil_ipc::ProtocolVersion Message::get_protocol_version() const {
    if (!m_frame || m_type < BAD_REQUEST) {
        return vexil_ipc::ProtocolVersion(0, 0, 0);
    }
    const auto* version = get_message_data()->version();
    return version != nullptr ? *version : vexil_ipc::ProtocolVersion(0, 0, 0);
}

MessageType Message::check_message_type(const vexil_ipc::MessageData* message_data) {
    if (message_data == nullptr) {
        return UNSET;
    }
    switch (message_data->content_type()) {
        case vexil_ipc::Content_SimpleRequestData:
            return simple_request_type(message_data->content_as_SimpleRequestData());
        case vexil_ipc::Content_SimpleReplyData:
            return simple_reply_type(message_data->content_as_SimpleReplyData());
        case vexil_ipc::Content_ReadBlockData:
            return read_block_type(message_data->content_as_ReadBlockData());
        case vexil_ipc::Content_ReadBatchData:
            return read_batch_type(message_data->content_as_ReadBatchData());
        case vexil_ipc::Content_ConfigData:
            return RETURN_CONFIGS;
        case vexil_ipc::Content_ServerStats:
            return RETURN_STATISTICS;
        default:
            return UNSET;
    }
}

// A content kind whose table is absent has nothing readable, so it is UNSET rather than the
// default of its kind: an empty reply must never pass for, say, CONNECTED.
MessageType Message::simple_request_type(const vexil_ipc::SimpleRequestData* request) {
    return request == nullptr ? UNSET : lookup(REQUEST_TYPES, static_cast<std::int32_t>(request->type()));
}

MessageType Message::simple_reply_type(const vexil_ipc::SimpleReplyData* reply) {
    return reply == nullptr ? UNSET : lookup(REPLY_TYPES, static_cast<std::int32_t>(reply->type()));
}

MessageType Message::read_block_type(const vexil_ipc::ReadBlockData* block) {
    return block == nullptr ? UNSET : lookup(READ_BLOCK_TYPES, static_cast<std::int32_t>(block->type()));
}

MessageType Message::read_batch_type(const vexil_ipc::ReadBatchData* batch) {
    if (batch == nullptr) {
        return UNSET;
    }
    switch (batch->batch_type()) {
        case 0:
            return PASS_READ_BATCH;
        case 1:
            return RETURN_COMPLETED_BATCH;
        default:
            return UNSET;
    }
}

Message create_query_request(QueryCode query_code, const std::string& client_id) {
    COMMON_CONTRACT_CHECK(query_code != QueryCode::undefined,
                          "The query code for a QUERY request message may not be undefined", "ipc_tools/message");
    return Message(QUERY, client_id, static_cast<unsigned int>(query_code), std::string());
}

QueryCode get_query_code(const Message& message) {
    COMMON_CONTRACT_CHECK(message.get_type() == QUERY, "Can only extract query code from a QUERY message",
                          "ipc_tools/message");
    const auto* request = message.get_message_data()->content_as_SimpleRequestData();
    const std::uint32_t value = request != nullptr ? request->value() : 0;
    return value < static_cast<std::uint32_t>(QueryCode::unrecognised) ? static_cast<QueryCode>(value)
                                                                       : QueryCode::unrecognised;
}

}  // namespace ipc_tools
