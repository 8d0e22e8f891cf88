#include "basecall_client/read_record.h"

#include <utility>

namespace basecall_service {

using interfaces::ReadHolder;

ReadRecord::ReadRecord(std::unique_ptr<ReadHolder> read) : m_read(std::move(read)) {}

ReadHolder& ReadRecord::results() {
    if (!m_results) {
        m_results = std::make_unique<ReadHolder>();
        m_results->read_tag = m_read->read_tag;
        m_results->priority = m_read->priority;
    }
    return *m_results;
}

ReadHolder* ReadRecord::add_sub_read(ReadHolder& sub_read) {
    auto found = m_filling_sub_reads.find(sub_read.sub_tag);
    if (found == m_filling_sub_reads.end()) {
        const std::uint64_t sub_tag = sub_read.sub_tag;
        found = m_filling_sub_reads.emplace(sub_tag, std::make_unique<ReadHolder>(std::move(sub_read))).first;
    }
    return found->second.get();
}

std::unique_ptr<ReadHolder> ReadRecord::take_sub_read(std::uint64_t sub_tag) {
    const auto found = m_filling_sub_reads.find(sub_tag);
    if (found == m_filling_sub_reads.end()) {
        return nullptr;
    }
    auto sub_read = std::move(found->second);
    m_filling_sub_reads.erase(found);
    return sub_read;
}

void ReadRecord::park_sub_read(std::unique_ptr<ReadHolder> sub_read) {
    const std::uint64_t sub_tag = sub_read->sub_tag;
    m_parked_sub_reads[sub_tag] = std::move(sub_read);
}

void ReadRecord::reset_call() {
    m_results.reset();
    m_filling_sub_reads.clear();
    m_parked_sub_reads.clear();
}

std::unique_ptr<ReadHolder> ReadRecord::take_called() {
    if (m_results) {
        // Moved over whole, entries and views alike: the call's keys and datasets replace what the
        // caller passed under the same ids, the caller's others stay. The call's views take the
        // caller's in (map nodes move, nothing is copied) and the two maps trade places; the
        // caller's views the call replaced go with the results.
        m_read->metadata.merge(std::move(m_results->metadata));
        m_results->datasets.merge(m_read->datasets);
        m_read->datasets.swap(m_results->datasets);
        m_results.reset();
    }
    return std::move(m_read);
}

std::unique_ptr<ReadHolder> ReadRecord::take_uncalled() {
    m_results.reset();
    m_filling_sub_reads.clear();
    return std::move(m_read);
}

void ReadRecord::take_parked_sub_reads(interfaces::ReadList& out) {
    for (auto& parked : m_parked_sub_reads) {
        out.push_back(std::move(parked.second));
    }
    m_parked_sub_reads.clear();
}

}  // namespace basecall_service
