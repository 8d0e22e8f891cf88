#include "ipc_tools/server_endpoint_resolver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ipc_tools {

namespace {

const std::string TCP_PREFIX = "tcp://";

struct AddrinfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrinfoList = std::unique_ptr<addrinfo, AddrinfoFree>;

// A socket descriptor, closed with its owner.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    Descriptor(Descriptor&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Descriptor& operator=(Descriptor&&) = delete;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// One resolved address of the name, as ZeroMQ takes it, and its connect attempt.
struct Candidate {
    ConnectTarget target;
    Descriptor socket;
    bool pending;  // the connect is still under way
};

std::optional<ConnectTarget> numeric_target(const addrinfo& address, const std::string& port) {
    char host[NI_MAXHOST];
    if (getnameinfo(address.ai_addr, address.ai_addrlen, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0) {
        return std::nullopt;
    }
    const bool ipv6 = address.ai_family == AF_INET6;
    return ConnectTarget{TCP_PREFIX + (ipv6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + port, ipv6};
}

// Starts a non-blocking connect to `address`; no candidate when it failed at once.
std::optional<Candidate> start_connect(const addrinfo& address, ConnectTarget target) {
    Descriptor socket(
            ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol));
    if (socket.get() < 0) {
        return std::nullopt;
    }
    if (connect(socket.get(), address.ai_addr, address.ai_addrlen) == 0) {
        return Candidate{std::move(target), std::move(socket), false};
    }
    if (errno != EINPROGRESS) {
        return std::nullopt;
    }
    return Candidate{std::move(target), std::move(socket), true};
}

bool connected(const Candidate& candidate) {
    int error = 0;
    socklen_t length = sizeof(error);
    return getsockopt(candidate.socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

// The first candidate, in the resolver's order, whose connect succeeds within `limit`.
std::optional<ConnectTarget> first_accepting(std::vector<Candidate>& candidates, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<bool> failed(candidates.size(), false);
    for (;;) {
        // An earlier address still under way is waited for before a later one that accepted.
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            if (failed[i]) {
                continue;
            }
            if (candidates[i].pending) {
                break;
            }
            return candidates[i].target;
        }
        std::vector<pollfd> waiting;
        std::vector<std::size_t> index;
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            if (!failed[i] && candidates[i].pending) {
                waiting.push_back(pollfd{candidates[i].socket.get(), POLLOUT, 0});
                index.push_back(i);
            }
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (waiting.empty() || left.count() <= 0) {
            return std::nullopt;
        }
        const int ready = poll(waiting.data(), waiting.size(), static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            return std::nullopt;
        }
        for (std::size_t k = 0; ready > 0 && k < waiting.size(); ++k) {
            if (waiting[k].revents != 0) {
                Candidate& candidate = candidates[index[k]];
                candidate.pending = false;
                failed[index[k]] = !connected(candidate);
            }
        }
    }
}

}  // namespace

ConnectTarget resolve_connect_target(const std::string& endpoint, std::chrono::milliseconds probe_limit) {
    if (endpoint.compare(0, TCP_PREFIX.size(), TCP_PREFIX) != 0) {
        return {endpoint, false};
    }
    const std::string host_and_port = endpoint.substr(TCP_PREFIX.size());
    const auto colon = host_and_port.rfind(':');
    // A bracketed IPv6 literal, or a source address before the server's (';'), is ZeroMQ's to read.
    if (colon == std::string::npos || host_and_port.front() == '[' || host_and_port.find(';') != std::string::npos) {
        return {endpoint, host_and_port.find('[') != std::string::npos};
    }
    const std::string host = host_and_port.substr(0, colon);
    const std::string port = host_and_port.substr(colon + 1);
    in_addr ipv4{};
    if (inet_pton(AF_INET, host.c_str(), &ipv4) == 1) {
        return {endpoint, false};
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
        return {endpoint, true};
    }
    const AddrinfoList addresses(found);

    std::vector<Candidate> candidates;
    std::optional<ConnectTarget> fallback;
    for (const addrinfo* address = addresses.get(); address != nullptr; address = address->ai_next) {
        auto target = numeric_target(*address, port);
        if (!target || std::any_of(candidates.begin(), candidates.end(), [&target](const Candidate& candidate) {
                return candidate.target.endpoint == target->endpoint;
            })) {
            continue;
        }
        if (!fallback || (fallback->ipv6 && !target->ipv6)) {
            fallback = target;
        }
        if (auto candidate = start_connect(*address, *target)) {
            candidates.push_back(std::move(*candidate));
        }
    }
    if (auto accepting = first_accepting(candidates, probe_limit)) {
        return *accepting;
    }
    return fallback ? *fallback : ConnectTarget{endpoint, true};
}

}  // namespace ipc_tools
