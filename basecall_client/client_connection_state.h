#pragma once

#include "common/active_object.h"
#include "common/diagnostics/tracing/trace_domain.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

namespace basecall_service {

enum class ClientStatus : std::int32_t {
    disconnected = 0,
    preparing_connection = 1,
    loading_config = 2,
    loading_alignment_index = 3,
    loading_bed_file = 4,
    connecting = 5,
    connected = 6,
    error = 7,
};

enum class ConnectionError : std::int32_t {
    no_error = 0,
    bad_request = 1,
    bad_reply = 2,
    timed_out = 3,
    invalid_response = 4,
    basecall_config_unavailable = 5,
    barcode_kit_unavailable = 6,
    align_index_unavailable = 7,
    bed_file_unavailable = 8,
    align_index_no_seq = 9,
    invalid_aligner_options = 10,
    file_load_timeout = 11,
    failed = 12,
};

// Throws std::runtime_error for a value outside the enum.
std::string to_string(ClientStatus status);
std::ostream& operator<<(std::ostream& os, ClientStatus status);
std::string to_string(ConnectionError error);
std::ostream& operator<<(std::ostream& os, ConnectionError error);

struct ErrorState {
    ConnectionError code{ConnectionError::no_error};
    std::string message;
};

// "[<code>] <message>"
std::string to_string(const ErrorState& error);
std::ostream& operator<<(std::ostream& os, const ErrorState& error);

// An immutable copy of one status and error state.
class ClientConnectionStateSnapshot {
public:
    virtual ~ClientConnectionStateSnapshot() = default;
    virtual const ClientStatus& get_status() const = 0;
    virtual const ErrorState& get_error_state() const = 0;
};

class ClientConnectionStateSnapshotImpl final : public ClientConnectionStateSnapshot {
public:
    ClientConnectionStateSnapshotImpl(ClientStatus status, ErrorState error_state);
    const ClientStatus& get_status() const override;
    const ErrorState& get_error_state() const override;

private:
    const ClientStatus m_status;
    const ErrorState m_error_state;
};

// The status of one client's connection, checked against a fixed transition table. Every change
// is reported to the registered handler on the "conn_state_ntfy" thread, in order.
class ClientConnectionState : common::diagnostics::tracing::TraceDomain<ClientConnectionState> {
public:
    using ChangeHandler = std::function<void(ClientStatus, std::shared_ptr<ClientConnectionStateSnapshot>)>;

    ClientConnectionState();
    ~ClientConnectionState();

    ClientConnectionState(const ClientConnectionState&) = delete;
    ClientConnectionState& operator=(const ClientConnectionState&) = delete;

    // May be called once only.
    void register_change_handler(ChangeHandler handler);

    // Clears the error; next_status must not be error.
    void set_status(ClientStatus next_status);
    // As set_status, but only when the current status is `expected`; returns whether it changed.
    bool set_status_if(ClientStatus expected, ClientStatus next_status);
    // Stores the error and moves to the error status.
    void set_error(const ErrorState& error);

    ClientStatus get_status() const;
    ErrorState get_error_state() const;
    std::shared_ptr<ClientConnectionStateSnapshot> create_snapshot() const;

    static std::string transition_description(ClientStatus from, ClientStatus to);

private:
    void update_status(ClientStatus next_status);

    mutable std::mutex m_mutex;
    ClientStatus m_status{ClientStatus::disconnected};
    ErrorState m_error_state;
    ChangeHandler m_change_handler;
    // Set once the handler has thrown: the notification thread has then ended.
    std::atomic<bool> m_notifier_failed{false};
    // Started by the first notification, so that a state without a handler has no thread. Last
    // member: destroyed first, so pending notifications run while the rest still lives.
    std::unique_ptr<common::ActiveObject> m_notifier;
};

}  // namespace basecall_service
