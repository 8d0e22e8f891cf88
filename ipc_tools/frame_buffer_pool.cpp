#include "ipc_tools/frame_buffer_pool.h"

#include <flatbuffers/flatbuffers.h>

#include <utility>

namespace ipc_tools {

namespace {

/// The allocator of one builder. The builder owns it, and so does the detached buffer the builder
/// hands to its message, which deletes it after the buffer: the pool it holds outlives the buffer.
class PooledAllocator : public flatbuffers::Allocator {
public:
    explicit PooledAllocator(std::shared_ptr<FrameBufferPool> pool) : m_pool(std::move(pool)) {}
    std::uint8_t* allocate(std::size_t size) override { return m_pool->allocate(size); }
    void deallocate(std::uint8_t* buffer, std::size_t size) override { m_pool->release(buffer, size); }

private:
    const std::shared_ptr<FrameBufferPool> m_pool;
};

}  // namespace

FrameBufferPool::FrameBufferPool(std::size_t max_kept_bytes) : m_max_kept_bytes(max_kept_bytes) {}

FrameBufferPool::~FrameBufferPool() {
    for (auto& entry : m_free) {
        for (auto* buffer : entry.second) {
            delete[] buffer;
        }
    }
}

std::size_t FrameBufferPool::capacity_for(std::size_t size) {
    return size < MIN_POOLED_BYTES ? size : (size + SIZE_STEP - 1) / SIZE_STEP * SIZE_STEP;
}

std::uint8_t* FrameBufferPool::allocate(std::size_t size) {
    const std::size_t capacity = capacity_for(size);
    if (capacity >= MIN_POOLED_BYTES) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_free.find(capacity);
        if (found != m_free.end() && !found->second.empty()) {
            auto* buffer = found->second.back();
            found->second.pop_back();
            m_kept_bytes -= capacity;
            return buffer;
        }
    }
    return new std::uint8_t[capacity];
}

void FrameBufferPool::release(std::uint8_t* buffer, std::size_t size) noexcept {
    if (buffer == nullptr) {
        return;
    }
    const std::size_t capacity = capacity_for(size);
    if (capacity >= MIN_POOLED_BYTES) {
        try {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_kept_bytes + capacity <= m_max_kept_bytes) {
                m_free[capacity].push_back(buffer);
                m_kept_bytes += capacity;
                return;
            }
        } catch (...) {
            // No room to note it: the buffer is freed instead.
        }
    }
    delete[] buffer;
}

std::size_t FrameBufferPool::kept_bytes() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_kept_bytes;
}

flatbuffers::FlatBufferBuilder make_pooled_builder(std::size_t initial_size,
                                                   const std::shared_ptr<FrameBufferPool>& pool) {
    if (!pool) {
        return flatbuffers::FlatBufferBuilder(initial_size);
    }
    auto allocator = std::make_unique<PooledAllocator>(pool);
    flatbuffers::FlatBufferBuilder builder(initial_size, allocator.get(), true);
    allocator.release();  // now the builder's
    return builder;
}

}  // namespace ipc_tools
