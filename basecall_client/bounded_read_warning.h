#pragma once

#include "interfaces/read_holder.h"

#include <string>

namespace basecall_service {

// One warning per connection that the server's called reads did not fit what they claimed and
// were bounded to fit: it names the server and the first such read; later ones are not repeated,
// since a server that does it once does it for every read. Worker thread only.
class BoundedReadWarning {
public:
    // A new connection: its first bounded read is warned of again.
    void new_connection() { m_warned = false; }
    // `what` was bounded to fit `read`, returned by the server at `server`.
    void read_bounded(const std::string& server, const interfaces::ReadHolder& read, const std::string& what);

private:
    bool m_warned = false;
};

}  // namespace basecall_service
