#pragma once

#include <stdexcept>
#include <string>

namespace ipc_tools {

/// No usable reply came in time, or the server no longer knows the client (a server restart).
class TimeoutError : public std::runtime_error {
public:
    explicit TimeoutError(const std::string& message) : std::runtime_error(message) {}
};

/// The wait for a reply was cut short because the client is ending: a time-out that came early.
class WaitCutShort : public TimeoutError {
public:
    explicit WaitCutShort(const std::string& message) : TimeoutError(message) {}
};

/// The reply frame could not be decoded, or its type is UNSET or INVALID_PROTOCOL.
class BadReply : public std::runtime_error {
public:
    explicit BadReply(const std::string& message) : std::runtime_error(message) {}
};

/// The server answered BAD_REQUEST.
class BadRequest : public std::runtime_error {
public:
    explicit BadRequest(const std::string& message) : std::runtime_error(message) {}
};

/// The server answered with a well-formed reply of a type the request does not allow.
class InvalidResponse : public std::runtime_error {
public:
    explicit InvalidResponse(const std::string& message) : std::runtime_error(message) {}
};

/// The process cannot open the file descriptors a connection needs (EMFILE or ENFILE).
class DescriptorShortage : public std::runtime_error {
public:
    explicit DescriptorShortage(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace ipc_tools
