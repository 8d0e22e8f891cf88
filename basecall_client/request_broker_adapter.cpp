#include "basecall_client/request_broker_adapter.h"

#include <stdexcept>
#include <system_error>
#include <utility>

namespace basecall_service {

RequestBrokerAdapter::RequestBrokerAdapter() { auto trace = create_trace("RequestBrokerAdapter"); }

bool RequestBrokerAdapter::prepare_connection(const std::string& address, std::uint32_t timeout_ms) {
    return invoke([this, address, timeout_ms] { m_broker.prepare_connection(address, timeout_ms); });
}

bool RequestBrokerAdapter::send_request(ipc_tools::Message& request, ipc_tools::Message& reply) {
    return invoke([this, &request, &reply] { m_broker.send_request(request, reply); });
}

bool RequestBrokerAdapter::send_request_within(ipc_tools::Message& request, ipc_tools::Message& reply,
                                               std::chrono::steady_clock::time_point latest_end) {
    return invoke([this, &request, &reply, latest_end] { m_broker.send_request_within(request, reply, latest_end); });
}

bool RequestBrokerAdapter::await_late_reply(ipc_tools::Message& reply) {
    return invoke([this, &reply] { m_broker.await_late_reply(reply); });
}

bool RequestBrokerAdapter::start_request(ipc_tools::Message& request) {
    return invoke([this, &request] { m_broker.start_request(request); });
}

bool RequestBrokerAdapter::finish_request(ipc_tools::Message& reply) {
    return invoke([this, &reply] { m_broker.finish_request(reply); });
}

bool RequestBrokerAdapter::ping_server_if_quiet(const std::string& client_id) {
    return invoke([this, client_id] { m_broker.ping_server_if_quiet(client_id); });
}

bool RequestBrokerAdapter::send_farewell(ipc_tools::Message& request, ipc_tools::Message& reply) {
    return invoke([this, &request, &reply] { m_broker.send_farewell(request, reply); });
}

void RequestBrokerAdapter::interrupt_waits(std::optional<std::chrono::steady_clock::time_point> last_waits_by) {
    m_broker.interrupt_waits(last_waits_by);
}

const ErrorState& RequestBrokerAdapter::error_state() const { return m_error; }

bool RequestBrokerAdapter::invoke(const std::function<void()>& call) {
    m_error = ErrorState{};
    try {
        call();
        return true;
    } catch (const ipc_tools::BadReply& e) {
        m_error = {ConnectionError::bad_reply, e.what()};
    } catch (const ipc_tools::BadRequest& e) {
        m_error = {ConnectionError::bad_request, e.what()};
    } catch (const ipc_tools::TimeoutError& e) {
        m_error = {ConnectionError::timed_out, e.what()};
    } catch (const ipc_tools::InvalidResponse& e) {
        m_error = {ConnectionError::invalid_response, e.what()};
    } catch (const ipc_tools::DescriptorShortage& e) {
        m_error = {ConnectionError::failed, e.what()};  // no retry: the process has to free descriptors first
    } catch (const std::invalid_argument& e) {
        m_error = {ConnectionError::failed, e.what()};  // an address that cannot be connected to
    } catch (const std::system_error& e) {
        m_error = {ConnectionError::failed, "std::system_error[" + std::string(e.code().category().name()) + ":" +
                                                    std::to_string(e.code().value()) + "] : " + e.what()};
    } catch (const zmq::error_t& e) {
        m_error = {ConnectionError::failed, std::string("zmq::error_t : ") + e.what()};
    }
    write_hftrace("invoke", [this] { return to_string(m_error); });
    return false;
}

}  // namespace basecall_service
