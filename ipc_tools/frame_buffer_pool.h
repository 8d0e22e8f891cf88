#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace flatbuffers {
class FlatBufferBuilder;
}

namespace ipc_tools {

/// Keeps the large buffers of sent messages for the next messages to be built in. The C library
/// maps every buffer of a few hundred kilobytes afresh and unmaps it when freed, so building a
/// message of samples would otherwise fault in every page it writes. Small buffers are left to the
/// C library, which reuses them itself. Thread-safe: buffers come back on whichever thread ZeroMQ
/// releases them.
class FrameBufferPool {
public:
    /// Buffers of at least this many bytes are pooled.
    static constexpr std::size_t MIN_POOLED_BYTES = 128 * 1024;
    /// Pooled buffers are sized in steps of this many bytes, so that blocks of nearly one size share
    /// their buffers.
    static constexpr std::size_t SIZE_STEP = 64 * 1024;

    /// `max_kept_bytes`: the most the pool holds while no message uses it.
    explicit FrameBufferPool(std::size_t max_kept_bytes);
    FrameBufferPool(const FrameBufferPool&) = delete;
    FrameBufferPool& operator=(const FrameBufferPool&) = delete;
    ~FrameBufferPool();

    /// A buffer of at least `size` bytes, which goes back through `release` with the same size.
    std::uint8_t* allocate(std::size_t size);
    void release(std::uint8_t* buffer, std::size_t size) noexcept;

    /// Bytes held for reuse.
    std::size_t kept_bytes() const;

private:
    static std::size_t capacity_for(std::size_t size);

    const std::size_t m_max_kept_bytes;
    mutable std::mutex m_mutex;
    std::map<std::size_t, std::vector<std::uint8_t*>> m_free;  // by capacity
    std::size_t m_kept_bytes = 0;
};

/// A builder whose buffer comes from `pool` (when given) and goes back to it once the message
/// built in it has been released, however long after; the pool lives at least that long.
flatbuffers::FlatBufferBuilder make_pooled_builder(std::size_t initial_size,
                                                   const std::shared_ptr<FrameBufferPool>& pool);

}  // namespace ipc_tools
