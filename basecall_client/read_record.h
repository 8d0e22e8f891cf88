#pragma once

// One read the buffer holds, from the moment it is taken until it leaves for the output queue:
// the read as the caller passed it, the results written for it, how many reconnections it has
// survived in flight, and its sub-reads. Everything that belongs to one read travels together, so
// nothing keyed by its tag has to be erased elsewhere. Takes no lock: the buffer's guards it.

#include "interfaces/read_holder.h"
#include "ipc_tools/message.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace basecall_service {

class ReadRecord {
public:
    explicit ReadRecord(std::unique_ptr<interfaces::ReadHolder> read);

    std::uint64_t tag() const { return m_read->read_tag; }
    /// The read exactly as the caller passed it, until it leaves. Owned like a unique_ptr's object:
    /// the record's constness does not reach it, the worker fills what the buffer holds.
    interfaces::ReadHolder& read() const { return *m_read; }

    /// The holder the results are written into, made on first use with the read's tag and priority.
    interfaces::ReadHolder& results();

    /// Raises the count of reconnections survived in flight; returns the new count.
    std::uint32_t count_failure() { return ++m_failures; }
    std::uint32_t failures() const { return m_failures; }
    void forget_failures() { m_failures = 0; }

    /// Takes a sub-read in to be filled, under its sub tag, and returns the stored holder; when the
    /// sub tag is taken already the stored holder is returned and `sub_read` is discarded.
    interfaces::ReadHolder* add_sub_read(interfaces::ReadHolder& sub_read);
    /// The sub-read being filled under `sub_tag`, taken out; null when there is none.
    std::unique_ptr<interfaces::ReadHolder> take_sub_read(std::uint64_t sub_tag);
    using SubReads = std::map<std::uint64_t, std::unique_ptr<interfaces::ReadHolder>>;
    /// The sub-reads being filled, taken out, by sub tag.
    SubReads release_sub_reads_being_filled() {
        SubReads taken;
        taken.swap(m_filling_sub_reads);
        return taken;
    }
    /// A complete sub-read waits here to leave with its parent; one under the same sub tag is replaced.
    void park_sub_read(std::unique_ptr<interfaces::ReadHolder> sub_read);

    /// Forgets results and sub-reads, keeping the read and its failure count: it is to be called anew.
    void reset_call();

    /// Leaves called: the results are moved into the read, which is returned. The caller's keys and
    /// datasets stay unless the call wrote the same ones.
    std::unique_ptr<interfaces::ReadHolder> take_called();
    /// Leaves uncalled: the read as the caller passed it; results and unfinished sub-reads are dropped.
    std::unique_ptr<interfaces::ReadHolder> take_uncalled();
    /// Appends the parked sub-reads to `out`, by ascending sub tag, and forgets them.
    void take_parked_sub_reads(interfaces::ReadList& out);

private:
    std::unique_ptr<interfaces::ReadHolder> m_read;
    std::unique_ptr<interfaces::ReadHolder> m_results;
    std::uint32_t m_failures = 0;
    SubReads m_filling_sub_reads;
    SubReads m_parked_sub_reads;
};

/// One group waiting to be pushed: a single read with its block messages, or a batch with its one
/// batch message.
struct QueuedGroup {
    std::vector<ReadRecord> reads;
    std::vector<ipc_tools::Message> messages;
};

}  // namespace basecall_service
