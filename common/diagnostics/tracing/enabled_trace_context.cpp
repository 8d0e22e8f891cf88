#include "common/diagnostics/tracing/enabled_trace_context.h"

#include "common/diagnostics/tracing/trace_writer.h"

#include <sstream>

namespace common {
namespace diagnostics {
namespace tracing {
namespace details {

EnabledTraceContext::EnabledTraceContext(const std::string& domain, TraceMode mode)
    : m_domain_prefix(domain + "::"), m_mode(mode) {}

void EnabledTraceContext::write_entry(const std::string& function_name) {
    std::ostringstream line;
    decorate_message_stream(line, ActiveTraceContext::ENTER_TAG, m_domain_prefix + function_name);
    post(line.str());
}

void EnabledTraceContext::write_exit(const std::string& function_name) {
    std::ostringstream line;
    decorate_message_stream(line, ActiveTraceContext::LEAVE_TAG, m_domain_prefix + function_name);
    post(line.str());
}

void EnabledTraceContext::write_exit(const std::string& function_name, std::chrono::nanoseconds elapsed) {
    std::ostringstream line;
    decorate_message_stream(line, ActiveTraceContext::LEAVE_TAG, m_domain_prefix + function_name)
            << ' ' << create_timestamp(elapsed);
    post(line.str());
}

void EnabledTraceContext::write_message(const std::string& function_name, const std::string& text) {
    std::ostringstream line;
    decorate_message_stream(line, ActiveTraceContext::TRACE_TAG, m_domain_prefix + function_name) << ' ' << text;
    post(line.str());
}

void EnabledTraceContext::write_message(const std::string& function_name, std::function<std::string()> text) {
    write_message(function_name, text ? text() : std::string());
}

void EnabledTraceContext::write_message(const std::string& function_name, const std::string& text,
                                        std::chrono::nanoseconds elapsed) {
    std::ostringstream line;
    decorate_message_stream(line, ActiveTraceContext::TRACE_TAG, m_domain_prefix + function_name)
            << ' ' << text << ' ' << create_timestamp(elapsed);
    post(line.str());
}

void EnabledTraceContext::post(const std::string& line) const {
    auto& writer = ActiveTraceContext::instance();
    if (ActiveTraceContext::available()) {
        writer.post_message(m_mode, line);
    }
}

}  // namespace details
}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
