#include "basecall_client/read_batching.h"

#include <algorithm>
#include <iterator>

namespace basecall_service {

using interfaces::ReadHolder;

BatchPlan plan_batches(interfaces::ReadList& reads, std::uint64_t block_size) {
    // Look every duration up before anything leaves the caller's list.
    std::vector<std::uint64_t> durations;
    durations.reserve(reads.size());
    for (const auto& read : reads) {
        durations.push_back(read->metadata.get<read_data::duration>());
    }
    BatchPlan plan;
    std::vector<PositionedRead> open_batch;
    std::uint64_t open_samples = 0;
    const auto close_batch = [&] {
        if (open_batch.size() == 1) {
            plan.singles.push_back(std::move(open_batch.front()));
        } else if (open_batch.size() > 1) {
            plan.batches.push_back(std::move(open_batch));
        }
        open_batch.clear();
        open_samples = 0;
    };
    unsigned long position = 0;
    for (auto& read : reads) {
        const std::uint64_t duration = durations[position];
        if (duration > block_size) {
            plan.singles.emplace_back(position, std::move(read));
        } else {
            if (block_size < open_samples + duration) {
                close_batch();
            }
            open_batch.emplace_back(position, std::move(read));
            open_samples += duration;
        }
        ++position;
    }
    if (!open_batch.empty()) {
        plan.batches.push_back(std::move(open_batch));
    }
    reads.clear();
    return plan;
}

const ReadHolder* first_repeated_tag(const interfaces::ReadList& reads) {
    // Sorted (tag, position) entries: one allocation for the whole list, where a set would take one
    // per read, and a list is checked on every attempt to pass it.
    struct Entry {
        std::uint32_t tag;
        std::size_t position;
        const ReadHolder* read;
        bool operator<(const Entry& other) const {
            return tag != other.tag ? tag < other.tag : position < other.position;
        }
    };
    std::vector<Entry> entries;
    entries.reserve(reads.size());
    for (const auto& read : reads) {
        entries.push_back({static_cast<std::uint32_t>(read->read_tag), entries.size(), read.get()});
    }
    std::sort(entries.begin(), entries.end());
    // The read named is the first in the list whose tag an earlier read carries.
    const Entry* first = nullptr;
    for (std::size_t i = 1; i < entries.size(); ++i) {
        if (entries[i].tag == entries[i - 1].tag && (first == nullptr || entries[i].position < first->position)) {
            first = &entries[i];
        }
    }
    return first == nullptr ? nullptr : first->read;
}

void put_reads_back(std::vector<std::vector<PositionedRead>>& batches, std::vector<PositionedRead>& singles,
                    interfaces::ReadList& reads) {
    std::vector<PositionedRead> by_position = std::move(singles);
    for (auto& batch : batches) {
        std::move(batch.begin(), batch.end(), std::back_inserter(by_position));
    }
    singles.clear();
    batches.clear();
    std::sort(by_position.begin(), by_position.end(),
              [](const PositionedRead& left, const PositionedRead& right) { return left.first < right.first; });
    for (auto& entry : by_position) {
        reads.push_back(std::move(entry.second));
    }
}

void put_reads_back(BatchPlan& plan, interfaces::ReadList& reads) { put_reads_back(plan.batches, plan.singles, reads); }

}  // namespace basecall_service
