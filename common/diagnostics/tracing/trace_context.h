#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace common {
namespace diagnostics {
namespace tracing {
namespace details {

// The sink of one trace domain. Shared by every user of the domain and callable from any thread.
// `function_name` is the traced function's plain name; the context puts the domain in front of it.
class TraceContext {
public:
    virtual void write_entry(const std::string& function_name) = 0;
    virtual void write_exit(const std::string& function_name) = 0;
    virtual void write_exit(const std::string& function_name, std::chrono::nanoseconds elapsed) = 0;
    virtual void write_message(const std::string& function_name, const std::string& text) = 0;
    // The callback runs only in an active context, on the calling thread.
    virtual void write_message(const std::string& function_name, std::function<std::string()> text) = 0;
    virtual void write_message(const std::string& function_name, const std::string& text,
                               std::chrono::nanoseconds elapsed) = 0;
    virtual bool is_active() const = 0;
    virtual ~TraceContext() = default;
};

// Resolves a domain name against the process's trace configuration: the shared disabled context, or
// a new enabled one. Called once per domain.
std::shared_ptr<TraceContext> create_trace_context(std::string domain);

// The same, held for the rest of the process and never destroyed: an object may end during static
// destruction and trace then.
const std::shared_ptr<TraceContext>& create_lasting_trace_context(std::string domain);

}  // namespace details
}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
