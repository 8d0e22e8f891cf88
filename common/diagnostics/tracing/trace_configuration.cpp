#include "common/diagnostics/tracing/trace_configuration.h"

#include "common/diagnostics/tracing/disabled_trace_context.h"
#include "common/diagnostics/tracing/enabled_trace_context.h"
#include "common/diagnostics/tracing/testability.h"
#include "common/diagnostics/tracing/trace_domain.h"
#include "common/diagnostics/tracing/trace_writer.h"
#include "common/logger.h"

#include <boost/algorithm/string/trim.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace common {
namespace diagnostics {
namespace tracing {
namespace details {

namespace {

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with_star(const std::string& word) { return !word.empty() && word.back() == '*'; }

// What a class name (with namespaces and template arguments) or a prefix of one may hold.
bool is_domain_word(const std::string& word) {
    return word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_:<>,*()&.") ==
           std::string::npos;
}

// Whether a sink accepts verbose records right now; the probe record is discarded unwritten.
bool verbose_log_accepts_records() { return common::logging::accepts_records(common::logging::verbose::source()); }

// Closes a descriptor when the read ends, however it ends.
struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

bool is_text(const std::string& text) {
    for (const unsigned char c : text) {
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            return false;
        }
        if (c == 0x7f) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> read_configuration_file(const std::string& path, std::string& problem) {
    // Non-blocking, so that a FIFO nobody writes to does not hold the caller; fstat before any read,
    // so that a device such as /dev/zero is never read.
    const FileDescriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) {
        problem = std::strerror(errno);
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(file.fd, &status) != 0) {
        problem = std::strerror(errno);
        return std::nullopt;
    }
    if (S_ISDIR(status.st_mode)) {
        problem = "it is a folder";
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        problem = "it is not a regular file";
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(status.st_size) > MAX_CONFIGURATION_FILE_SIZE) {
        problem = "it is larger than " + std::to_string(MAX_CONFIGURATION_FILE_SIZE) + " bytes";
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
        const auto count = ::read(file.fd, &text[filled], text.size() - filled);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            problem = std::strerror(errno);
            return std::nullopt;
        }
        if (count == 0) {
            break;  // shrunk while being read: take what is there
        }
        filled += static_cast<std::size_t>(count);
    }
    text.resize(filled);
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        problem = "it is empty";
        return std::nullopt;
    }
    if (!is_text(text)) {
        problem = "it holds bytes that are not text";
        return std::nullopt;
    }
    return text;
}

TraceConfiguration& TraceConfiguration::instance() {
    // Never destroyed: an object ending during static destruction still resolves its trace domain.
    static TraceConfiguration* const s_instance = new TraceConfiguration;
    return *s_instance;
}

TraceConfiguration::TraceConfiguration() : m_disabled_context(std::make_shared<DisabledTraceContext>()) {
    m_default_mode = TraceMode::verbose_log;
    if (const char* path = std::getenv(CONFIG_ENVIRONMENT_VARIABLE)) {
        configure_from_environment_file(path);
    }
}

void TraceConfiguration::configure_from_environment_file(const std::string& path) {
    const auto warn = [&path](const std::string& problem) {
        ZEV_LOG(common::logging::warning) << "Trace configuration file " << path << " (" << CONFIG_ENVIRONMENT_VARIABLE
                                          << ") is not used: " << problem;
    };
    std::string problem;
    const auto text = read_configuration_file(path, problem);
    if (!text) {
        warn(problem);
        return;
    }
    std::istringstream in(*text);
    std::string bad_line;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!empty_locked()) {
            return;
        }
        bad_line = parse_locked(in);
        if (!bad_line.empty()) {
            clear_locked();  // a file with a bad line is left out whole
        }
    }
    if (!bad_line.empty()) {
        warn("no trace mode or domain in the line \"" + bad_line + "\"");
    }
}

void TraceConfiguration::configure_trace_domains_impl(std::istream& in) {
    std::lock_guard<std::mutex> lock(m_mutex);
    parse_locked(in);
}

bool TraceConfiguration::configure_if_empty(std::istream& in) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!empty_locked()) {
        return false;
    }
    parse_locked(in);
    return true;
}

std::string TraceConfiguration::parse_locked(std::istream& in) {
    std::string first_bad_line;
    std::string line;
    while (std::getline(in, line)) {
        boost::algorithm::trim(line);
        if (line.empty()) {
            continue;
        }
        std::istringstream words_stream(line);
        std::vector<std::string> words;
        for (std::string word; words_stream >> word;) {
            words.push_back(std::move(word));
            if (words.size() == 2) {
                break;  // further words are ignored
            }
        }
        if (words.empty() || words[0][0] == '#') {
            continue;
        }
        TraceMode mode = m_default_mode;
        if (words.size() > 1 && words[1][0] != '#') {
            const auto keyword_mode = trace_mode_from_keyword(words[1]);
            if (!keyword_mode) {
                if (first_bad_line.empty()) {
                    first_bad_line = line;
                }
                continue;
            }
            mode = *keyword_mode;
        } else if (mode == TraceMode::none) {
            continue;
        }
        if (!is_domain_word(words[0])) {
            if (first_bad_line.empty()) {
                first_bad_line = line;
            }
            continue;
        }
        add_locked(words[0], mode);
    }
    return first_bad_line;
}

