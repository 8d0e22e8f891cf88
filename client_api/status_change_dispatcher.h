#pragma once

// Delivers status changes to the caller's handler (library-internal).

#include "basecall_client/client_connection_state.h"
#include "client_api/vexil_client.h"
#include "common/active_object.h"

namespace vexil {

/// Runs the caller's status-change handler on a thread of the client's own ("conn_state_ntfy"),
/// not on an engine's. An engine's notification thread then only queues, so releasing an engine
/// (even from within the handler, say by connecting again) never waits for the handler nor frees
/// what it runs on, and disconnect never waits for it either.
class StatusChangeDispatcher {
public:
    StatusChangeDispatcher();
    /// Delivers what is queued and joins; see stop.
    ~StatusChangeDispatcher() = default;
    StatusChangeDispatcher(const StatusChangeDispatcher&) = delete;
    StatusChangeDispatcher& operator=(const StatusChangeDispatcher&) = delete;

    /// What one engine's connection state calls: it queues the change for `handler`. Once the
    /// handler has thrown, that engine's later changes are dropped. Every engine given one must be
    /// gone before this dispatcher is.
    basecall_service::ClientConnectionState::ChangeHandler relay_for(VexilClient::StateChangeHandler handler);

    /// Delivers the changes queued so far, then ends the thread; from within the handler the thread
    /// is let go instead, to end as soon as the handler returns.
    void stop();

private:
    common::ActiveObject m_thread;
};

}  // namespace vexil
