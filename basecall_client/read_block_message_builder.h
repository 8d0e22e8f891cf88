#pragma once

// Turns reads into the request frames that carry raw signal to the basecall server: the blocks of
// one read, or one batch message holding several short reads whole.

#include "interfaces/read_holder.h"
#include "ipc_tools/frame_buffer_pool.h"
#include "ipc_tools/message.h"
#include "ipc_tools/vexil_ipc_generated.h"

#include <flatbuffers/flatbuffers.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace basecall_service {

/// Writes one ReadBlockData table of `read` holding `num_samples` samples of its raw data from
/// sample `first_sample` on. std::out_of_range without a raw-data dataset or for a missing or
/// mistyped required metadata key; std::runtime_error "Invalid array type requested." for raw data
/// that is not signed 16-bit, and std::runtime_error when the raw data ends before the block does.
flatbuffers::Offset<vexil_ipc::ReadBlockData> append_read_block_data(flatbuffers::FlatBufferBuilder& builder,
                                                                     const interfaces::ReadHolder& read,
                                                                     unsigned long num_samples,
                                                                     unsigned long block_index,
                                                                     unsigned long num_blocks,
                                                                     unsigned long first_sample);

/// A DuplexPairingData table when "sampling_rate", "channel", "mux" and "run_id" are all present,
/// else a null offset.
flatbuffers::Offset<vexil_ipc::DuplexPairingData> append_duplex_metadata(flatbuffers::FlatBufferBuilder& builder,
                                                                         const interfaces::ReadHolder& read);

/// A ScalingOverrideData table when "scaling_override" is the bool true, else a null offset.
flatbuffers::Offset<vexil_ipc::ScalingOverrideData> append_scaling_override(flatbuffers::FlatBufferBuilder& builder,
                                                                            const interfaces::ReadHolder& read);

/// Room a block builder starts with: the samples plus an allowance for the rest of the frame.
std::size_t block_builder_initial_size(std::uint64_t num_samples);
/// Room a batch builder starts with.
std::size_t batch_builder_initial_size(std::size_t num_reads, std::uint64_t total_samples);

/// The number of blocks of at most `block_size` samples that `duration` samples need.
/// std::invalid_argument for a block size of 0.
std::uint64_t num_blocks_for(std::uint64_t duration, std::uint64_t block_size);

/// The block messages of one read, first block first; empty for a read of duration 0. Every block
/// holds `block_size` samples except perhaps the last. The read is not changed. The frames are
/// built in buffers of `pool` when one is given.
std::vector<ipc_tools::Message> build_read_block_messages(const interfaces::ReadHolder& read,
                                                          std::uint64_t block_size,
                                                          const std::string& connection_id,
                                                          const std::shared_ptr<ipc_tools::FrameBufferPool>& pool = {});

/// One PASS_READ_BATCH message in which every read, in the given order, is one whole block.
ipc_tools::Message build_read_batch_message(const std::vector<const interfaces::ReadHolder*>& reads,
                                            const std::string& connection_id,
                                            const std::shared_ptr<ipc_tools::FrameBufferPool>& pool = {});

}  // namespace basecall_service
