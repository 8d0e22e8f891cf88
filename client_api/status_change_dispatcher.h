#pragma once

// Delivers status changes to the caller's handler (library-internal).

#include "basecall_client/client_connection_state.h"
#include "client_api/vexil_client.h"
#include "common/active_object.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace vexil {

/// Runs the caller's status-change handler on a thread of the client's own ("conn_state_ntfy"),
/// not on an engine's. An engine's notification thread then only queues, so releasing an engine
/// (even from within the handler, say by connecting again) never waits for the handler nor frees
/// what it runs on, and disconnect never waits for it either. The thread starts with the first
/// change to deliver: a client without a handler has none.
class StatusChangeDispatcher {
public:
    StatusChangeDispatcher();
    /// Stops; see stop.
    ~StatusChangeDispatcher();
    StatusChangeDispatcher(const StatusChangeDispatcher&) = delete;
    StatusChangeDispatcher& operator=(const StatusChangeDispatcher&) = delete;

    /// What one engine's connection state calls: it queues the change for `handler`. Once the
    /// handler has thrown, that engine's later changes are dropped.
    basecall_service::ClientConnectionState::ChangeHandler relay_for(VexilClient::StateChangeHandler handler);

    /// From now on no change reaches the handler: those queued and not yet delivered are dropped,
    /// and so are later ones. A handler call already running goes on.
    void close();
    /// Closes, then waits for the handler call that is running and ends the thread; from within the
    /// handler the thread is let go instead, to end as soon as the handler returns.
    void stop();

private:
    // Shared with the relays and the queued changes, which may outlive the dispatcher.
    struct Shared {
        std::mutex mutex;
        std::atomic<bool> closed{false};
        std::unique_ptr<common::ActiveObject> thread;  // started by the first change to deliver
    };
    std::shared_ptr<Shared> m_shared;
};

}  // namespace vexil
