#pragma once

#include "reference_server/alignment_index.h"
#include "reference_server/response.h"

#include <atomic>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace reference_server {

/// The alignment indices and BED files the server has loaded, under their canonical names, and
/// the loads still running. A small file loads within its request; a larger one on a thread of
/// its own, answered LOADING until a repeated request finds it done. Server thread only.
class LoadedFiles {
public:
    using Indices = std::map<std::string, std::shared_ptr<const AlignmentIndex>>;
    using BedFiles = std::map<std::string, std::shared_ptr<const BedFile>>;

    explicit LoadedFiles(std::uint64_t max_load_file_bytes) : m_max_load_file_bytes(max_load_file_bytes) {}
    /// Loads still running give up at their next chunk; their futures wait for that.
    ~LoadedFiles() { m_stopping = true; }
    LoadedFiles(const LoadedFiles&) = delete;
    LoadedFiles& operator=(const LoadedFiles&) = delete;

    /// LOAD_INDEX: `text` is the path, optionally followed by the aligner options.
    Response load_index(const std::string& client_id, const std::string& text);
    /// LOAD_BED of `path`.
    Response load_bed(const std::string& client_id, const std::string& path);

    const Indices& indices() const { return m_indices; }
    const BedFiles& bed_files() const { return m_bed_files; }
    /// The canonical names of the files still loading, indices first.
    std::vector<std::string> loading() const;
    /// Moves on with every file loaded, so that settings made from the files can tell they are old.
    std::uint64_t generation() const { return m_generation; }

    /// The name a file is registered under: its absolute path with links resolved, as far as that works.
    static std::string canonical(const std::string& path);

private:
    template <typename T>
    using PendingLoads = std::map<std::string, std::future<std::shared_ptr<const T>>>;
    template <typename T, typename Load>
    Response load_file(PendingLoads<T>& pending, std::map<std::string, std::shared_ptr<const T>>& loaded,
                       const std::string& client_id, const std::string& path, Load load);
    LoadLimits load_limits() const { return LoadLimits{m_max_load_file_bytes, &m_stopping}; }

    std::uint64_t m_max_load_file_bytes;
    Indices m_indices;
    BedFiles m_bed_files;
    std::uint64_t m_generation = 1;
    std::atomic<bool> m_stopping{false};  // abandons the loads below; before them, as they use it
    PendingLoads<AlignmentIndex> m_index_loads;
    PendingLoads<BedFile> m_bed_loads;
};

}  // namespace reference_server
