#pragma once

#include "common/diagnostics/tracing/trace_context.h"
#include "common/diagnostics/tracing/trace_mode.h"

#include <string>

namespace common {
namespace diagnostics {
namespace tracing {
namespace details {

// The context of an enabled domain: formats each line on the calling thread and queues it on the
// process's trace writer for the domain's mode.
class EnabledTraceContext final : public TraceContext {
public:
    EnabledTraceContext(const std::string& domain, TraceMode mode);

    void write_entry(const std::string& function_name) override;
    void write_exit(const std::string& function_name) override;
    void write_exit(const std::string& function_name, std::chrono::nanoseconds elapsed) override;
    void write_message(const std::string& function_name, const std::string& text) override;
    void write_message(const std::string& function_name, std::function<std::string()> text) override;
    void write_message(const std::string& function_name, const std::string& text,
                       std::chrono::nanoseconds elapsed) override;
    bool is_active() const override { return true; }

    TraceMode mode() const { return m_mode; }
    const std::string& domain_prefix() const { return m_domain_prefix; }

private:
    void post(const std::string& line) const;

    const std::string m_domain_prefix;
    const TraceMode m_mode;
};

}  // namespace details
}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
