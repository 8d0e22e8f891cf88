#include "common/diagnostics/tracing/context_builder.h"

#include "common/diagnostics/tracing/trace_configuration.h"
#include "common/diagnostics/tracing/trace_writer.h"
#include "common/logger.h"

#include <boost/filesystem/path.hpp>

#include <sstream>

namespace common {
namespace diagnostics {
namespace tracing {

ContextBuilder::ContextBuilder() : m_custom_trace_writer([](const std::string&) {}) {}

AbstractContextBuilder& ContextBuilder::with_custom_trace_writer(std::function<void(const std::string&)> writer) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_custom_trace_writer = std::move(writer);
    return *this;
}

AbstractContextBuilder& ContextBuilder::with_trace_domains_file(std::string path) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_trace_domains_file = std::move(path);
    return *this;
}

AbstractContextBuilder& ContextBuilder::using_trace_output_folder(std::string folder) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_trace_output_folder = std::move(folder);
    return *this;
}

AbstractContextBuilder& ContextBuilder::with_trace_file_unique_id(int id) {
    if (id >= 0) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_trace_file_unique_id = std::to_string(id);
    }
    return *this;
}

AbstractContextBuilder& ContextBuilder::with_trace_file_unique_id(std::string id) {
    if (is_portable_trace_file_id(id)) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_trace_file_unique_id = std::move(id);
    }
    return *this;
}

std::string ContextBuilder::trace_file_unique_id() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_trace_file_unique_id;
}

std::string ContextBuilder::trace_output_folder() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_trace_output_folder;
}

void ContextBuilder::initialise() {
    // Held throughout: a second caller returns only once the first has applied the settings.
    const std::lock_guard<std::mutex> lock(m_mutex);
    bool expected = false;
    if (!m_initialised.compare_exchange_strong(expected, true)) {
        return;
    }
    auto& writer = details::ActiveTraceContext::instance();
    writer.set_custom_writer(m_custom_trace_writer);
    writer.set_file_tracing_info(m_trace_output_folder, m_trace_file_unique_id);

    auto& configuration = details::TraceConfiguration::instance();
    configuration.set_default_mode(m_default_trace_mode);
    if (m_trace_domains_file.empty()) {
        return;
    }
    // Read as the environment's file is, so that a FIFO or a device never holds the caller.
    std::string problem;
    const auto text = details::read_configuration_file(m_trace_domains_file, problem);
    if (!text) {
        ZEV_LOG_WITH_FUNCTION(common::logging::info, "virtual void ContextBuilder::initialise()")
                << "Could not read trace configuration file: " << m_trace_domains_file;
        return;
    }
    // A configuration that already filed an entry (from the environment or a test hook) wins.
    std::istringstream file(*text);
    configuration.configure_if_empty(file);
}

bool is_portable_trace_file_id(const std::string& id) {
    // Wrapped so that the empty id passes and a leading "." or "-" is judged as inside a name.
    return boost::filesystem::portable_name("A" + id + "a.txt");
}

AbstractContextBuilder& context() {
    static ContextBuilder s_builder;
    return s_builder;
}

}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
