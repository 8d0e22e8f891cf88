#pragma once

#include "basecall_client/client_connection_state.h"
#include "interfaces/read_holder.h"
#include "ipc_tools/vexil_ipc_generated.h"

#include <cstddef>

namespace basecall_service {

using AlignmentResultsVector = flatbuffers::Vector<flatbuffers::Offset<vexil_ipc::AlignmentResults>>;

// Longest genome name the alignment table holds is one less than this (the cell keeps a terminator).
constexpr std::size_t MAX_ALIGNMENT_GENOME_NAME_SIZE = 253;

// Turns the server's alignments of a called read into the read's align_results table, its
// "alignment_sam_record" and "alignment_bed_lines" texts and the alignment summary keys.
// Nothing is done for a null or empty vector. A genome name too long for the table fails the
// whole step before anything is written: `error_state` then holds bad_reply and false is returned.
bool write_alignment_results(const AlignmentResultsVector* alignments, interfaces::ReadHolder& holder,
                             ErrorState& error_state);

}  // namespace basecall_service
