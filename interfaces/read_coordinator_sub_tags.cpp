// The part of the coordinator that cloning and splitting a read need. It lives apart from the
// completion of reads so that the data-model archive installed for applications can carry it
// without the contract checks, and the logging behind them, that completion uses.
#include "interfaces/read_coordinator.h"

namespace interfaces {

ReadCoordinator::ReadCoordinator(uint64_t read_tag) : m_read_tag(read_tag) {}

uint64_t ReadCoordinator::add_sub_tag() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_num_tags++;
}

uint64_t ReadCoordinator::num_tags() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_num_tags;
}

}  // namespace interfaces
