#pragma once

#include "ipc_tools/message_type.h"
#include "ipc_tools/vexil_ipc_generated.h"

#include <zmq.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace flatbuffers {
class FlatBufferBuilder;
}

namespace zmq {
class message_t;
}

namespace ipc_tools {

namespace detail {

/// Allocator giving 16-byte aligned storage, so that a verified copy of a frame can be read
/// with every scalar naturally aligned.
template <typename T>
struct Aligned16Allocator {
    using value_type = T;
    static constexpr std::align_val_t ALIGNMENT{16};

    Aligned16Allocator() = default;
    template <typename U>
    Aligned16Allocator(const Aligned16Allocator<U>&) noexcept {}

    T* allocate(std::size_t count) { return static_cast<T*>(::operator new(count * sizeof(T), ALIGNMENT)); }
    void deallocate(T* pointer, std::size_t) noexcept { ::operator delete(pointer, ALIGNMENT); }

    template <typename U>
    bool operator==(const Aligned16Allocator<U>&) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const Aligned16Allocator<U>&) const noexcept {
        return false;
    }
};

/// Closes and frees a heap-held ZeroMQ frame.
struct ZmqFrameDeleter {
    void operator()(zmq_msg_t* frame) const noexcept;
};

}  // namespace detail

/// One protocol message: one finished flatbuffer held in one ZeroMQ frame.
/// Outgoing buffers are handed to ZeroMQ without copying; received frames are verified before
/// anything reads them.
class Message {
public:
    Message();
    /// Takes over the finished buffer of `builder` without copying.
    explicit Message(flatbuffers::FlatBufferBuilder& builder);
    /// Builds a SimpleRequestData or SimpleReplyData message. Throws std::runtime_error for any
    /// other type.
    Message(MessageType type, const std::string& client_id, unsigned int value, const std::string& text);
    /// Wraps a received frame. A frame under 8 bytes gives UNSET, one with another file
    /// identifier INVALID_PROTOCOL (the frame then stays with the caller); a frame that does not
    /// verify throws std::runtime_error.
    explicit Message(zmq::message_t&& frame);

    Message(Message&& other) noexcept;
    Message& operator=(Message&& other) noexcept;
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    ~Message();

    MessageType get_type() const { return m_type; }
    bool empty() const { return m_frame == nullptr; }

    /// The verified root of the frame, verified on the first call and kept; a message is used by
    /// one thread at a time. Throws std::runtime_error "Invalid MessageData in Message." when the
    /// bytes do not verify.
    const vexil_ipc::MessageData* get_message_data() const;

    /// An explicit duplicate of the type and frame, sharing the frame's bytes.
    Message copy() const;

    /// Moves the frame into `outgoing` (an empty frame when none is held); leaves this empty.
    void transfer_to_zmq(zmq::message_t& outgoing);

    /// The sender's protocol version; all zeros when there is nothing readable.
    vexil_ipc::ProtocolVersion get_protocol_version() const;

    static MessageType check_message_type(const vexil_ipc::MessageData* message_data);
    static MessageType simple_request_type(const vexil_ipc::SimpleRequestData* request);
    static MessageType simple_reply_type(const vexil_ipc::SimpleReplyData* reply);
    static MessageType read_block_type(const vexil_ipc::ReadBlockData* block);
    static MessageType read_batch_type(const vexil_ipc::ReadBatchData* batch);

    /// Release routine handed to ZeroMQ together with a builder's buffer.
    static void free_builder_buffer(void* data, void* hint) noexcept;

private:
    using FramePtr = std::unique_ptr<zmq_msg_t, detail::ZmqFrameDeleter>;
    using AlignedBytes = std::vector<std::uint8_t, detail::Aligned16Allocator<std::uint8_t>>;

    void take_builder_buffer(flatbuffers::FlatBufferBuilder& builder);

    MessageType m_type;
    FramePtr m_frame;
    mutable AlignedBytes m_aligned_copy;
    mutable const vexil_ipc::MessageData* m_verified_root = nullptr;
};

/// The protocol version as text ("16.0.0").
std::string current_version_as_string();

/// A QUERY request carrying `query_code`; the code may not be QueryCode::undefined.
Message create_query_request(QueryCode query_code, const std::string& client_id);

/// The query code of a QUERY message; stored values of 3 or more give QueryCode::unrecognised.
QueryCode get_query_code(const Message& message);

}  // namespace ipc_tools
