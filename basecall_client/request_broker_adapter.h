#pragma once

#include "basecall_client/client_connection_state.h"
#include "common/diagnostics/tracing/trace_domain.h"
#include "ipc_tools/message.h"
#include "ipc_tools/request_broker.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace basecall_service {

// The engine's link to the server for one connection. Every failure of the broker becomes a false
// result and an ErrorState, which describes the most recent call.
class RequestBrokerAdapter : common::diagnostics::tracing::TraceDomain<RequestBrokerAdapter> {
public:
    RequestBrokerAdapter();

    RequestBrokerAdapter(const RequestBrokerAdapter&) = delete;
    RequestBrokerAdapter& operator=(const RequestBrokerAdapter&) = delete;
    RequestBrokerAdapter(RequestBrokerAdapter&&) = delete;
    RequestBrokerAdapter& operator=(RequestBrokerAdapter&&) = delete;

    bool prepare_connection(const std::string& address, std::uint32_t timeout_ms);
    bool send_request(ipc_tools::Message& request, ipc_tools::Message& reply);
    /// See RequestBroker::send_request_within.
    bool send_request_within(ipc_tools::Message& request, ipc_tools::Message& reply,
                             std::chrono::steady_clock::time_point latest_end);
    /// send_request in two halves (see RequestBroker::start_request).
    bool start_request(ipc_tools::Message& request);
    bool finish_request(ipc_tools::Message& reply);
    /// See RequestBroker::expect_slow_reply.
    void expect_slow_reply(ipc_tools::MessageType kind) { m_broker.expect_slow_reply(kind); }
    bool ping_server_if_quiet(const std::string& client_id);
    /// See RequestBroker::send_farewell and interrupt_waits; only the latter may come from
    /// another thread.
    bool send_farewell(ipc_tools::Message& request, ipc_tools::Message& reply);
    void interrupt_waits(std::optional<std::chrono::steady_clock::time_point> last_waits_by = std::nullopt);
    bool waits_interrupted() const { return m_broker.waits_interrupted(); }
    /// See RequestBroker::pause and await_late_reply.
    bool pause(std::chrono::milliseconds duration) { return m_broker.pause(duration); }
    bool await_late_reply(ipc_tools::Message& reply);
    /// See RequestBroker::set_link_observer.
    void set_link_observer(ipc_tools::LinkObserver* observer) { m_broker.set_link_observer(observer); }

    const ErrorState& error_state() const;
    const std::string& server_address() const { return m_broker.server_address(); }

    // Runs one broker call; maps the link's exceptions to the error state and returns false.
    // Any other exception passes through.
    bool invoke(const std::function<void()>& call);

private:
    ipc_tools::RequestBroker m_broker;
    ErrorState m_error;
};

}  // namespace basecall_service
