#pragma once

#include "reference_server/fault_rules.h"
#include "reference_server/ipc_socket_file.h"
#include "reference_server/request_log.h"
#include "reference_server/server_options.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace reference_server {

/// The reference basecall server running on its own thread: a ZeroMQ ROUTER socket bound to the
/// options' address, answering every request with at most one frame. The constructor binds (and
/// throws std::runtime_error with a clear text when it cannot); the destructor stops and joins.
class ReferenceServer {
public:
    explicit ReferenceServer(ServerOptions options);
    ~ReferenceServer();
    ReferenceServer(const ReferenceServer&) = delete;
    ReferenceServer& operator=(const ReferenceServer&) = delete;

    /// The address clients connect to (for "tcp://host:*" the port actually bound).
    const std::string& endpoint() const { return m_endpoint; }

    /// Rules may be added while the server runs.
    FaultInjector& faults() { return m_faults; }
    const RequestLog& request_log() const { return m_log; }
    RequestLog& request_log() { return m_log; }

    /// Called on the server thread for every request once it is logged (program: log file).
    void set_request_observer(std::function<void(const LoggedRequest&)> observer);

    /// Stops the server thread; idempotent. The socket is closed when it returns, and the socket
    /// file of an ipc:// address removed if it is still the one this server bound.
    void stop();

    /// Why the server thread ended on its own (a socket failure); empty while it runs normally.
    std::string failure() const;

private:
    struct Impl;
    void run();
    void serve();

    FaultInjector m_faults;
    RequestLog m_log;
    std::unique_ptr<Impl> m_impl;
    std::string m_endpoint;
    IpcSocketFile m_socket_file;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace reference_server
