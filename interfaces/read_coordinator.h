#pragma once

#include "interfaces/read_holder.h"

#include <cstdint>
#include <memory>
#include <mutex>

namespace interfaces {

/// Collects the reads that share one read tag (a read and the reads cloned or split from it) until
/// every one of them is complete, and hands out their sub tags. Shared by those reads through their
/// `coordinator` members; safe to use from several threads.
class ReadCoordinator : public std::enable_shared_from_this<ReadCoordinator> {
public:
    explicit ReadCoordinator(uint64_t read_tag);
    ReadCoordinator(const ReadCoordinator&) = delete;
    ReadCoordinator& operator=(const ReadCoordinator&) = delete;

    /// The next free sub tag (the parent holds 0, so the first call returns 1).
    uint64_t add_sub_tag();

    /// Hands a finished read of this coordinator back; the coordinator owns it on success. A read
    /// with a foreign read tag fails the contract check; an unknown or repeated sub tag, or a null
    /// pointer, throws std::runtime_error. On failure `read` keeps the read and the list is unchanged.
    /// A stored read gives up its share of this coordinator until it is handed out again, so that
    /// reads and coordinator do not keep each other alive when the family never completes.
    void complete_read(std::unique_ptr<ReadHolder>&& read);

    /// When every sub tag in use has been completed, moves all completed reads (in completion order)
    /// into `reads`, replacing its contents, and returns true; otherwise changes nothing and returns
    /// false. The handed-out reads refer to this coordinator again (when it is shared-owned).
    bool get_all_reads(ReadList& reads);

    uint64_t read_tag() const { return m_read_tag; }
    /// Sub tags in use, the parent's included.
    uint64_t num_tags() const;

private:
    mutable std::mutex m_mutex;
    uint64_t m_num_tags = 1;
    ReadList m_completed_reads;
    const uint64_t m_read_tag;
};

}  // namespace interfaces
