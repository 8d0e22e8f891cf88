#include "reference_server/loaded_files.h"

#include "ipc_tools/connection_string.h"

#include <chrono>
#include <filesystem>
#include <sstream>

namespace reference_server {

namespace {

using namespace ipc_tools;

/// Files up to this size load within their request: it takes milliseconds. Larger ones load on a
/// thread of their own, so that other clients are served meanwhile.
constexpr std::uint64_t inline_load_bytes = std::uint64_t{4} << 20;

bool aligner_options_valid(const std::string& options) {
    std::istringstream tokens(options);
    std::string first;
    return !(tokens >> first) || first[0] == '-';
}

}  // namespace

Response LoadedFiles::load_index(const std::string& client_id, const std::string& text) {
    const auto separator = text.find(connection_string::CONFIG_SEPARATOR);
    const std::string path = text.substr(0, separator);
    std::string options;
    if (separator != std::string::npos) {
        const auto pairs = connection_string::get_kvps(text.substr(separator + 1));
        if (!pairs) {
            return simple_reply(INVALID_ALIGNER_OPTIONS, client_id, 0, "Malformed aligner options in: " + text);
        }
        const auto found = pairs->find("minimap_opt_string");
        options = found == pairs->end() ? std::string() : found->second;
    }
    if (!aligner_options_valid(options)) {
        return simple_reply(INVALID_ALIGNER_OPTIONS, client_id, 0, "Invalid aligner options: " + options);
    }
    if (path.empty()) {
        return simple_reply(REQUEST_FAILED, client_id, 0, "No alignment index file given");
    }
    const LoadLimits limits = load_limits();
    return load_file(m_index_loads, m_indices, client_id, path, [path, limits] {
        return std::make_shared<const AlignmentIndex>(AlignmentIndex::load_fasta(path, limits));
    });
}

Response LoadedFiles::load_bed(const std::string& client_id, const std::string& path) {
    if (path.empty()) {
        return simple_reply(REQUEST_FAILED, client_id, 0, "No BED file given");
    }
    const LoadLimits limits = load_limits();
    return load_file(m_bed_loads, m_bed_files, client_id, path,
                     [path, limits] { return std::make_shared<const BedFile>(BedFile::load(path, limits)); });
}

template <typename T, typename Load>
Response LoadedFiles::load_file(PendingLoads<T>& pending, std::map<std::string, std::shared_ptr<const T>>& loaded,
                                const std::string& client_id, const std::string& path, Load load) {
    const std::string name = canonical(path);
    auto running = pending.find(name);
    if (running == pending.end()) {
        std::error_code error;
        const auto size = std::filesystem::file_size(path, error);
        // What the load refuses (no such file, a folder, a device, too large) is refused at once.
        if (error || size <= inline_load_bytes || size > m_max_load_file_bytes) {
            try {
                loaded[name] = load();
            } catch (const std::exception& failure) {
                return simple_reply(REQUEST_FAILED, client_id, 0, failure.what());
            }
            ++m_generation;
            return simple_reply(SUCCESS, client_id);
        }
        // The request that starts a load is always answered LOADING; a repeat collects it.
        pending.emplace(name, std::async(std::launch::async, std::move(load)));
        return simple_reply(LOADING, client_id);
    }
    if (running->second.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return simple_reply(LOADING, client_id);
    }
    auto finished = std::move(running->second);
    pending.erase(running);
    try {
        loaded[name] = finished.get();
    } catch (const std::exception& failure) {
        return simple_reply(REQUEST_FAILED, client_id, 0, failure.what());
    }
    ++m_generation;
    return simple_reply(SUCCESS, client_id);
}

std::vector<std::string> LoadedFiles::loading() const {
    std::vector<std::string> names;
    for (const auto& [name, load] : m_index_loads) {
        names.push_back(name);
    }
    for (const auto& [name, load] : m_bed_loads) {
        names.push_back(name);
    }
    return names;
}

std::string LoadedFiles::canonical(const std::string& path) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    if (error) {
        return path;
    }
    const auto resolved = std::filesystem::weakly_canonical(absolute, error);
    return error ? absolute.string() : resolved.string();
}

}  // namespace reference_server
