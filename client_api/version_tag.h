#pragma once

#include <string>

namespace vexil {

/// A version as numbers and as the text "major.minor.patch" (or the library's build text).
struct VersionTag {
    int major = 0;
    int minor = 0;
    int patch = 0;
    std::string text;
};

/// Who the client is talking to, as the server told it when it connected.
struct ConnectedServerInfo {
    std::string client_uid;
    std::string server_version;
    std::string minimap_version;
};

}  // namespace vexil
