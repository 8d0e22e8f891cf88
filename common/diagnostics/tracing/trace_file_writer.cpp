#include "common/diagnostics/tracing/trace_file_writer.h"

#include "common/logger.h"
#include "common/process_utils.h"

#include <boost/filesystem/path.hpp>

#include <unistd.h>

#include <boost/filesystem/operations.hpp>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>

namespace common {
namespace diagnostics {
namespace tracing {
namespace details {

namespace {
// What Linux appends to /proc/self/exe once the running binary has been replaced or removed.
const std::string DELETED_MARK = " (deleted)";
}  // namespace

std::string TraceFileWriter::executable_stem() {
    const auto path = common::executable_path();
    const auto file_name = path.filename().string();
    if (file_name.size() >= DELETED_MARK.size() &&
        file_name.compare(file_name.size() - DELETED_MARK.size(), DELETED_MARK.size(), DELETED_MARK) == 0) {
        throw std::runtime_error("the executable " + path.string() + " no longer exists");
    }
    const auto stem = path.stem().string();
    if (stem.empty()) {
        throw std::runtime_error("the executable path " + path.string() + " has no file name");
    }
    return stem;
}

void TraceFileWriter::log_warning(const std::string& text) { ZEV_LOG(common::logging::warning) << text; }

std::string TraceFileWriter::utc_time_text() {
    const std::time_t now = std::time(nullptr);
    const std::tm utc = common::gmtimeThreadsafe(&now);
    char buffer[32] = {};
    std::strftime(buffer, sizeof(buffer), "%F_T%H-%M-%S", &utc);
    return buffer;
}

TraceFileWriter::TraceFileWriter(std::uint64_t max_file_size, StemProvider stem_provider, WarningSink warning_sink)
    : m_max_file_size(max_file_size),
      m_stem_provider(std::move(stem_provider)),
      m_warning_sink(std::move(warning_sink)) {}

TraceFileWriter::~TraceFileWriter() {
    if (m_trace_stream.is_open()) {
        m_trace_stream.flush();
        m_trace_stream.close();
    }
}

void TraceFileWriter::set_folder_if_empty(const std::string& folder) {
    if (m_trace_folder.empty()) {
        m_trace_folder = folder;
    }
}

void TraceFileWriter::set_file_id(const std::string& file_id) {
    if (!file_id.empty()) {
        m_file_id_suffix = "_" + file_id;
    }
}

void TraceFileWriter::write(const std::string& line) { write_lines({&line}); }

void TraceFileWriter::write_lines(const std::vector<const std::string*>& lines) {
    std::string buffer;
    std::size_t next = 0;
    while (next < lines.size()) {
        if (!prepare_file()) {
            return;  // no file can take them: the lines are dropped
        }
        // The size test comes before each line: the line that carries the file past the limit is
        // its last. The whole lines go in one buffer, flushed at once, which reaches the file in one
        // system call (an emptied file buffer hands a long buffer straight to the system), so lines
        // stay whole.
        const auto told = m_trace_stream.tellp();
        // A position that cannot be read takes one line, and then the next file.
        const std::uint64_t position = told == std::ofstream::pos_type(-1)
                                               ? m_max_file_size
                                               : static_cast<std::uint64_t>(static_cast<std::streamoff>(told));
        buffer.clear();
        do {
            buffer.append(*lines[next]).push_back('\n');
            ++next;
        } while (next < lines.size() && position + buffer.size() < m_max_file_size);
        m_trace_stream.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        m_trace_stream.flush();
        if (m_trace_stream.good()) {
            m_file_holds_lines = true;
            if (m_failing) {
                m_failing = false;
                send_warning("Trace files are written in " + m_trace_folder + " again");
            }
        } else {
            fail("write to", std::strerror(errno));
        }
    }
}

bool TraceFileWriter::prepare_file() {
    if (!m_trace_stream.is_open() && std::chrono::steady_clock::now() < m_retry_at) {
        return false;  // a failure a moment ago: lines are dropped until the next attempt
    }
    if (!m_trace_stream.is_open()) {
        if (m_trace_folder.empty()) {
            return false;  // no folder, no files: the counter stays where it is
        }
        compute_base_name();
        open_next_file();
    } else if (!current_file_has_room()) {
        open_next_file();
    }
    return m_trace_stream.is_open();
}

bool TraceFileWriter::current_file_has_room() {
    if (!m_trace_stream.good()) {
        return false;
    }
    const auto position = m_trace_stream.tellp();
    if (position == std::ofstream::pos_type(-1)) {
        return false;
    }
    return static_cast<std::uint64_t>(static_cast<std::streamoff>(position)) < m_max_file_size;
}

void TraceFileWriter::compute_base_name() {
    std::string stem;
    try {
        stem = m_stem_provider();
    } catch (const std::exception& e) {
        warn_once(m_warned_about_stem, std::string("Trace files are named without the executable's name: ") + e.what());
    } catch (...) {
        warn_once(m_warned_about_stem, "Trace files are named without the executable's name");
    }
    std::string name = stem + m_file_id_suffix;
    if (stem.empty() && !name.empty()) {
        name.erase(0, 1);  // no stem: drop the separator the id suffix starts with
    }
    if (!name.empty()) {
        name += "_";
    }
    // The process id keeps the files of processes started in the same second apart.
    m_file_base_name = name + utc_time_text() + "_" + std::to_string(::getpid()) + "_";
}

void TraceFileWriter::open_next_file() {
    if (m_trace_stream.is_open()) {
        m_trace_stream.flush();
        m_trace_stream.close();
    }
    m_trace_stream.clear();
    if (m_trace_folder.empty()) {
        return;
    }
    const std::string file_name = m_file_base_name + std::to_string(m_file_counter) + FILE_EXTENSION;
    ++m_file_counter;
    const auto path = boost::filesystem::path(m_trace_folder) / file_name;
    m_trace_stream.open(path.string(), std::ios::out | std::ios::app);
    m_file_holds_lines = false;
    if (m_trace_stream.is_open()) {
        m_trace_stream.clear();
        m_current_path = path.string();
    } else {
        const std::string reason = std::strerror(errno);
        m_trace_stream.setstate(std::ios::failbit);
        fail("create", reason);
    }
}

void TraceFileWriter::fail(const std::string& what, const std::string& reason) {
    if (m_trace_stream.is_open()) {
        m_trace_stream.close();
        if (!m_file_holds_lines) {
            // A file that took no line is removed, so that a full disk does not fill with empty files.
            boost::system::error_code ignored;
            boost::filesystem::remove(m_current_path, ignored);
        }
    }
    m_trace_stream.clear();
    m_trace_stream.setstate(std::ios::failbit);
    const auto now = std::chrono::steady_clock::now();
    m_retry_at = now + RETRY_INTERVAL;
    m_failing = true;
    if (!m_warned_about_open || now >= m_next_failure_warning) {
        m_warned_about_open = true;
        m_next_failure_warning = now + FAILURE_WARNING_INTERVAL;
        send_warning("Could not " + what + " a trace file in " + m_trace_folder + ": " + reason +
                     "; trace lines are dropped until one can be written");
    }
}

void TraceFileWriter::send_warning(const std::string& text) {
    try {
        if (m_warning_sink) {
            m_warning_sink(text);
        }
    } catch (...) {
        // A warning that cannot be written must not stop the tracing thread.
    }
}

void TraceFileWriter::warn_once(bool& warned, const std::string& text) {
    if (warned) {
        return;
    }
    warned = true;
    try {
        if (m_warning_sink) {
            m_warning_sink(text);
        }
    } catch (...) {
        // A warning that cannot be written must not stop the tracing thread.
    }
}

}  // namespace details
}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
