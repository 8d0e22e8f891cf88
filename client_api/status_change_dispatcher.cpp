#include "client_api/status_change_dispatcher.h"

#include "client_api/status_mapping.h"
#include "common/logger.h"

#include <atomic>
#include <memory>
#include <utility>

namespace vexil {

namespace {

void log_handler_exception(const char* what) {
    ZEV_LOG(common::logging::error) << "Exception thrown in external client state change handler: " << what;
}

}  // namespace

StatusChangeDispatcher::StatusChangeDispatcher() : m_thread("conn_state_ntfy") {}

basecall_service::ClientConnectionState::ChangeHandler StatusChangeDispatcher::relay_for(
        VexilClient::StateChangeHandler handler) {
    // Shared with every queued change: a handler that destroys its own client keeps running.
    auto shared_handler = std::make_shared<const VexilClient::StateChangeHandler>(std::move(handler));
    auto failed = std::make_shared<std::atomic<bool>>(false);
    return [this, shared_handler, failed](basecall_service::ClientStatus previous,
                                          std::shared_ptr<basecall_service::ClientConnectionStateSnapshot> now) {
        if (failed->load()) {
            return;
        }
        m_thread.send([shared_handler, failed, previous, now = std::move(now)] {
            if (failed->load()) {
                return;
            }
            try {
                (*shared_handler)(to_connection_status(previous), to_connection_status(now->get_status()),
                                  basecall_service::to_string(now->get_error_state()));
            } catch (const std::exception& exception) {
                failed->store(true);
                log_handler_exception(exception.what());
            } catch (...) {
                failed->store(true);
                log_handler_exception("unknown exception");
            }
        });
    };
}

void StatusChangeDispatcher::stop() { m_thread.join(); }

}  // namespace vexil
