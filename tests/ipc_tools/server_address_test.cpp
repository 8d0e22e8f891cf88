// Every form of address a user writes reaches the server the name leads to, IPv4 or IPv6, whatever
// the hosts file says of localhost. The client runs in a forked child with a private mount
// namespace, in which the test's own hosts file is bound over /etc/hosts.
#include "ipc_tools/request_broker.h"
#include "test_support/slow_factor.h"

#include <gtest/gtest.h>

#include <zmq.hpp>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace ipc_tools;

namespace {

constexpr int CANNOT_ISOLATE = 77;
const std::uint32_t REPLY_TIMEOUT_MS = 1000 * test_support::slow_factor;

const char* const DEBIAN_HOSTS =
        "127.0.0.1 localhost\n"
        "::1 localhost ip6-localhost ip6-loopback\n"
        "127.0.0.1 vexil-v4-host\n"
        "127.0.0.1 vexil-dual-host\n"
        "::1 vexil-dual-host\n"
        "::1 vexil-v6-host\n";
const char* const IPV4_ONLY_HOSTS =
        "127.0.0.1 localhost\n"
        "127.0.0.1 vexil-v4-host\n"
        "127.0.0.1 vexil-dual-host\n";

// REP sockets bound to 127.0.0.1, 0.0.0.0 and [::1] on ports of their own; each answers a
// heartbeat with its own bind address as the text.
class Servers {
public:
    Servers() {
        for (const std::string host : {"127.0.0.1", "0.0.0.0", "[::1]"}) {
            zmq::socket_t socket(m_context, zmq::socket_type::rep);
            socket.set(zmq::sockopt::linger, 0);
            socket.set(zmq::sockopt::ipv6, host.front() == '[' ? 1 : 0);
            try {
                socket.bind("tcp://" + host + ":*");
            } catch (const zmq::error_t&) {
                continue;  // no IPv6 loopback here
            }
            const std::string bound = socket.get(zmq::sockopt::last_endpoint);
            m_ports[host] = bound.substr(bound.rfind(':') + 1);
            m_sockets.push_back(std::move(socket));
            m_hosts.push_back(host);
        }
        m_thread = std::thread([this] { serve(); });
    }
    ~Servers() {
        m_context.shutdown();
        m_thread.join();
    }
    bool has(const std::string& host) const { return m_ports.count(host) != 0; }
    const std::string& port(const std::string& host) const { return m_ports.at(host); }

private:
    void serve() {
        std::vector<zmq::pollitem_t> items;
        for (auto& socket : m_sockets) {
            items.push_back({socket.handle(), 0, ZMQ_POLLIN, 0});
        }
        try {
            for (;;) {
                zmq::poll(items.data(), items.size(), std::chrono::milliseconds(-1));
                for (std::size_t i = 0; i < items.size(); ++i) {
                    if ((items[i].revents & ZMQ_POLLIN) == 0) {
                        continue;
                    }
                    zmq::message_t request;
                    (void)m_sockets[i].recv(request);
                    zmq::message_t reply;
                    Message(HEARTBEAT_ECHO, "", 0, m_hosts[i]).transfer_to_zmq(reply);
                    m_sockets[i].send(reply, zmq::send_flags::none);
                }
            }
        } catch (const zmq::error_t&) {
            // The context was shut down.
        }
        for (auto& socket : m_sockets) {
            socket.close();
        }
    }

