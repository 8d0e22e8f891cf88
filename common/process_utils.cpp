#include "common/process_utils.h"

#include "common/contract.h"

#include <boost/filesystem/operations.hpp>
#include <boost/log/attributes/current_process_name.hpp>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace common {

namespace {

// Guards both time conversions: gmtime and localtime share one static result.
InstrumentedMutex g_timeMutex;

constexpr std::size_t MAX_THREAD_NAME_LENGTH = 15;

}  // namespace

std::string make_canonical_path(const std::string& path) {
    if (path.empty()) {
        return {};
    }
    const boost::filesystem::path as_path(path);
    if (as_path.has_root_directory()) {
        return path;
    }
    boost::system::error_code error;
    const auto canonical = boost::filesystem::canonical(as_path, boost::filesystem::current_path(), error);
    if (error) {
        throw std::runtime_error("Error while converting relative path " + path + " to file: " + error.message());
    }
    return canonical.string();
}

std::string relativePath(const std::string& path, const std::string& base) {
    std::string trimmed_base = base;
    while (!trimmed_base.empty() && (trimmed_base.back() == '/' || trimmed_base.back() == '\\')) {
        trimmed_base.pop_back();
    }
    const boost::filesystem::path from(trimmed_base);
    const boost::filesystem::path to(path);
    auto from_it = from.begin();
    auto to_it = to.begin();
    while (from_it != from.end() && to_it != to.end() && *from_it == *to_it) {
        ++from_it;
        ++to_it;
    }
    boost::filesystem::path result;
    for (; from_it != from.end(); ++from_it) {
        result /= "..";
    }
    for (; to_it != to.end(); ++to_it) {
        result /= *to_it;
    }
    return result.string();
}

namespace detail {

// The two-call form: with no buffer (or one too small) it stores the needed size, NUL included,
// and returns -1; with a large enough buffer it fills it and returns 0.
int query_executable_path(char* buffer, unsigned int* size) {
    std::vector<char> link(256);
    for (;;) {
        const auto length = ::readlink("/proc/self/exe", link.data(), link.size());
        if (length < 0) {
            *size = 0;
            return -1;
        }
        if (static_cast<std::size_t>(length) < link.size()) {
            link.resize(static_cast<std::size_t>(length));
            break;
        }
        link.resize(link.size() * 2);
    }
    const auto needed = static_cast<unsigned int>(link.size() + 1);
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        return -1;
    }
    std::copy(link.begin(), link.end(), buffer);
    buffer[link.size()] = '\0';
    return 0;
}

boost::filesystem::path executable_path(ExecutablePathQuery query) {
    unsigned int size = 0;
    query(nullptr, &size);
    if (size == 0) {
        throw std::runtime_error("Could not determine the length of the process name");
    }
    std::vector<char> buffer(size, '\0');
    if (query(buffer.data(), &size) != 0) {
        throw std::runtime_error("Could not determine the process name");
    }
    return boost::filesystem::canonical(boost::filesystem::path(buffer.data()), boost::filesystem::current_path());
}

}  // namespace detail

boost::filesystem::path executable_path() { return detail::executable_path(&detail::query_executable_path); }

const std::string& app_name(const char* name) {
    static const std::string process_name = name ? std::string(name) : boost::log::aux::get_process_name();
    COMMON_CONTRACT_CHECK_AT(!name || process_name == name, "", "common/utils", 276);
    return process_name;
}

std::string currentDateTime() {
    const auto now = std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const std::tm local = localtimeThreadsafe(&seconds);
    const auto micros = static_cast<unsigned>(
            (now.time_since_epoch() - std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()))
                    .count());
    char buffer[255];
    std::snprintf(buffer, sizeof(buffer), "%04u-%02u-%02u %02u:%02u:%02u.%03u",
                  static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_mon + 1),
                  static_cast<unsigned>(local.tm_mday), static_cast<unsigned>(local.tm_hour),
                  static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec), micros / 1000);
    return buffer;
}

std::tm gmtimeThreadsafe(const std::time_t* time) {
    std::lock_guard<InstrumentedMutex> lock(g_timeMutex);
    const std::tm* result = std::gmtime(time);
    return result ? *result : std::tm{};
}

std::tm localtimeThreadsafe(const std::time_t* time) {
    std::lock_guard<InstrumentedMutex> lock(g_timeMutex);
    const std::tm* result = std::localtime(time);
    return result ? *result : std::tm{};
}

}  // namespace common

namespace bass {
namespace util {

void set_thread_name(const char* name) {
    char buffer[common::MAX_THREAD_NAME_LENGTH + 1] = {};
    // A null name is taken as an empty one rather than read through.
    const auto length = name ? std::min(std::strlen(name), common::MAX_THREAD_NAME_LENGTH) : std::size_t{0};
    if (length != 0) {
        std::memcpy(buffer, name, length);
    }
    buffer[length] = '\0';
    // Linux names a thread through its handle; this names the calling thread.
    static_cast<void>(pthread_setname_np(pthread_self(), buffer));
}

std::string get_thread_name() {
    char buffer[common::MAX_THREAD_NAME_LENGTH + 1] = {};
    if (pthread_getname_np(pthread_self(), buffer, sizeof(buffer)) != 0) {
        return {};
    }
    return buffer;
}

}  // namespace util
}  // namespace bass
