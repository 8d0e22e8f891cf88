#include "basecall_client/read_block_message_builder.h"

#include "basecall_client/fbbuilder_read_helper.h"
#include "ipc_tools/protocol_version.h"

#include <algorithm>
#include <stdexcept>

namespace basecall_service {

namespace {

// Room for everything of a frame but its samples.
constexpr std::size_t BLOCK_FRAME_ALLOWANCE = 236;
constexpr std::size_t BATCH_READ_ALLOWANCE = 200;
constexpr std::size_t BATCH_FRAME_ALLOWANCE = 40;

ipc_tools::Message finish_message(flatbuffers::FlatBufferBuilder& builder, const std::string& connection_id,
                                  vexil_ipc::Content content_type, flatbuffers::Offset<void> content) {
    // Written even when empty: the server reads the field before the client has an id.
    const auto id = builder.CreateString(connection_id);
    const auto root = vexil_ipc::CreateMessageData(builder, &ipc_tools::current_version(), id, content_type, content);
    vexil_ipc::FinishMessageDataBuffer(builder, root);
    return ipc_tools::Message(builder);
}

}  // namespace

std::size_t block_builder_initial_size(std::uint64_t num_samples) {
    return static_cast<std::size_t>(2 * num_samples + BLOCK_FRAME_ALLOWANCE);
}

std::size_t batch_builder_initial_size(std::size_t num_reads, std::uint64_t total_samples) {
    return BATCH_READ_ALLOWANCE * num_reads + static_cast<std::size_t>(2 * total_samples) + BATCH_FRAME_ALLOWANCE;
}

std::uint64_t num_blocks_for(std::uint64_t duration, std::uint64_t block_size) {
    if (block_size == 0) {
        throw std::invalid_argument("Read block size must be at least 1 sample.");
    }
    return duration / block_size + (duration % block_size != 0 ? 1 : 0);
}

std::vector<ipc_tools::Message> build_read_block_messages(const interfaces::ReadHolder& read, std::uint64_t block_size,
                                                          const std::string& connection_id,
                                                          const std::shared_ptr<ipc_tools::FrameBufferPool>& pool) {
    const std::uint64_t duration = read.metadata.get<read_data::duration>();
    const std::uint64_t num_blocks = num_blocks_for(duration, block_size);
    std::vector<ipc_tools::Message> messages;
    messages.reserve(static_cast<std::size_t>(num_blocks));
    for (std::uint64_t index = 0; index < num_blocks; ++index) {
        const std::uint64_t first_sample = index * block_size;
        const std::uint64_t num_samples = std::min(block_size, duration - first_sample);
        // Each block gets its own frame, so no frame grows beyond one block of samples.
        auto builder = ipc_tools::make_pooled_builder(block_builder_initial_size(num_samples), pool);
        const auto block = append_read_block_data(builder, read, num_samples, index, num_blocks, first_sample);
        messages.push_back(finish_message(builder, connection_id, vexil_ipc::Content_ReadBlockData, block.Union()));
    }
    return messages;
}

ipc_tools::Message build_read_batch_message(const std::vector<const interfaces::ReadHolder*>& reads,
                                            const std::string& connection_id,
                                            const std::shared_ptr<ipc_tools::FrameBufferPool>& pool) {
    std::uint64_t total_samples = 0;
    for (const auto* read : reads) {
        total_samples += read->metadata.get<read_data::duration>();
    }
    auto builder = ipc_tools::make_pooled_builder(batch_builder_initial_size(reads.size(), total_samples), pool);
    std::vector<flatbuffers::Offset<vexil_ipc::ReadBlockData>> blocks;
    blocks.reserve(reads.size());
    for (const auto* read : reads) {
        const auto duration = read->metadata.get<read_data::duration>();
        blocks.push_back(append_read_block_data(builder, *read, duration, 0, 1, 0));
    }
    const auto block_vector = builder.CreateVector(blocks);
    const auto batch = vexil_ipc::CreateReadBatchData(builder, 0, block_vector);
    return finish_message(builder, connection_id, vexil_ipc::Content_ReadBatchData, batch.Union());
}

}  // namespace basecall_service
