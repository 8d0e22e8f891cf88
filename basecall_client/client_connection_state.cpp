#include "basecall_client/client_connection_state.h"

#include "common/contract.h"
#include "common/logger.h"

#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace basecall_service {

namespace {

constexpr const char* CONTRACT_SOURCE = "basecall_client/client_connection_state";
constexpr int REGISTER_ONCE_LINE = 103;
constexpr int SET_STATUS_NOT_ERROR_LINE = 109;
constexpr int SET_STATUS_IF_NOT_ERROR_LINE = 117;
constexpr int ALLOWED_TRANSITION_LINE = 153;

// Read-only view of the allowed transitions; indexing never inserts.
class TransitionTable {
public:
    explicit TransitionTable(std::map<ClientStatus, std::set<ClientStatus>> table) : m_table(std::move(table)) {}

    const std::set<ClientStatus>& operator[](ClientStatus status) const {
        static const std::set<ClientStatus> none;
        const auto found = m_table.find(status);
        return found == m_table.end() ? none : found->second;
    }

private:
    const std::map<ClientStatus, std::set<ClientStatus>> m_table;
};

const TransitionTable& transition_table() {
    using S = ClientStatus;
    static const TransitionTable table({
            {S::disconnected, {S::preparing_connection}},
            {S::preparing_connection, {S::loading_config, S::preparing_connection, S::disconnected, S::error}},
            {S::loading_config, {S::loading_alignment_index, S::preparing_connection, S::disconnected, S::error}},
            {S::loading_alignment_index, {S::loading_bed_file, S::preparing_connection, S::disconnected, S::error}},
            {S::loading_bed_file, {S::connecting, S::preparing_connection, S::disconnected, S::error}},
            {S::connecting, {S::connected, S::preparing_connection, S::disconnected, S::error}},
            {S::connected, {S::preparing_connection, S::disconnected, S::error}},
            {S::error, {S::disconnected}},
    });
    return table;
}

// Built when the library is loaded, so the first status change pays nothing.
[[maybe_unused]] const TransitionTable& g_transition_table_at_load = transition_table();

}  // namespace

std::string to_string(ClientStatus status) {
    switch (status) {
        case ClientStatus::disconnected:
            return "disconnected";
        case ClientStatus::preparing_connection:
            return "preparing_connection";
        case ClientStatus::loading_config:
            return "loading_config";
        case ClientStatus::loading_alignment_index:
            return "loading_alignment_index";
        case ClientStatus::loading_bed_file:
            return "loading_bed_file";
        case ClientStatus::connecting:
            return "connecting";
        case ClientStatus::connected:
            return "connected";
        case ClientStatus::error:
            return "error";
    }
    throw std::runtime_error("unrecognised ClientStatus value");
}

std::ostream& operator<<(std::ostream& os, ClientStatus status) { return os << to_string(status); }

std::string to_string(ConnectionError error) {
    switch (error) {
        case ConnectionError::no_error:
            return "no_error";
        case ConnectionError::bad_request:
            return "bad_request";
        case ConnectionError::bad_reply:
            return "bad_reply";
        case ConnectionError::timed_out:
            return "timed_out";
        case ConnectionError::invalid_response:
            return "invalid_response";
        case ConnectionError::basecall_config_unavailable:
            return "basecall_config_unavailable";
        case ConnectionError::barcode_kit_unavailable:
            return "barcode_kit_unavailable";
        case ConnectionError::align_index_unavailable:
            return "align_index_unavailable";
        case ConnectionError::bed_file_unavailable:
            return "bed_file_unavailable";
        case ConnectionError::align_index_no_seq:
            return "align_index_no_seq";
        case ConnectionError::invalid_aligner_options:
            return "invalid_aligner_options";
        case ConnectionError::file_load_timeout:
            return "file_load_timeout";
        case ConnectionError::failed:
            return "failed";
    }
    throw std::runtime_error("unrecognised ConnectionError value");
}

std::ostream& operator<<(std::ostream& os, ConnectionError error) { return os << to_string(error); }

std::string to_string(const ErrorState& error) { return "[" + to_string(error.code) + "] " + error.message; }

std::ostream& operator<<(std::ostream& os, const ErrorState& error) { return os << to_string(error); }

ClientConnectionStateSnapshotImpl::ClientConnectionStateSnapshotImpl(ClientStatus status, ErrorState error_state)
    : m_status(status), m_error_state(std::move(error_state)) {}

