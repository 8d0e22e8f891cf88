#include "client_api/client_state_forwarder.h"

#include "common/diagnostics/state/state_context.h"

#include <algorithm>

namespace vexil {

namespace {
const char* const PROVIDER_NAME = "VexilClient";
// Reports run on the thread that requests them, so the requester is per thread.
thread_local const common::diagnostics::state::StateProvider* t_requester = nullptr;
}  // namespace

ClientStateForwarder::ReportFor::ReportFor(const common::diagnostics::state::StateProvider* client)
    : m_previous(t_requester) {
    t_requester = client;
}

ClientStateForwarder::ReportFor::~ReportFor() { t_requester = m_previous; }

ClientStateForwarder& ClientStateForwarder::instance() {
    // Never destroyed: a client may end during static destruction (a static one, or one held by a
    // namespace-scope pointer) and unlinks itself then.
    static ClientStateForwarder* const s_forwarder = new ClientStateForwarder;
    return *s_forwarder;
}

ClientStateForwarder::ClientStateForwarder() {
    common::diagnostics::state::context::register_provider(this, PROVIDER_NAME);
}

ClientStateForwarder::~ClientStateForwarder() {
    common::diagnostics::state::context::unregister_provider(this, PROVIDER_NAME);
}

void ClientStateForwarder::link(const common::diagnostics::state::StateProvider* client) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_clients.push_back(client);
}

void ClientStateForwarder::unlink(const common::diagnostics::state::StateProvider* client) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), client), m_clients.end());
}

void ClientStateForwarder::report_state(common::diagnostics::state::StateLogger& logger) const {
    // Held while the client reports, so that its destructor waits in unlink.
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_clients.empty()) {
        return;
    }
    const bool requester_alive = std::find(m_clients.begin(), m_clients.end(), t_requester) != m_clients.end();
    (requester_alive ? t_requester : m_clients.back())->report_state(logger);
}

}  // namespace vexil
