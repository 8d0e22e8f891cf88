#pragma once

// Fills the tables of one read block from a read: the block itself, and the duplex pairing and
// scaling override tables nested in it. The message builders frame them.

#include "interfaces/read_holder.h"
#include "ipc_tools/vexil_ipc_generated.h"

#include <flatbuffers/flatbuffers.h>

namespace basecall_service {

/// Writes one ReadBlockData table of `read` holding `num_samples` samples of its raw data from
/// sample `first_sample` on. std::out_of_range without a raw-data dataset or for a missing or
/// mistyped required metadata key; std::runtime_error "Invalid array type requested." for raw data
/// that is not signed 16-bit, and std::runtime_error when the raw data ends before the block does.
flatbuffers::Offset<vexil_ipc::ReadBlockData> append_read_block_data(
        flatbuffers::FlatBufferBuilder& builder, const interfaces::ReadHolder& read, unsigned long num_samples,
        unsigned long block_index, unsigned long num_blocks, unsigned long first_sample);

/// A DuplexPairingData table when "sampling_rate", "channel", "mux" and "run_id" are all present,
/// else a null offset.
flatbuffers::Offset<vexil_ipc::DuplexPairingData> append_duplex_metadata(flatbuffers::FlatBufferBuilder& builder,
                                                                         const interfaces::ReadHolder& read);

/// A ScalingOverrideData table when "scaling_override" is the bool true, else a null offset.
flatbuffers::Offset<vexil_ipc::ScalingOverrideData> append_scaling_override(flatbuffers::FlatBufferBuilder& builder,
                                                                            const interfaces::ReadHolder& read);

}  // namespace basecall_service
