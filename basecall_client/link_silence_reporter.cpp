#include "basecall_client/link_silence_reporter.h"

#include "common/logger.h"

#include <algorithm>

namespace basecall_service {

namespace {

long long whole_seconds(std::chrono::steady_clock::duration duration) {
    return std::chrono::duration_cast<std::chrono::seconds>(duration).count();
}

}  // namespace

void LinkSilenceReporter::connecting(Clock::time_point deadline, std::chrono::seconds window) {
    m_phase = Phase::connecting;
    m_deadline = deadline;
    m_window = window;
}

void LinkSilenceReporter::connected(std::chrono::seconds window) {
    m_phase = Phase::connected;
    m_window = window;
    m_silent_since.reset();
    m_next_warning.reset();
    if (!m_lost_since) {
        return;
    }
    const std::string text = "Reconnected to the basecall server at " + m_endpoint + " " +
                             std::to_string(whole_seconds(Clock::now() - *m_lost_since)) +
                             " s after the connection was lost; reads in flight are sent again.";
    // At the level of the warnings it answers, so that whoever saw them sees this too.
    if (m_outage_warned) {
        ZEV_LOG(common::logging::warning) << text;
    } else {
        ZEV_LOG(common::logging::info) << text;
    }
    m_lost_since.reset();
}

void LinkSilenceReporter::lost(Clock::time_point deadline) {
    m_phase = Phase::reconnecting;
    m_deadline = deadline;
    // A reply that timed out: the outage began with the server's last reply. Otherwise the server
    // answered that it no longer knows the client, which ends the connection at once.
    m_lost_since = m_silent_since.value_or(Clock::now());
    m_outage_warned = m_next_warning.has_value();
}

void LinkSilenceReporter::server_silent(ipc_tools::MessageType awaited, Clock::time_point since) {
    if (m_phase == Phase::ending) {
        return;
    }
    m_silent_since = since;
    const auto now = Clock::now();
    if (now - since < first_warning_after || (m_next_warning && now < *m_next_warning)) {
        return;
    }
    m_next_warning = now + warning_interval;
    m_outage_warned = m_outage_warned || m_phase == Phase::reconnecting;
    ZEV_LOG(common::logging::warning) << "No reply from the basecall server at " << m_endpoint << " for "
                                      << whole_seconds(now - since) << " s: still waiting for its reply to "
                                      << ipc_tools::message_type_as_string(awaited) << ". " << goes_on(now);
}

void LinkSilenceReporter::server_heard(Clock::time_point since) {
    if (m_phase == Phase::connected && m_next_warning) {
        ZEV_LOG(common::logging::warning) << "The basecall server at " << m_endpoint << " answers again after "
                                          << whole_seconds(Clock::now() - since) << " s of silence.";
    }
    m_silent_since.reset();
    m_next_warning.reset();
}

std::string LinkSilenceReporter::goes_on(Clock::time_point now) const {
    const std::string left = std::to_string(std::max(0LL, whole_seconds(m_deadline - now)));
    const std::string window = std::to_string(m_window.count());
    switch (m_phase) {
        case Phase::connecting:
            return "Connecting goes on trying until the reconnect window of " + window + " s has passed (" + left +
                   " s left).";
        case Phase::reconnecting:
            return "The connection was lost; reconnecting goes on trying until the reconnect window of " + window +
                   " s has passed (" + left + " s left).";
        default:
            return "Should the silence go on, the connection is made again, tried for up to the reconnect window "
                   "of " +
                   window + " s.";
    }
}

}  // namespace basecall_service
