#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace test_support {

/// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/vexil_server_XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path(const std::string& name) const { return (m_path / name).string(); }
    std::string write(const std::string& name, const std::string& content) const {
        std::ofstream(path(name)) << content;
        return path(name);
    }
    std::string ipc_endpoint() const { return "ipc://" + path("server.sock"); }

private:
    std::filesystem::path m_path;
};

}  // namespace test_support