const ClientStatus& ClientConnectionStateSnapshotImpl::get_status() const { return m_status; }

const ErrorState& ClientConnectionStateSnapshotImpl::get_error_state() const { return m_error_state; }

ClientConnectionState::ClientConnectionState() {
    auto trace = create_trace("ClientConnectionState");
    trace.message(to_string(m_status));
}

ClientConnectionState::~ClientConnectionState() = default;

void ClientConnectionState::register_change_handler(ChangeHandler handler) {
    auto trace = create_trace("register_change_handler");
    std::lock_guard<std::mutex> lock(m_mutex);
    COMMON_CONTRACT_CHECK_AT(!m_change_handler, "A connection state change handler may only be registered once.",
                             CONTRACT_SOURCE, REGISTER_ONCE_LINE);
    m_change_handler = std::move(handler);
}

void ClientConnectionState::set_status(ClientStatus next_status) {
    COMMON_CONTRACT_CHECK_AT(next_status != ClientStatus::error, "set_status cannot be used to set an error state",
                             CONTRACT_SOURCE, SET_STATUS_NOT_ERROR_LINE);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_error_state = ErrorState{};
    update_status(next_status);
}

bool ClientConnectionState::set_status_if(ClientStatus expected, ClientStatus next_status) {
    COMMON_CONTRACT_CHECK_AT(next_status != ClientStatus::error, "set_status_if cannot be used to set an error state",
                             CONTRACT_SOURCE, SET_STATUS_IF_NOT_ERROR_LINE);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_status != expected) {
        return false;
    }
    m_error_state = ErrorState{};
    update_status(next_status);
    return true;
}

void ClientConnectionState::set_error(const ErrorState& error) {
    get_trace_context()->write_message("set_error", [&error] { return to_string(error); });
    std::lock_guard<std::mutex> lock(m_mutex);
    // Check the transition before touching the error, so a refused change leaves the state whole.
    const auto& state_machine = transition_table();
    const ClientStatus next_status = ClientStatus::error;
    COMMON_CONTRACT_CHECK_AT(state_machine[m_status].count(next_status) > 0,
                             transition_description(m_status, next_status), CONTRACT_SOURCE, ALLOWED_TRANSITION_LINE);
    m_error_state = error;
    update_status(next_status);
}

ClientStatus ClientConnectionState::get_status() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_status;
}

ErrorState ClientConnectionState::get_error_state() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error_state;
}

std::shared_ptr<ClientConnectionStateSnapshot> ClientConnectionState::create_snapshot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::make_shared<ClientConnectionStateSnapshotImpl>(m_status, m_error_state);
}

std::string ClientConnectionState::transition_description(ClientStatus from, ClientStatus to) {
    return "State transtion '" + to_string(from) + "' to '" + to_string(to) + "'";
}

void ClientConnectionState::update_status(ClientStatus next_status) {
    const auto& state_machine = transition_table();
    COMMON_CONTRACT_CHECK_AT(state_machine[m_status].count(next_status) > 0,
                             transition_description(m_status, next_status), CONTRACT_SOURCE, ALLOWED_TRANSITION_LINE);
    get_trace_context()->write_message("update_status", [next_status] { return to_string(next_status); });

    const ClientStatus previous_status = m_status;
    m_status = next_status;

    // Once the handler has thrown the notification thread is gone: queuing more would only pile up.
    if (!m_change_handler || m_notifier_failed.load()) {
        return;
    }
    std::shared_ptr<ClientConnectionStateSnapshot> snapshot =
            std::make_shared<ClientConnectionStateSnapshotImpl>(m_status, m_error_state);
    if (!m_notifier) {
        m_notifier = std::make_unique<common::ActiveObject>("conn_state_ntfy", [this](const std::exception& exception) {
            m_notifier_failed.store(true);
            get_trace_context()->write_message(std::string("operator()") + "_exception_handler",
                                               std::string(exception.what()));
            ZEV_LOG(common::logging::error)
                    << "Exception thrown in external client state change handler: " << exception.what();
        });
    }
    m_notifier->send([this, previous_status, snapshot = std::move(snapshot)] {
        get_trace_context()->write_message("state_change_notifier", [&] {
            return to_string(previous_status) + " to " + to_string(snapshot->get_status());
        });
        m_change_handler(previous_status, snapshot);
    });
}

}  // namespace basecall_service