void TraceConfiguration::add_trace_domain_mode(std::string domain, TraceMode mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    add_locked(std::move(domain), mode);
}

void TraceConfiguration::add_locked(std::string domain, TraceMode mode) {
    const bool is_prefix = ends_with_star(domain);
    if (is_prefix) {
        domain.pop_back();
    }
    // emplace keeps the first entry for a key.
    if (mode == TraceMode::exclude) {
        (is_prefix ? m_excluded_prefixes : m_excluded_domains).emplace(std::move(domain));
    } else {
        (is_prefix ? m_prefix_modes : m_exact_modes).emplace(std::move(domain), mode);
    }
}

TraceMode TraceConfiguration::get_domain_trace_mode(const std::string& domain) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return mode_locked(domain);
}

TraceMode TraceConfiguration::mode_locked(const std::string& domain) const {
    const auto exact = m_exact_modes.find(domain);
    if (exact != m_exact_modes.end() && exact->second != TraceMode::none) {
        return exact->second;
    }
    if (starts_with(domain, HFTRACE_PREFIX)) {
        return TraceMode::none;  // high-frequency domains are switched on by exact entries only
    }
    // Descending order puts the longer of two matching prefixes first.
    for (const auto& entry : m_prefix_modes) {
        if (starts_with(domain, entry.first)) {
            return entry.second;
        }
    }
    return TraceMode::none;
}

bool TraceConfiguration::excluded_locked(const std::string& domain) const {
    for (const auto& prefix : m_excluded_prefixes) {
        if (starts_with(domain, prefix)) {
            return true;
        }
    }
    return m_excluded_domains.count(domain) != 0;
}

std::shared_ptr<TraceContext> TraceConfiguration::create_trace_context(const std::string& domain) const {
    TraceMode mode = TraceMode::none;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (excluded_locked(domain)) {
            return m_disabled_context;
        }
        mode = mode_locked(domain);
    }
    if (mode == TraceMode::none || mode == TraceMode::exclude) {
        return m_disabled_context;
    }
    if (mode == TraceMode::verbose_log && !verbose_log_accepts_records()) {
        return m_disabled_context;
    }
    return std::make_shared<EnabledTraceContext>(domain, mode);
}

void TraceConfiguration::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    clear_locked();
}

void TraceConfiguration::clear_locked() {
    m_prefix_modes.clear();
    m_exact_modes.clear();
    m_excluded_prefixes.clear();
    m_excluded_domains.clear();
}

bool TraceConfiguration::empty() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return empty_locked();
}

bool TraceConfiguration::empty_locked() const {
    return m_prefix_modes.empty() && m_exact_modes.empty() && m_excluded_prefixes.empty() && m_excluded_domains.empty();
}

void TraceConfiguration::set_enabled_domains(const std::string& domains) {
    std::lock_guard<std::mutex> lock(m_mutex);
    clear_locked();
    std::istringstream list(domains);
    for (std::string entry; std::getline(list, entry, ',');) {
        boost::algorithm::trim(entry);
        if (!entry.empty()) {
            add_locked(entry, m_default_mode);
        }
    }
}

void TraceConfiguration::set_default_mode(TraceMode mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_default_mode = mode;
}

TraceMode TraceConfiguration::default_mode() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_default_mode;
}

std::shared_ptr<TraceContext> create_trace_context(std::string domain) {
    return TraceConfiguration::instance().create_trace_context(domain);
}

const std::shared_ptr<TraceContext>& create_lasting_trace_context(std::string domain) {
    return *new std::shared_ptr<TraceContext>(create_trace_context(std::move(domain)));
}

}  // namespace details

namespace testability {

void set_custom_trace_writer(std::function<void(const std::string&)> writer) {
    auto& configuration = details::TraceConfiguration::instance();
    details::ActiveTraceContext::instance().set_custom_writer(std::move(writer));
    configuration.set_default_mode(TraceMode::custom);
}

void set_default_trace_mode(TraceMode mode) { details::TraceConfiguration::instance().set_default_mode(mode); }

void set_enabled_trace_domains(const std::string& domains) {
    details::TraceConfiguration::instance().set_enabled_domains(domains);
}

void configure_trace_domains(std::istream& in) {
    auto& configuration = details::TraceConfiguration::instance();
    configuration.clear();
    configuration.configure_trace_domains_impl(in);
}

void configure_trace_domains(const std::string& path) {
    if (path.empty()) {
        return;
    }
    auto& configuration = details::TraceConfiguration::instance();
    std::ifstream file(path);
    if (!file.is_open()) {
        ZEV_LOG_WITH_FUNCTION(common::logging::info,
                              "void common::diagnostics::tracing::testability::configure_trace_domains(const "
                              "std::string &)")
                << "Could not read trace configuration file: " << path;
    }
    configuration.clear();
    configuration.configure_trace_domains_impl(file);
}

bool environment_config_exists() { return std::getenv(details::TraceConfiguration::CONFIG_ENVIRONMENT_VARIABLE); }

}  // namespace testability
}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
