#pragma once

#include "basecall_client/client_connection_state.h"
#include "basecall_client/request_broker_adapter.h"
#include "common/diagnostics/tracing/trace_domain.h"
#include "ipc_tools/connection_info.h"
#include "ipc_tools/message.h"
#include "ipc_tools/message_type.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace basecall_service {

/// The basecalling configuration the server loaded for this connection.
struct ConfigDetails {
    float qscore_offset = 0.0F;
    float qscore_scale = 1.0F;
    float temp_weight = 0.0F;
    float temp_bias = 0.0F;
    std::uint64_t model_stride = 1;
    std::uint64_t label_length = 1;
    std::string config_name;
    std::string model_type;
    std::string model_version_id;
    // Not taken from the server's entry: they keep these defaults.
    float beam_cut = 100.0F;
    std::uint64_t beam_width = 40;
    bool int8_mode = false;
    bool duplex = false;
};

/// Fills `details` from the first entry of `data` named exactly `config_name`; false when none
/// matches (an absent list counts as empty). beam_cut and beam_width are left as they are.
bool find_config_details(const vexil_ipc::ConfigData* data, const std::string& config_name, ConfigDetails& details);

/// What differs between two configurations the server loaded, as "field before -> after" joined by
/// ", "; empty when nothing does.
std::string config_differences(const ConfigDetails& before, const ConfigDetails& after);

class AbstractConnectionProtocol {
public:
    virtual ~AbstractConnectionProtocol() = default;
    virtual void set_connection_params(const std::string& address, unsigned int timeout_ms) = 0;
    /// The adapter of the established connection, or null when the handshake failed.
    virtual RequestBrokerAdapter* establish_server_connection(const ipc_tools::ConnectionInfo& info,
                                                              std::uint32_t file_load_timeout_s) = 0;
    virtual const ConfigDetails& get_config_details() const = 0;
    virtual const ipc_tools::ConnectedInfo& get_connected_info() const = 0;
    virtual const std::string& get_alignment_file_header() const = 0;
    virtual const ErrorState& error_state() const = 0;
    /// Says goodbye; once waits are interrupted, a server that does not answer costs one poll.
    /// False when the server did not answer.
    virtual bool disconnect_from_server() const = 0;
    /// Cuts short the wait for a reply in progress and every later one, for good: the client is
    /// ending. The goodbye's wait (and a cut-short CONNECT's) ends by `last_waits_by` when given.
    /// Any thread.
    virtual void interrupt_waits(std::optional<std::chrono::steady_clock::time_point> last_waits_by = std::nullopt) = 0;
    /// Told of the server's silences on the link of every later connection (null: none). Set
    /// before a connection attempt; it must outlive the attempts.
    virtual void set_link_observer(ipc_tools::LinkObserver* /*observer*/) {}
    /// The window of the handshakes that follow: every request's wait ends by `deadline` plus one
    /// request time-out, and no request but an attempt's first starts after that. So connecting
    /// ends within its window plus one time-out, however slowly the server answers, and a server
    /// that answers at once is connected to even with a window of 0.
    virtual void set_wait_deadline(std::chrono::steady_clock::time_point /*deadline*/) {}
};

/// Brings one engine connection to the server up (prepare the link, load configuration,
/// alignment index and BED file, CONNECT) and down again (DISCONNECT), moving the shared
/// connection status through every step. Failures of the server or the link never throw: they
/// end as error_state() and a null adapter.
class ConnectionProtocol : public AbstractConnectionProtocol,
                           common::diagnostics::tracing::TraceDomain<ConnectionProtocol> {
public:
    explicit ConnectionProtocol(ClientConnectionState& connection_state);
    ~ConnectionProtocol() override;

    ConnectionProtocol(const ConnectionProtocol&) = delete;
    ConnectionProtocol& operator=(const ConnectionProtocol&) = delete;

    void set_connection_params(const std::string& address, unsigned int timeout_ms) override;
    RequestBrokerAdapter* establish_server_connection(const ipc_tools::ConnectionInfo& info,
                                                      std::uint32_t file_load_timeout_s) override;
    const ConfigDetails& get_config_details() const override;
    const ipc_tools::ConnectedInfo& get_connected_info() const override;
    const std::string& get_alignment_file_header() const override;
    const ErrorState& error_state() const override;
    bool disconnect_from_server() const override;
    void interrupt_waits(std::optional<std::chrono::steady_clock::time_point> last_waits_by) override;
    void set_link_observer(ipc_tools::LinkObserver* observer) override;
    void set_wait_deadline(std::chrono::steady_clock::time_point deadline) override;

    /// Pause between two load requests while the server answers LOADING.
    static constexpr unsigned int LOAD_RETRY_INTERVAL_MS = 500;

private:
    bool prepare_connection();
    bool load_config();
    bool retrieve_config_details(const std::string& config_name);
    bool load_alignment_index();
    bool retrieve_alignment_file_header(const std::string& align_ref);
    bool load_bed_file();
    bool connect();
    /// After a CONNECT whose wait was cut short: its reply is awaited once, and a registration it
    /// brings is ended at once, so that the server keeps no client that nobody serves.
    void end_cut_short_registration();
    /// Sends DISCONNECT for `client_id`; false when the server did not answer.
    bool say_goodbye(const std::string& client_id) const;

    /// Repeats the load request while the server answers LOADING, up to the file load time-out.
    bool load_file_on_server(ipc_tools::MessageType request_type, const std::string& text);
    /// One load request: true on SUCCESS; false with no error set while the server is loading.
    bool try_load_on_server(ipc_tools::MessageType request_type, const std::string& text);

    /// When every request of the handshake must have ended: the window plus one request time-out.
    std::optional<std::chrono::steady_clock::time_point> request_limit() const;
    /// That time has come: a request of this attempt that would start now fails as a time-out.
    bool window_passed() const;
    bool fail_window_passed(ipc_tools::MessageType unsent);
    /// Sends through the adapter; on failure copies the adapter's error, naming the server when
    /// it did not answer. Past the request limit only an attempt's first request goes out.
    bool send(ipc_tools::Message& request, ipc_tools::Message& reply);
    /// Builds the connection string; a path that no longer resolves becomes an error, not an
    /// exception on the worker thread.
    bool build_connection_string(std::string& connection_string);

    ErrorState refusal_error(ipc_tools::MessageType reply_type) const;

    ClientConnectionState& m_connection_state;
    ErrorState m_error;
    mutable RequestBrokerAdapter m_adapter;
    ConfigDetails m_config_details;
    ipc_tools::ConnectedInfo m_connected_info;
    std::string m_alignment_file_header;
    std::string m_address;
    std::string m_endpoint;
    unsigned int m_timeout_ms = 0;
    std::optional<std::chrono::steady_clock::time_point> m_wait_deadline;
    bool m_attempt_started = false;  // a request of this attempt has gone out
    ipc_tools::ConnectionInfo m_connection_info;
    std::uint32_t m_file_load_timeout_s = 0;
};

}  // namespace basecall_service
