#include "reference_server/ipc_socket_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace reference_server {

namespace {

constexpr char ipc_scheme[] = "ipc://";

}  // namespace

IpcSocketFile::IpcSocketFile(const std::string& endpoint) {
    if (endpoint.rfind(ipc_scheme, 0) != 0) {
        return;
    }
    const std::string path = endpoint.substr(sizeof(ipc_scheme) - 1);
    struct stat status {};
    // An abstract socket ("@name") has no file, and stat finds none.
    if (path.empty() || ::lstat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) {
        return;
    }
    m_path = path;
    m_device = status.st_dev;
    m_inode = status.st_ino;
}

IpcSocketFile::IpcSocketFile(IpcSocketFile&& other) noexcept
    : m_path(std::exchange(other.m_path, std::string())), m_device(other.m_device), m_inode(other.m_inode) {}

IpcSocketFile& IpcSocketFile::operator=(IpcSocketFile&& other) noexcept {
    if (this != &other) {
        remove();
        m_path = std::exchange(other.m_path, std::string());
        m_device = other.m_device;
        m_inode = other.m_inode;
    }
    return *this;
}

void IpcSocketFile::remove() noexcept {
    if (m_path.empty()) {
        return;
    }
    struct stat status {};
    if (::lstat(m_path.c_str(), &status) == 0 && status.st_dev == m_device && status.st_ino == m_inode) {
        ::unlink(m_path.c_str());
    }
    m_path.clear();
}

}  // namespace reference_server
