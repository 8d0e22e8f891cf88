#pragma once

// Turns reads into the request frames that carry raw signal to the basecall server: the blocks of
// one read, or one batch message holding several short reads whole.

#include "basecall_client/fbbuilder_read_helper.h"
#include "interfaces/read_holder.h"
#include "ipc_tools/frame_buffer_pool.h"
#include "ipc_tools/message.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace basecall_service {

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
std::vector<ipc_tools::Message> build_read_block_messages(const interfaces::ReadHolder& read, std::uint64_t block_size,
                                                          const std::string& connection_id,
                                                          const std::shared_ptr<ipc_tools::FrameBufferPool>& pool = {});

/// One PASS_READ_BATCH message in which every read, in the given order, is one whole block.
ipc_tools::Message build_read_batch_message(const std::vector<const interfaces::ReadHolder*>& reads,
                                            const std::string& connection_id,
                                            const std::shared_ptr<ipc_tools::FrameBufferPool>& pool = {});

}  // namespace basecall_service
