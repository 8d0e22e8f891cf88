#include "ipc_tools/frame_buffer_pool.h"

#include "ipc_tools/message.h"
#include "ipc_tools/protocol_version.h"
#include "ipc_tools/vexil_ipc_generated.h"

#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>
#include <zmq.h>

#include <thread>
#include <vector>

using ipc_tools::FrameBufferPool;

namespace {

constexpr std::size_t LARGE = 300 * 1024;

// A message whose frame holds `samples` raw samples, built as the client builds read blocks.
ipc_tools::Message block_message(std::size_t samples, const std::shared_ptr<FrameBufferPool>& pool) {
    auto builder = ipc_tools::make_pooled_builder(2 * samples + 256, pool);
    const std::vector<std::int16_t> raw(samples, 7);
    const auto raw_offset = builder.CreateVector(raw);
    vexil_ipc::ReadBlockDataBuilder block(builder);
    block.add_type(vexil_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK);
    block.add_raw_data(raw_offset);
    const auto content = block.Finish();
    const auto root = vexil_ipc::CreateMessageData(builder, &ipc_tools::current_version(), 0,
                                                   vexil_ipc::Content_ReadBlockData, content.Union());
    vexil_ipc::FinishMessageDataBuffer(builder, root);
    return ipc_tools::Message(builder);
}

}  // namespace

TEST(FrameBufferPool, LargeBuffersAreReusedUpToTheLimitAndSmallOnesNeverKept) {
    FrameBufferPool pool(2 * 320 * 1024);
    std::uint8_t* first = pool.allocate(LARGE);
    pool.release(first, LARGE);
    EXPECT_EQ(pool.kept_bytes(), 320U * 1024);
    // A size in the same step gets the same buffer back; writing all of it must be sound.
    std::uint8_t* again = pool.allocate(LARGE - 1000);
    EXPECT_EQ(again, first);
    std::fill(again, again + LARGE, std::uint8_t{1});
    EXPECT_EQ(pool.kept_bytes(), 0U);

    // Three buffers back against room for two: the third is freed, not kept.
    std::uint8_t* second = pool.allocate(LARGE);
    std::uint8_t* third = pool.allocate(LARGE);
    pool.release(again, LARGE - 1000);
    pool.release(second, LARGE);
    pool.release(third, LARGE);
    EXPECT_EQ(pool.kept_bytes(), 2U * 320 * 1024);

    std::uint8_t* small = pool.allocate(1000);
    pool.release(small, 1000);
    pool.release(nullptr, LARGE);
    EXPECT_EQ(pool.kept_bytes(), 2U * 320 * 1024);
}

TEST(FrameBufferPool, MessagesOutliveTheOwnerOfTheirPoolAndGiveTheirBuffersBack) {
    auto pool = std::make_shared<FrameBufferPool>(64 * 1024 * 1024);
    const std::weak_ptr<FrameBufferPool> watched = pool;
    auto message = block_message(200000, pool);
    pool.reset();
    // The message's buffer keeps the pool alive and its content readable.
    ASSERT_FALSE(watched.expired());
    EXPECT_EQ(message.get_type(), ipc_tools::PASS_FIRST_RAW_BLOCK);
    EXPECT_EQ(message.get_message_data()->content_as_ReadBlockData()->raw_data()->size(), 200000U);
    // A copy shares the frame; the buffer goes back, and the pool with it, once both are gone.
    auto copy = message.copy();
    message = ipc_tools::Message();
    EXPECT_EQ(copy.get_message_data()->content_as_ReadBlockData()->raw_data()->Get(199999), 7);
    copy = ipc_tools::Message();
    EXPECT_TRUE(watched.expired());

    // Without a pool the builder is an ordinary one.
    EXPECT_EQ(block_message(10, nullptr).get_type(), ipc_tools::PASS_FIRST_RAW_BLOCK);
}

TEST(FrameBufferPool, BuffersTakenAndGivenBackOnSeveralThreadsAtOnce) {
    auto pool = std::make_shared<FrameBufferPool>(8 * 320 * 1024);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool, t] {
            for (int i = 0; i < 200; ++i) {
                auto message = block_message(100000 + 1000 * static_cast<std::size_t>(t), pool);
                // Released on another thread, as ZeroMQ may release a sent frame.
                std::thread([moved = std::move(message)]() mutable { moved = ipc_tools::Message(); }).join();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_LE(pool->kept_bytes(), 8U * 320 * 1024);
    EXPECT_GT(pool->kept_bytes(), 0U);
}