    zmq::context_t m_context;
    std::vector<zmq::socket_t> m_sockets;
    std::vector<std::string> m_hosts;
    std::map<std::string, std::string> m_ports;
    std::thread m_thread;
};

// Which server a heartbeat sent to `address` reached; the error text when none answered.
std::string server_reached(const std::string& address) {
    try {
        RequestBroker broker;
        broker.prepare_connection(address, REPLY_TIMEOUT_MS);
        Message request(HEARTBEAT_PING, "", 0, std::string());
        Message reply;
        broker.send_request(request, reply);
        const auto* text = reply.get_message_data()->content_as_SimpleReplyData()->text();
        return text != nullptr ? text->str() : std::string();
    } catch (const std::exception& error) {
        return error.what();
    }
}

// The address forms that lead to each server under the hosts file; `dual` when localhost is
// both 127.0.0.1 and ::1 there.
std::vector<std::pair<std::string, std::string>> forms(const Servers& servers, bool dual) {
    std::vector<std::pair<std::string, std::string>> cases;
    for (const std::string host : {"127.0.0.1", "0.0.0.0"}) {
        const std::string& port = servers.port(host);
        for (const std::string& address :
             {"tcp://localhost:" + port, "localhost:" + port, port, "tcp://127.0.0.1:" + port,
              "tcp://vexil-v4-host:" + port, "vexil-dual-host:" + port}) {
            cases.emplace_back(address, host);
        }
    }
    if (servers.has("[::1]")) {
        const std::string& port = servers.port("[::1]");
        for (const std::string& address : {"tcp://[::1]:" + port, "[::1]:" + port}) {
            cases.emplace_back(address, "[::1]");
        }
        if (dual) {
            for (const std::string& address : {"tcp://localhost:" + port, "localhost:" + port, port,
                                               "tcp://vexil-dual-host:" + port, "vexil-v6-host:" + port}) {
                cases.emplace_back(address, "[::1]");
            }
        }
    }
    return cases;
}

// In a child of its own with `hosts` over /etc/hosts: each failing form, one a line; exits
// CANNOT_ISOLATE when the machine cannot give it a private /etc/hosts.
[[noreturn]] void run_forms(const std::string& hosts_path, bool dual, int out) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(hosts_path.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
        _exit(CANNOT_ISOLATE);
    }
    std::string failures;
    {
        const Servers servers;
        if (!servers.has("[::1]")) {
            std::fputs("No IPv6 loopback here: the forms for a server on [::1] are left out.\n", stderr);
        }
        for (const auto& [address, expected] : forms(servers, dual)) {
            const std::string reached = server_reached(address);
            if (reached != expected) {
                failures += "'" + address + "' for the server on " + expected + ": " + reached + "\n";
            }
        }
    }
    const ssize_t written = write(out, failures.data(), failures.size());
    _exit(written == static_cast<ssize_t>(failures.size()) ? 0 : 1);
}

// Runs the forms in a child under `hosts`; what failed, or the reason to skip in `skip`.
std::string failing_forms(const std::string& hosts, bool dual, std::string& skip) {
    char path[] = "/tmp/vexil-hosts-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        skip = "no temporary file for the hosts file";
        return {};
    }
    const bool written = write(fd, hosts.data(), hosts.size()) == static_cast<ssize_t>(hosts.size());
    close(fd);
    int pipe_ends[2];
    if (!written || pipe(pipe_ends) != 0) {
        unlink(path);
        skip = "could not write the hosts file";
        return {};
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_ends[0]);
        run_forms(path, dual, pipe_ends[1]);
    }
    close(pipe_ends[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_ends[0], buffer, sizeof(buffer))) > 0;) {
        output.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipe_ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    unlink(path);
    if (WIFEXITED(status) && WEXITSTATUS(status) == CANNOT_ISOLATE) {
        skip = "this machine gives no private mount namespace (unshare or a bind mount over /etc/hosts "
               "was refused), so the test cannot choose the hosts file";
        return {};
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return output + "the child ended with status " + std::to_string(status) + "\n";
    }
    return output;
}

// Every form of `forms` under `hosts` reaches its server; skipped where no private hosts file can be had.
void expect_every_form_to_reach_its_server(const std::string& hosts, bool dual) {
    std::string skip;
    const std::string failures = failing_forms(hosts, dual, skip);
    if (!skip.empty()) {
        GTEST_SKIP() << skip;
    }
    EXPECT_EQ("", failures);
}

}  // namespace

TEST(ServerAddressTest, every_form_reaches_its_server_when_localhost_is_both_ipv4_and_ipv6) {
    expect_every_form_to_reach_its_server(DEBIAN_HOSTS, true);
}

TEST(ServerAddressTest, every_form_reaches_its_server_when_localhost_is_ipv4_only) {
    expect_every_form_to_reach_its_server(IPV4_ONLY_HOSTS, false);
}
