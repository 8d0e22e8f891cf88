#pragma once

#include "ipc_tools/request_broker.h"

#include <chrono>
#include <optional>
#include <string>

namespace basecall_service {

// Speaks for the worker about a server that has gone silent, whatever the worker is doing: a
// warning names the address, the awaited reply and how long the server has said nothing (counted
// from its last reply), 3 s into a silence and every 30 s after; and when the server is back, a
// line says so with the true length of the outage. Told of the silences by the link (at the end
// of each poll that finds no reply) and of the worker's phases by the worker; all on the worker's
// thread, but for set_endpoint, called before the worker starts.
class LinkSilenceReporter : public ipc_tools::LinkObserver {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::milliseconds first_warning_after{3000};
    static constexpr std::chrono::milliseconds warning_interval{30000};

    void set_endpoint(std::string endpoint) { m_endpoint = std::move(endpoint); }

    // The first connection is being made, until `deadline` (the reconnect window `window`).
    void connecting(Clock::time_point deadline, std::chrono::seconds window);
    // A connection is up; when it follows a lost one, says how long the server was lost.
    void connected(std::chrono::seconds window);
    // The connection was lost (its last reply timed out); it is made again until `deadline`.
    void lost(Clock::time_point deadline);
    // The connecting is over: no more warnings (the goodbye speaks for itself).
    void ending() { m_phase = Phase::ending; }

    void server_silent(ipc_tools::MessageType awaited, Clock::time_point since) override;
    void server_heard(Clock::time_point since) override;

private:
    enum class Phase { connecting, connected, reconnecting, ending };

    // What the client goes on doing meanwhile, for the warning.
    std::string goes_on(Clock::time_point now) const;

    std::string m_endpoint;
    Phase m_phase{Phase::connecting};
    std::chrono::seconds m_window{0};
    Clock::time_point m_deadline{};
    // The silence going on, since when, and when its next warning is due (none yet: unset).
    std::optional<Clock::time_point> m_silent_since;
    std::optional<Clock::time_point> m_next_warning;
    // When the lost connection's server last answered, and whether the outage was warned about.
    std::optional<Clock::time_point> m_lost_since;
    bool m_outage_warned{false};
};

}  // namespace basecall_service
