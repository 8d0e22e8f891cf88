#pragma once

#include "client_api/client_settings.h"
#include "client_api/status_change_dispatcher.h"
#include "client_api/read.h"
#include "client_api/result.h"
#include "client_api/version_tag.h"
#include "client_api/vexil_client.h"
#include "common/diagnostics/state/state_provider.h"
#include "common/diagnostics/tracing/trace_domain.h"
#include "common/process_origin.h"
#include "interfaces/read_holder.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace basecall_service {
class BasecallClient;
}

namespace vexil {

/// The client behind the facade: keeps the settings, builds the connection request, owns the
/// engine of the current (or last) connection, checks and prepares reads for it, groups completed
/// reads by tag, and turns the engine's states into public codes.
class VexilClientImpl : public common::diagnostics::tracing::TraceDomainHelper<VexilClientImpl>,
                        public common::diagnostics::state::StateProvider {
public:
    /// A non-empty `trace_folder` is offered to the process's tracing before the first trace line.
    VexilClientImpl(std::string address, std::string config_name, const std::string& trace_folder, bool log_bad_reads);
    ~VexilClientImpl() override;
    VexilClientImpl(const VexilClientImpl&) = delete;
    VexilClientImpl& operator=(const VexilClientImpl&) = delete;

    void report_state(common::diagnostics::state::StateLogger& logger) const override;

    /// True in a forked child of the process that made this client: its engine's threads and
    /// sockets exist only in the parent, so it must be let go, never destroyed.
    bool inherited() const { return m_origin.inherited(); }

    Result set_params(const bass::data_wrappers::Metadata& params);
    Result set_priority(Read::Priority priority);
    Result set_callback_function(void (*callback)());
    Result set_state_change_handler(VexilClient::StateChangeHandler handler);
    Result connect();

    PassReadResult pass_read(interfaces::ReadHolder& read, std::uint32_t wait_ms);
    PassReadResult pass_reads(interfaces::ReadList& reads, std::uint32_t wait_ms);
    bool validate_read(const interfaces::ReadHolder& read, std::string& message) const;
    /// A read without a record (moved from) is a bad read, logged as one.
    PassReadResult refuse_without_record(bool in_list) const;
    static constexpr const char* no_record_text() { return "Read holds no record: it was moved from."; }

    void get_completed_reads(std::vector<std::vector<Read>>& reads);
    unsigned long long num_completed_reads() const;
    void no_more_data();
    Result finish(unsigned long long timeout_s);
    Result disconnect();

    ConnectionStatus get_status() const;
    std::string get_error_message() const;
    std::string get_internal_state() const;
    std::string get_client_state() const;
    Result get_basecalling_config(bass::data_wrappers::Metadata& config);
    Result get_alignment_sam_header(std::string& header);
    Result get_connected_server_info(ConnectedServerInfo& info);

private:
    using EnginePointer = std::shared_ptr<basecall_service::BasecallClient>;

    EnginePointer copy_client() const;
    /// Settings change only while disconnected and no connect is under way; call under m_mutex.
    bool accepts_settings() const;
    /// Replaces the engine (under m_mutex); the old one is handed back for release after the lock.
    EnginePointer create_engine(const ClientSettings& settings, EnginePointer& replaced);
    /// What a server needs (with the duplex keys when the engine's configuration is duplex), and a
    /// tag not in flight in the engine.
    bool validate(const interfaces::ReadHolder& read, const EnginePointer& engine, std::string& message) const;
    /// Validates a read on its way in; a refusal is logged under `function` when asked.
    bool accept(const interfaces::ReadHolder& read, const EnginePointer& engine, const char* function) const;
    void log_bad_read(const std::string& message, const char* function) const;

    // What one pass of reads needs, taken in one go.
    struct PassContext {
        EnginePointer engine;
        Read::Priority priority = Read::MEDIUM_PRIORITY;
        std::uint32_t wait_ms = 0;
    };
    PassContext pass_context(std::uint32_t wait_ms) const;

    mutable std::mutex m_mutex;
    const std::string m_address;
    const std::string m_config_name;
    const bool m_log_bad_reads;
    // Whether this client was told where its trace lines go: it is told once.
    bool m_trace_setup_warned;
    ClientSettings m_settings;
    void (*m_callback)() = nullptr;
    VexilClient::StateChangeHandler m_state_change_handler;
    bool m_connect_in_progress = false;
    // Set when destruction begins: a handler may no longer start a connection.
    bool m_closing = false;
    EnginePointer m_client;
    // Runs the caller's handler; closed when destruction begins, stopped when it ends.
    StatusChangeDispatcher m_dispatcher;
    const common::ProcessOrigin m_origin;
};

}  // namespace vexil
