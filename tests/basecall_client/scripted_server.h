#pragma once

// A minimal server for the engine's tests that answers every request with a reply chosen by the
// test, for replies the reference server never gives (refusals it cannot reach, wrong reply
// types, lists with missing entries).

#include "ipc_tools/message.h"
#include "ipc_tools/message_type.h"

#include <zmq.hpp>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace engine_test {

class ScriptedServer {
public:
    using Responder = std::function<ipc_tools::Message(const ipc_tools::Message& request)>;

    ScriptedServer(std::string endpoint, Responder responder)
        : m_endpoint(std::move(endpoint)),
          m_responder(std::move(responder)),
          m_socket(m_context, zmq::socket_type::rep) {
        m_socket.set(zmq::sockopt::linger, 0);
        m_socket.bind(m_endpoint);
        m_thread = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        m_stop = true;
        m_thread.join();
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    const std::string& endpoint() const { return m_endpoint; }

    /// Type and text of every request received, in order.
    std::vector<std::pair<ipc_tools::MessageType, std::string>> requests() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }

private:
    void serve() {
        while (!m_stop) {
            zmq::pollitem_t item{static_cast<void*>(m_socket), 0, ZMQ_POLLIN, 0};
            if (zmq::poll(&item, 1, std::chrono::milliseconds(10)) == 0) {
                continue;
            }
            zmq::message_t frame;
            if (!m_socket.recv(frame)) {
                continue;
            }
            ipc_tools::Message request(std::move(frame));
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                const auto* simple = request.get_message_data()->content_as_SimpleRequestData();
                m_requests.emplace_back(request.get_type(), simple != nullptr && simple->text() != nullptr
                                                                    ? simple->text()->str()
                                                                    : std::string());
            }
            ipc_tools::Message reply = m_responder(request);
            zmq::message_t outgoing;
            reply.transfer_to_zmq(outgoing);
            m_socket.send(outgoing, zmq::send_flags::none);
        }
    }

    std::string m_endpoint;
    Responder m_responder;
    zmq::context_t m_context;
    zmq::socket_t m_socket;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<std::pair<ipc_tools::MessageType, std::string>> m_requests;
};

}  // namespace engine_test
