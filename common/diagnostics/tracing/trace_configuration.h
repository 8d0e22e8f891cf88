#pragma once

#include "common/diagnostics/tracing/trace_context.h"
#include "common/diagnostics/tracing/trace_mode.h"

#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace common {
namespace diagnostics {
namespace tracing {
namespace details {

// Trace-configuration files larger than this are not read.
constexpr std::uint64_t MAX_CONFIGURATION_FILE_SIZE = 1024 * 1024;

// The text of a trace-configuration file, read without waiting: nothing, and `problem` set to why,
// unless it is a regular, non-empty text file of at most MAX_CONFIGURATION_FILE_SIZE bytes.
std::optional<std::string> read_configuration_file(const std::string& path, std::string& problem);

// Decides, per trace domain, whether it writes lines and through which writer. One per process.
// The tables are guarded by one mutex so that configuration may run alongside domain resolution.
class TraceConfiguration {
public:
    static constexpr const char* CONFIG_ENVIRONMENT_VARIABLE = "ZEV_BASECALL_TRACE_CONFIG";

    // Created on first use; the creation reads the file named by ZEV_BASECALL_TRACE_CONFIG.
    static TraceConfiguration& instance();

    TraceConfiguration(const TraceConfiguration&) = delete;
    TraceConfiguration& operator=(const TraceConfiguration&) = delete;

    // Parses configuration text into the tables, adding to what they hold.
    void configure_trace_domains_impl(std::istream& in);
    // Files one entry; the first entry for a key wins.
    void add_trace_domain_mode(std::string domain, TraceMode mode);
    // Exact entry, then the high-frequency rule, then the longest prefix; none when nothing matches.
    // Exclusions are not considered here.
    TraceMode get_domain_trace_mode(const std::string& domain) const;
    // The full resolution of a domain, exclusions included.
    std::shared_ptr<TraceContext> create_trace_context(const std::string& domain) const;

    void clear();
    bool empty() const;
    // Parses `in` only when all four tables are empty; returns whether it did.
    bool configure_if_empty(std::istream& in);
    // Empties the tables and files every comma-separated domain with the default mode.
    void set_enabled_domains(const std::string& domains);

    void set_default_mode(TraceMode mode);
    TraceMode default_mode() const;

    const std::shared_ptr<TraceContext>& disabled_context() const { return m_disabled_context; }

private:
    TraceConfiguration();

    // Returns the first line skipped for an unknown mode or a word that names no domain, or "".
    std::string parse_locked(std::istream& in);
    // A file that cannot be read or holds a bad line is one warning and is left out whole.
    void configure_from_environment_file(const std::string& path);
    void add_locked(std::string domain, TraceMode mode);
    void clear_locked();
    bool empty_locked() const;
    TraceMode mode_locked(const std::string& domain) const;
    bool excluded_locked(const std::string& domain) const;

    mutable std::mutex m_mutex;
    std::map<std::string, TraceMode, std::greater<>> m_prefix_modes;
    std::map<std::string, TraceMode, std::greater<>> m_exact_modes;
    std::set<std::string, std::greater<>> m_excluded_prefixes;
    std::set<std::string, std::greater<>> m_excluded_domains;
    TraceMode m_default_mode{TraceMode::none};
    std::shared_ptr<TraceContext> m_disabled_context;
};

}  // namespace details
}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
