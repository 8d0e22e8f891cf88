#include "basecall_client/fbbuilder_read_helper.h"

#include <stdexcept>
#include <string>

namespace basecall_service {

namespace {

using bass::data_wrappers::dataset;
using bass::data_wrappers::Metadata;

// The value under `key` when it is present with exactly type T, else `fallback`.
template <typename T>
T optional_value(const Metadata& metadata, const std::string& key, T fallback) {
    const T* value = nullptr;
    return metadata.extract<T>(key, value) && value != nullptr ? *value : fallback;
}

}  // namespace

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

flatbuffers::Offset<vexil_ipc::ReadBlockData> append_read_block_data(
        flatbuffers::FlatBufferBuilder& builder, const interfaces::ReadHolder& read, unsigned long num_samples,
        unsigned long block_index, unsigned long num_blocks, unsigned long first_sample) {
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

}  // namespace basecall_service
