#include "client_api/vexil_client.h"

#include "client_api/vexil_client_impl.h"
#include "common/logger.h"
#include "common/process_origin.h"
#include "ipc_tools/client_options.h"
#include "ipc_tools/protocol_version.h"

#include <gsl/gsl>

namespace vexil {

namespace {

VersionTag make_version(int major, int minor, int patch) {
    return VersionTag{major, minor, patch,
                      std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch)};
}

}  // namespace

VexilClient::VexilClient(std::string address, std::string config_name, std::string trace_folder, bool log_bad_reads) {
    common::logging::LoggerOptionsUtils::SetDefaultLogOptions();
    m_impl = std::make_unique<VexilClientImpl>(std::move(address), std::move(config_name), trace_folder, log_bad_reads);
}

VexilClient::~VexilClient() {
    if (m_impl->inherited()) {
        // A forked child's copy: the engine's threads, sockets and locks are the parent's, so it is
        // let go without a goodbye, a join or a lock (it stays linked for state reports, which show
        // the child's own clients first).
        common::let_go(std::move(m_impl));
    }
}

Result VexilClient::set_params(const bass::data_wrappers::Metadata& params) { return m_impl->set_params(params); }
Result VexilClient::set_priority(Read::Priority priority) { return m_impl->set_priority(priority); }
Result VexilClient::set_callback_function(void (*callback)()) { return m_impl->set_callback_function(callback); }
Result VexilClient::set_state_change_handler(StateChangeHandler handler) {
    return m_impl->set_state_change_handler(std::move(handler));
}
Result VexilClient::connect() { return m_impl->connect(); }

PassReadResult VexilClient::pass_read(Read& read, unsigned int wait_ms) {
    auto trace = VexilClientImpl::create_hftrace("pass_read");
    if (!read.m_read) {
        return m_impl->refuse_without_record(false);
    }
    const auto result = m_impl->pass_read(read.get_readholder(), wait_ms);
    trace.message([result] { return to_string(result); });
    return result;
}

PassReadResult VexilClient::pass_reads(std::vector<Read>& reads, unsigned int wait_ms) {
    auto trace = VexilClientImpl::create_hftrace("pass_reads");
    for (const auto& read : reads) {
        if (!read.m_read) {
            return m_impl->refuse_without_record(true);
        }
    }
    // The records travel, not copies of them: a caller that retries a list while the queue is full
    // pays nothing per read for each refusal.
    interfaces::ReadList records;
    for (auto& read : reads) {
        records.push_back(std::move(read.m_read));
    }
    reads.clear();
    // What the engine did not take goes back to the caller, also when preparing a read throws:
    // the records exist nowhere else.
    const auto give_back = gsl::finally([&] {
        reads.reserve(records.size());
        for (auto& record : records) {
            reads.push_back(Read(std::move(record)));
        }
    });
    const auto result = m_impl->pass_reads(records, wait_ms);
    trace.message([result] { return to_string(result); });
    return result;
}

bool VexilClient::validate_read(const Read& read, std::string& message) const {
    if (!read.m_read) {
        message = VexilClientImpl::no_record_text();
        return false;
    }
    return m_impl->validate_read(read.get_readholder(), message);
}

void VexilClient::get_completed_reads(std::vector<std::vector<Read>>& reads) { m_impl->get_completed_reads(reads); }
unsigned long long VexilClient::num_completed_reads() const { return m_impl->num_completed_reads(); }
void VexilClient::no_more_data() { m_impl->no_more_data(); }
Result VexilClient::finish(unsigned long long timeout_s) { return m_impl->finish(timeout_s); }
Result VexilClient::disconnect() { return m_impl->disconnect(); }
ConnectionStatus VexilClient::get_status() const { return m_impl->get_status(); }
std::string VexilClient::get_error_message() const { return m_impl->get_error_message(); }
std::string VexilClient::get_internal_state() const { return m_impl->get_internal_state(); }
std::string VexilClient::get_client_state() const { return m_impl->get_client_state(); }
Result VexilClient::get_basecalling_config(bass::data_wrappers::Metadata& config) {
    return m_impl->get_basecalling_config(config);
}
Result VexilClient::get_alignment_sam_header(std::string& header) { return m_impl->get_alignment_sam_header(header); }
Result VexilClient::get_connected_server_info(ConnectedServerInfo& info) {
    return m_impl->get_connected_server_info(info);
}

VersionTag VexilClient::get_data_wrappers_version() { return make_version(1, 1, 0); }
VersionTag VexilClient::get_api_version() { return make_version(7, 1, 0); }

VersionTag VexilClient::get_software_version() {
    VersionTag tag = make_version(7, 2, 15);
    tag.text = apps::application_version_string(true);
    return tag;
}

VersionTag VexilClient::get_protocol_version() {
    const auto& version = ipc_tools::current_version();
    return make_version(static_cast<int>(version.major()), static_cast<int>(version.minor()),
                        static_cast<int>(version.patch()));
}

}  // namespace vexil
