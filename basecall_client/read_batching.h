#pragma once

// How the reads of one list are grouped for the server, and how a refused list is restored: plain
// functions over the reads, apart from the buffer and its lock.

#include "interfaces/read_holder.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace basecall_service {

/// A read remembered with its position in the caller's list, so that a refused list can be
/// restored in the caller's order.
using PositionedRead = std::pair<unsigned long, std::unique_ptr<interfaces::ReadHolder>>;

/// The groups one list of reads travels in: reads that go alone, and batches of whole short reads.
struct BatchPlan {
    std::vector<PositionedRead> singles;
    std::vector<std::vector<PositionedRead>> batches;

    bool empty() const { return singles.empty() && batches.empty(); }
};

/// Moves the reads of `reads` into groups: a read longer than `block_size` samples goes alone;
/// shorter ones are packed, in list order, into batches of at most `block_size` samples. A batch
/// closed by the read that did not fit goes alone when it holds one read; the last batch stays a
/// batch however few it holds. Every duration is looked up first: when one is missing
/// (std::out_of_range) the list is left as it was. `reads` is left empty.
BatchPlan plan_batches(interfaces::ReadList& reads, std::uint64_t block_size);

/// The first read of `reads` whose tag (its 32 bits on the wire) an earlier read of the list has;
/// null when every tag differs.
const interfaces::ReadHolder* first_repeated_tag(const interfaces::ReadList& reads);

/// Gives the reads of a refused `queue_reads` call back to the caller's (empty) list in the
/// order of their positions.
void put_reads_back(std::vector<std::vector<PositionedRead>>& batches, std::vector<PositionedRead>& singles,
                    interfaces::ReadList& reads);
/// The same for a whole plan, which is left empty.
void put_reads_back(BatchPlan& plan, interfaces::ReadList& reads);

}  // namespace basecall_service
