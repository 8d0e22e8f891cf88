#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace common {
namespace diagnostics {
namespace tracing {
namespace details {

// Appends trace lines to numbered files in one folder:
//   <executable stem><"_" + id>_<UTC start time>_<process id>_<counter>.trace
// and begins the next file once the current one has reached the size limit. Used only on the trace
// writer's thread. Failures never leave this class: lines that cannot be written are dropped.
class TraceFileWriter {
public:
    using StemProvider = std::function<std::string()>;
    using WarningSink = std::function<void(const std::string&)>;

    static constexpr std::uint64_t DEFAULT_MAX_FILE_SIZE = 7340032;
    static constexpr const char* FILE_EXTENSION = ".trace";
    // After a failure to create or write a file, the next attempt waits this long; the warning
    // about failures is repeated at most this often.
    static constexpr std::chrono::seconds RETRY_INTERVAL{1};
    static constexpr std::chrono::seconds FAILURE_WARNING_INTERVAL{60};

    // The stem of the running executable; throws when its path cannot be resolved.
    static std::string executable_stem();
    // Writes a warning record through the warning logger.
    static void log_warning(const std::string& text);
    // UTC now as "YYYY-MM-DD_Thh-mm-ss".
    static std::string utc_time_text();

    explicit TraceFileWriter(std::uint64_t max_file_size = DEFAULT_MAX_FILE_SIZE,
                             StemProvider stem_provider = &TraceFileWriter::executable_stem,
                             WarningSink warning_sink = &TraceFileWriter::log_warning);
    ~TraceFileWriter();

    TraceFileWriter(const TraceFileWriter&) = delete;
    TraceFileWriter& operator=(const TraceFileWriter&) = delete;

    // The folder is taken only while none is known; an open file is not affected.
    void set_folder_if_empty(const std::string& folder);
    // A non-empty id makes the suffix "_" + id for base names computed from now on.
    void set_file_id(const std::string& file_id);

    void write(const std::string& line);
    // As many lines as fit go in one write, each whole.
    void write_lines(const std::vector<const std::string*>& lines);

    const std::string& folder() const { return m_trace_folder; }
    const std::string& base_name() const { return m_file_base_name; }
    std::uint64_t file_counter() const { return m_file_counter; }
    bool is_open() const { return m_trace_stream.is_open(); }

private:
    // Opens the first or the next file when needed; whether a file can take a line now.
    bool prepare_file();
    void compute_base_name();
    void open_next_file();
    bool current_file_has_room();
    void warn_once(bool& warned, const std::string& text);
    // Closes (and removes, when it took no line) the current file, warns at most once a minute and
    // drops lines until the next attempt.
    void fail(const std::string& what, const std::string& reason);
    void send_warning(const std::string& text);

    std::uint64_t m_max_file_size;
    std::uint64_t m_file_counter{0};
    std::ofstream m_trace_stream;
    std::string m_trace_folder;
    std::string m_file_id_suffix;
    std::string m_file_base_name;
    StemProvider m_stem_provider;
    WarningSink m_warning_sink;
    bool m_warned_about_stem{false};
    bool m_warned_about_open{false};
    bool m_failing{false};
    bool m_file_holds_lines{false};
    std::string m_current_path;
    std::chrono::steady_clock::time_point m_retry_at{};
    std::chrono::steady_clock::time_point m_next_failure_warning{};
};

}  // namespace details
}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
