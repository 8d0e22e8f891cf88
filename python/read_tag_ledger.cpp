#include "python/read_tag_ledger.h"

#include <iterator>
#include <unordered_set>
#include <utility>

namespace tessellpy {

namespace {

// The engine's own texts for a tag it refuses; its refusals do not leave the library, so a pass
// refused here before reaching it reads the same.
std::string in_flight_text(std::uint64_t tag) { return "read tag " + std::to_string(tag) + " is already in flight"; }
std::string repeated_text(std::uint64_t tag) { return "read tag " + std::to_string(tag) + " is repeated in the list"; }

}  // namespace

std::optional<std::uint64_t> ReadTagLedger::reserve(const std::vector<std::uint64_t>& tags, std::size_t client,
                                                    std::string& reason) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    // A single read cannot repeat a tag: pass_read needs no set.
    std::unordered_set<std::uint64_t> seen;
    for (const auto tag : tags) {
        if (m_tags.count(tag) != 0) {
            reason = in_flight_text(tag);
            return std::nullopt;
        }
        if (tags.size() > 1 && !seen.insert(tag).second) {
            reason = repeated_text(tag);
            return std::nullopt;
        }
    }
    const std::uint64_t pass = ++m_last_pass;
    for (const auto tag : tags) {
        m_tags.emplace(tag, TagHolder{client, pass, false});
    }
    return pass;
}

void ReadTagLedger::settle(const std::vector<std::uint64_t>& tags, std::uint64_t pass, bool taken) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto tag : tags) {
        const auto entry = m_tags.find(tag);
        // Gone, or another pass's: the read came back and was collected before this pass ended.
        if (entry == m_tags.end() || entry->second.pass != pass) {
            continue;
        }
        if (taken) {
            entry->second.accepted = true;
        } else {
            m_tags.erase(entry);
        }
    }
}

void ReadTagLedger::release_returned(const Groups& groups, std::size_t kept,
                                     const std::vector<std::size_t>& client_ends) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    release_range(groups, 0, kept, KEPT);
    std::size_t begin = kept;
    for (std::size_t client = 0; client < client_ends.size(); ++client) {
        release_range(groups, begin, client_ends[client], client);
        begin = client_ends[client];
    }
}

void ReadTagLedger::release_range(const Groups& groups, std::size_t begin, std::size_t end, std::size_t source) {
    for (std::size_t i = begin; i < end; ++i) {
        for (const auto& read : groups[i]) {
            if (read.get_sub_tag() != 0) {
                continue;
            }
            const auto entry = m_tags.find(read.get_read_tag());
            if (entry != m_tags.end() && entry->second.client == source) {
                m_tags.erase(entry);
            }
        }
    }
}

void ReadTagLedger::keep_leftovers(std::size_t client, Groups leftovers) {
    std::unordered_set<std::uint64_t> kept;
    for (const auto& group : leftovers) {
        for (const auto& read : group) {
            if (read.get_sub_tag() == 0) {
                kept.insert(read.get_read_tag());
            }
        }
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (auto entry = m_tags.begin(); entry != m_tags.end();) {
        TagHolder& holder = entry->second;
        if (holder.client != client) {
            ++entry;
        } else if (kept.count(entry->first) != 0) {
            holder.client = KEPT;
            holder.accepted = true;
            ++entry;
        } else if (holder.accepted) {
            entry = m_tags.erase(entry);
        } else {
            ++entry;  // its pass is under way and settles the tag itself
        }
    }
    std::move(leftovers.begin(), leftovers.end(), std::back_inserter(m_kept_reads));
}

ReadTagLedger::Groups ReadTagLedger::take_kept() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Groups kept = std::move(m_kept_reads);
    m_kept_reads.clear();
    return kept;
}

std::vector<std::size_t> ReadTagLedger::held_per_client(std::size_t clients) const {
    std::vector<std::size_t> held(clients, 0);
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [tag, holder] : m_tags) {
        if (holder.client < clients) {
            ++held[holder.client];
        }
    }
    return held;
}

}  // namespace tessellpy
