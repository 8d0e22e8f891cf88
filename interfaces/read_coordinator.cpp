#include "interfaces/read_coordinator.h"

#include "common/contract.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace interfaces {

namespace {
// The coordinator began life inside the read record's unit; its contract report keeps naming that
// place so that existing log searches for it still match.
constexpr const char* WRONG_COORDINATOR_CHECK_FILE = "interfaces/read_holder";
constexpr int WRONG_COORDINATOR_CHECK_LINE = 404;
}  // namespace

void ReadCoordinator::complete_read(std::unique_ptr<ReadHolder>&& read) {
    if (!read) {
        throw std::runtime_error("Tried to complete a null read.");
    }
    // The read's share may be the last one: keep this coordinator alive until the call returns.
    const std::shared_ptr<ReadCoordinator> self = weak_from_this().lock();
    const std::lock_guard<std::mutex> lock(m_mutex);
    COMMON_CONTRACT_CHECK_AT(m_read_tag == read->read_tag,
                             "Tried to complete read on the wrong coordinator: " + std::to_string(m_read_tag) + " vs " +
                                     read->get_display_tag(),
                             WRONG_COORDINATOR_CHECK_FILE, WRONG_COORDINATOR_CHECK_LINE);
    if (read->sub_tag >= m_num_tags) {
        throw std::runtime_error("Tried to completed unexpected sub_tag: " + read->get_display_tag() +
                                 ", #tags=" + std::to_string(m_num_tags));
    }
    const uint64_t sub_tag = read->sub_tag;
    const bool already_completed = std::any_of(
            m_completed_reads.begin(), m_completed_reads.end(),
            [sub_tag](const std::unique_ptr<ReadHolder>& completed) { return completed->sub_tag == sub_tag; });
    if (already_completed) {
        throw std::runtime_error("Tried to completed read twice: " + read->get_display_tag());
    }
    if (read->coordinator.get() == this) {
        read->coordinator.reset();
    }
    m_completed_reads.push_back(std::move(read));
}

bool ReadCoordinator::get_all_reads(ReadList& reads) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_completed_reads.size() != m_num_tags) {
        return false;
    }
    const std::shared_ptr<ReadCoordinator> self = weak_from_this().lock();
    for (const std::unique_ptr<ReadHolder>& read : m_completed_reads) {
        if (!read->coordinator) {
            read->coordinator = self;
        }
    }
    reads = std::move(m_completed_reads);
    m_completed_reads.clear();
    return true;
}

}  // namespace interfaces
