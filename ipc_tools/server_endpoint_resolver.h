#pragma once

#include <chrono>
#include <string>

namespace ipc_tools {

// The endpoint a REQ socket connects to, and whether it needs IPv6 switched on for it.
struct ConnectTarget {
    std::string endpoint;
    bool ipv6 = false;
};

// Where a client's socket connects for `endpoint` (a normalised ipc:// or tcp://host:port address).
//
// A host name is resolved here rather than by ZeroMQ: ZeroMQ takes only the resolver's first
// address of a name, which for "localhost" on a standard Debian hosts file is ::1 (with IPv6 on)
// while most servers listen on 127.0.0.1 or 0.0.0.0. Every address of the name is tried at once with
// a plain TCP connect for up to `probe_limit`; the first, in the resolver's order, that accepts
// is the one connected to. When none accepts (no server there yet) it is the name's first IPv4
// address, or its first address when it has none; a name that does not resolve is left to ZeroMQ.
// Numeric addresses and ipc:// endpoints are used as given; IPv6 is on only for a bracketed literal.
ConnectTarget resolve_connect_target(const std::string& endpoint, std::chrono::milliseconds probe_limit);

}  // namespace ipc_tools
