#include "basecall_client/read_block_message_builder.h"

#include "ipc_tools/protocol_version.h"

#include <algorithm>
#include <stdexcept>

namespace basecall_service {

namespace {

using bass::data_wrappers::dataset;
using bass::data_wrappers::Metadata;

// Room for everything of a frame but its samples.
constexpr std::size_t BLOCK_FRAME_ALLOWANCE = 236;
constexpr std::size_t BATCH_READ_ALLOWANCE = 200;
constexpr std::size_t BATCH_FRAME_ALLOWANCE = 40;

template <typename T>
T optional_value(const Metadata& metadata, const std::string& key, T fallback) {
    const T* value = nullptr;
    return metadata.extract<T>(key, value) && value != nullptr ? *value : fallback;
}

template <typename T>
const T& required_value(const Metadata& metadata, const char* key) {
    const T* value = nullptr;
    if (!metadata.extract<T>(key, value) || value == nullptr) {
        throw std::out_of_range(std::string("Key '") + key + "' not found.");
    }
    return *value;
}

ipc_tools::Message finish_message(flatbuffers::FlatBufferBuilder& builder,
                                  const std::string& connection_id,
                                  vexil_ipc::Content content_type,
                                  flatbuffers::Offset<void> content) {
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

flatbuffers::Offset<vexil_ipc::DuplexPairingData> append_duplex_metadata(flatbuffers::FlatBufferBuilder& builder,
                                                                         const interfaces::ReadHolder& read) {
    const Metadata& metadata = read.metadata;
    if (!metadata.exists("sampling_rate") || !metadata.exists("channel") || !metadata.exists("mux") ||
        !metadata.exists("run_id")) {
        return 0;
    }
    const auto run_id = builder.CreateString(metadata.get<read_data::run_id>());
    return vexil_ipc::CreateDuplexPairingData(builder, metadata.get<read_data::sampling_rate>(),
                                              metadata.get<read_data::channel>(), metadata.get<read_data::mux>(),
                                              run_id);
}

flatbuffers::Offset<vexil_ipc::ScalingOverrideData> append_scaling_override(flatbuffers::FlatBufferBuilder& builder,
                                                                            const interfaces::ReadHolder& read) {
    const Metadata& metadata = read.metadata;
    if (!optional_value<bool>(metadata, "scaling_override", false)) {
        return 0;
    }
    return vexil_ipc::CreateScalingOverrideData(builder,
                                                optional_value<float>(metadata, "scaling_override_median", 0.0F),
                                                optional_value<float>(metadata, "scaling_override_med_abs_dev", 0.0F));
}

flatbuffers::Offset<vexil_ipc::ReadBlockData> append_read_block_data(flatbuffers::FlatBufferBuilder& builder,
                                                                     const interfaces::ReadHolder& read,
                                                                     unsigned long num_samples,
                                                                     unsigned long block_index,
                                                                     unsigned long num_blocks,
                                                                     unsigned long first_sample) {
    const auto& raw_view = read.datasets.at(dataset::raw_data);
    const std::int16_t* samples = raw_view.get_data<std::int16_t>();
    // A "duration" larger than the raw data must not make us read past its end.
    const std::uint64_t available = raw_view.m_info.size;
    if (first_sample > available || num_samples > available - first_sample) {
        throw std::runtime_error("Raw data of " + read.get_display_tag() + " holds " + std::to_string(available) +
                                 " samples, too few for its duration.");
    }
    const auto raw = builder.CreateVector(num_samples == 0 ? nullptr : samples + first_sample, num_samples);
    const auto duplex = append_duplex_metadata(builder, read);
    const auto scaling = append_scaling_override(builder, read);

    const Metadata& metadata = read.metadata;
    const auto duration = static_cast<std::uint32_t>(metadata.get<read_data::duration>());
    const float daq_offset = metadata.get<read_data::daq_offset>();
    const float daq_scaling = metadata.get<read_data::daq_scaling>();
    const auto read_id = builder.CreateString(metadata.get<read_data::read_id>());
    const auto sub_tag = static_cast<std::uint32_t>(read.sub_tag);
    const auto strand_id = builder.CreateString(metadata.get<read_data::strand_id>());
    const auto start_time = optional_value<std::uint64_t>(metadata, "start_time", 0);
    const auto num_dravik_events = optional_value<std::uint64_t>(metadata, "num_dravik_events", 0);

    vexil_ipc::ReadBlockDataBuilder block(builder);
    block.add_type(block_index == 0 ? vexil_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK
                                    : vexil_ipc::ReadBlockType_PASS_NEXT_RAW_BLOCK);
    // The protocol carries 32-bit tags.
    block.add_read_tag(static_cast<std::uint32_t>(read.read_tag));
    block.add_block_index(static_cast<std::uint32_t>(block_index));
    block.add_num_blocks(static_cast<std::uint32_t>(num_blocks));
    block.add_duration(duration);
    block.add_daq_offset(daq_offset);
    block.add_daq_scaling(daq_scaling);
    block.add_read_id(read_id);
    block.add_raw_data(raw);
    if (!scaling.IsNull()) {
        block.add_scaling_override(scaling);
    }
    block.add_sub_tag(sub_tag);
    block.add_strand_id(strand_id);
    block.add_start_time(start_time);
    block.add_num_dravik_events(num_dravik_events);
    if (!duplex.IsNull()) {
        block.add_duplex_pairing(duplex);
    }
    return block.Finish();
}

std::vector<ipc_tools::Message> build_read_block_messages(const interfaces::ReadHolder& read,
                                                          std::uint64_t block_size,
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
