#pragma once

#include <string>
#include <sys/types.h>

namespace reference_server {

/// The socket file an ipc:// bind created, removed again when the server is done with it. ZeroMQ
/// leaves it behind, and a later server on the same path replaces it with a file of its own, which
/// is then left alone: only the very file (same device and inode) this server bound is removed.
class IpcSocketFile {
public:
    IpcSocketFile() = default;
    /// Notes the file behind `endpoint`, as the bind left it; any other endpoint is no file.
    explicit IpcSocketFile(const std::string& endpoint);
    ~IpcSocketFile() { remove(); }
    IpcSocketFile(IpcSocketFile&& other) noexcept;
    IpcSocketFile& operator=(IpcSocketFile&& other) noexcept;
    IpcSocketFile(const IpcSocketFile&) = delete;
    IpcSocketFile& operator=(const IpcSocketFile&) = delete;

    /// Removes the file if it is still the one noted; idempotent.
    void remove() noexcept;

private:
    std::string m_path;  // empty: nothing to remove
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

}  // namespace reference_server
