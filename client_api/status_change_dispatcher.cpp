#include "client_api/status_change_dispatcher.h"

#include "client_api/status_mapping.h"
#include "common/logger.h"

#include <utility>

namespace vexil {

namespace {

void log_handler_exception(const char* what) {
    ZEV_LOG(common::logging::error) << "Exception thrown in external client state change handler: " << what;
}

}  // namespace

StatusChangeDispatcher::StatusChangeDispatcher() : m_shared(std::make_shared<Shared>()) {}

StatusChangeDispatcher::~StatusChangeDispatcher() { stop(); }

basecall_service::ClientConnectionState::ChangeHandler StatusChangeDispatcher::relay_for(
        VexilClient::StateChangeHandler handler) {
    // Shared with every queued change: a handler that destroys its own client keeps running.
    auto shared_handler = std::make_shared<const VexilClient::StateChangeHandler>(std::move(handler));
    auto failed = std::make_shared<std::atomic<bool>>(false);
    return [shared = m_shared, shared_handler, failed](
                   basecall_service::ClientStatus previous,
                   std::shared_ptr<basecall_service::ClientConnectionStateSnapshot> now) {
        if (failed->load()) {
            return;
        }
        auto deliver = [shared, shared_handler, failed, previous, now = std::move(now)] {
            if (failed->load() || shared->closed.load()) {
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
        };
        const std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->closed.load()) {
            return;
        }
        if (!shared->thread) {
            shared->thread = std::make_unique<common::ActiveObject>("conn_state_ntfy");
        }
        shared->thread->send(std::move(deliver));
    };
}

void StatusChangeDispatcher::close() { m_shared->closed.store(true); }

void StatusChangeDispatcher::stop() {
    std::unique_ptr<common::ActiveObject> thread;
    {
        const std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->closed.store(true);
        thread = std::move(m_shared->thread);
    }
    // Joining runs what is still queued, which returns at once now; it detaches from within.
    thread.reset();
}

}  // namespace vexil
