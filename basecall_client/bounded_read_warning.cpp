#include "basecall_client/bounded_read_warning.h"

#include "common/logger.h"

namespace basecall_service {

void BoundedReadWarning::read_bounded(const std::string& server, const interfaces::ReadHolder& read,
                                      const std::string& what) {
    if (m_warned) {
        return;
    }
    m_warned = true;
    const std::string* read_id = nullptr;
    const bool has_id = read.metadata.extract<std::string>("read_id", read_id);
    ZEV_LOG(common::logging::warning) << "The server at " << server
                                      << " returns called reads whose data does not fit what they claim; what fits "
                                         "is kept and the reads are returned. First: read "
                                      << read.read_tag << (has_id ? " (" + *read_id + ")" : std::string()) << ", "
                                      << what << ". Further such reads on this connection are not reported.";
}

}  // namespace basecall_service
