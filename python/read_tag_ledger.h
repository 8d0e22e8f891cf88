#pragma once

#include "client_api/read.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tessellpy {

/// Which read tags an object's passes hold, from a pass's reservation until the read is handed back
/// by get_completed_reads, so that a tag is never in flight twice across its library clients; and
/// the completed reads kept from a library client's earlier connection. Thread-safe.
class ReadTagLedger {
public:
    using Groups = std::vector<std::vector<vexil::Read>>;

    /// Holds the tags for a new pass to library client `client` and returns the pass; null, with the
    /// reason, when one is held already or one repeats. Nothing is held then.
    std::optional<std::uint64_t> reserve(const std::vector<std::uint64_t>& tags, std::size_t client,
                                         std::string& reason);
    /// The end of pass `pass`: the tags of reads the library took stay held, the others are freed.
    /// A tag that another pass holds by now is left alone.
    void settle(const std::vector<std::uint64_t>& tags, std::uint64_t pass, bool taken);
    /// Frees the tags of reads handed back: groups [0, kept) are those take_kept gave, then client
    /// i's groups end at client_ends[i].
    void release_returned(const Groups& groups, std::size_t kept, const std::vector<std::size_t>& client_ends);
    /// Before library client `client` connects again, with what its last connection still held: the
    /// completed reads are kept (their tags stay held) and the tags of taken reads that connection
    /// dropped are freed. Passes still under way keep theirs.
    void keep_leftovers(std::size_t client, Groups leftovers);
    /// The kept reads, handed over once.
    Groups take_kept();
    /// How many tags each of `clients` library clients holds.
    std::vector<std::size_t> held_per_client(std::size_t clients) const;

private:
    /// The holder of a tag whose read was kept from an earlier connection.
    static constexpr std::size_t KEPT = static_cast<std::size_t>(-1);

    /// Who holds a read tag: one pass, from its reservation until the read is handed back.
    struct TagHolder {
        /// The library client the pass went to; KEPT once the read waits in m_kept_reads.
        std::size_t client;
        std::uint64_t pass;
        /// The library took the read; until then the pass is under way.
        bool accepted;
    };

    /// Call under m_mutex.
    void release_range(const Groups& groups, std::size_t begin, std::size_t end, std::size_t source);

    mutable std::mutex m_mutex;
    std::unordered_map<std::uint64_t, TagHolder> m_tags;
    std::uint64_t m_last_pass = 0;
    Groups m_kept_reads;
};

}  // namespace tessellpy
