#pragma once

#include "ipc_tools/request_errors.h"

#include <string>

namespace ipc_tools {

/// What one connected broker (so one connected client, or one server query while it runs) holds:
/// ZeroMQ's context (1, its mailbox), its I/O thread (2, mailbox and epoll) and reaper thread (2,
/// mailbox and epoll), the REQ socket's mailbox (1), the connection to the server (1), and the
/// broker's own descriptor that cuts waits short (1).
inline constexpr int DESCRIPTORS_PER_BROKER = 8;

/// Throws DescriptorShortage unless the process can open `needed` more descriptors now (under its
/// RLIMIT_NOFILE, counted in /proc/self/fd; where that cannot be read, by opening them and closing
/// them again). ZeroMQ asserts, and so aborts the process, when it cannot make the epoll and event
/// descriptors of a context's threads: checked first, a process short of them gets an error
/// instead. A descriptor that another thread takes between the check and ZeroMQ's own can still
/// leave ZeroMQ short.
void require_free_descriptors(int needed);

/// The text of a DescriptorShortage: `error_number` (EMFILE or ENFILE) met while `needed` more
/// descriptors were wanted and `available` could be opened.
std::string descriptor_shortage_text(int error_number, int needed, int available);

/// EMFILE and ENFILE.
bool is_descriptor_shortage(int error_number);

}  // namespace ipc_tools
