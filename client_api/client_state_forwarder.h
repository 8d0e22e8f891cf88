#pragma once

#include "common/diagnostics/state/state_provider.h"
#include "common/fork_safe_mutex.h"

#include <mutex>
#include <vector>

namespace vexil {

/// The one state provider "VexilClient" of the process. The registry cannot withdraw a provider
/// that is being destroyed without waiting on it, so clients link themselves here instead: a report
/// shows the client that asked for it (see ReportFor), else the most recently constructed client
/// that is still alive, and a client's destructor
/// unlinks it under the same lock a report holds, so no report reaches a destroyed client.
class ClientStateForwarder : public common::diagnostics::state::StateProvider {
public:
    /// Created, and registered, on first use.
    static ClientStateForwarder& instance();

    ~ClientStateForwarder() override;
    ClientStateForwarder(const ClientStateForwarder&) = delete;
    ClientStateForwarder& operator=(const ClientStateForwarder&) = delete;

    void link(const common::diagnostics::state::StateProvider* client);
    /// Returns once no report is using `client`.
    void unlink(const common::diagnostics::state::StateProvider* client);

    void report_state(common::diagnostics::state::StateLogger& logger) const override;

    /// While alive, reports made on this thread show `client` (a client asking for the process's
    /// report wants itself under "VexilClient", not its latest neighbour).
    class ReportFor {
    public:
        explicit ReportFor(const common::diagnostics::state::StateProvider* client);
        ~ReportFor();
        ReportFor(const ReportFor&) = delete;
        ReportFor& operator=(const ReportFor&) = delete;

    private:
        const common::diagnostics::state::StateProvider* const m_previous;
    };

private:
    ClientStateForwarder();

    // A forked child links the clients it makes.
    mutable common::ForkSafeMutex m_mutex;
    /// Live clients in construction order.
    std::vector<const common::diagnostics::state::StateProvider*> m_clients;
};

}  // namespace vexil
