#pragma once

#include <boost/filesystem/path.hpp>

#include <ctime>
#include <mutex>
#include <string>

namespace common {

// A lockable holding one standard mutex; usable with std::condition_variable_any.
class InstrumentedMutex {
public:
    InstrumentedMutex() = default;
    InstrumentedMutex(const InstrumentedMutex&) = delete;
    InstrumentedMutex& operator=(const InstrumentedMutex&) = delete;

    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }
    bool try_lock() { return m_mutex.try_lock(); }

private:
    std::mutex m_mutex;
};

// Empty stays empty, an absolute path comes back unchanged, a relative path is resolved against
// the working directory (it must exist; std::runtime_error otherwise).
std::string make_canonical_path(const std::string& path);

// `path` expressed relative to the directory `base`.
std::string relativePath(const std::string& path, const std::string& base);

// Canonical path of the running executable.
boost::filesystem::path executable_path();

// The process-wide application name, fixed by the first call (null: the executable's file name).
const std::string& app_name(const char* name);

// Local time as "YYYY-MM-DD hh:mm:ss.mmm".
std::string currentDateTime();

// gmtime and localtime serialised under one process-wide mutex.
std::tm gmtimeThreadsafe(const std::time_t* time);
std::tm localtimeThreadsafe(const std::time_t* time);

namespace detail {
// Reads the executable path through the two-call form (length first, then the text).
// Exposed so that the error paths can be exercised.
using ExecutablePathQuery = int (*)(char* buffer, unsigned int* size);
boost::filesystem::path executable_path(ExecutablePathQuery query);
int query_executable_path(char* buffer, unsigned int* size);
}  // namespace detail

}  // namespace common

namespace bass {
namespace util {
// Names the calling thread with the first 15 characters of `name` (null: an empty name).
void set_thread_name(const char* name);
// The calling thread's name (for checks and diagnostics).
std::string get_thread_name();
}  // namespace util
}  // namespace bass
