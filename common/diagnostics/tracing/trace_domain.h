#pragma once

#include "common/diagnostics/tracing/class_name.h"
#include "common/diagnostics/tracing/trace.h"
#include "common/diagnostics/tracing/trace_context.h"
#include "common/diagnostics/tracing/trace_flush.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace common {
namespace diagnostics {
namespace tracing {

namespace details {
// Puts a class's high-frequency domain apart from its normal one. Each source file holds its own copy.
static const std::string HFTRACE_PREFIX = "hftrace::";
}  // namespace details

// The trace domain of class T, named after T, and its high-frequency twin "hftrace::" + name, which
// only an exact configuration entry switches on. Each domain is resolved once, on first use, and
// cached for the rest of the process.
template <typename T>
class TraceDomain {
public:
    static Trace create_trace(std::string function_name) { return Trace(context(), std::move(function_name), false); }
    static Trace create_trace(const char* function_name) { return Trace(context(), function_name, false); }

    static Trace create_timed_trace(std::string function_name) {
        return Trace(context(), std::move(function_name), true);
    }
    static Trace create_timed_trace(const char* function_name) { return Trace(context(), function_name, true); }

    static Trace create_hftrace(std::string function_name) {
        return Trace(hftrace_context(), std::move(function_name), false);
    }
    static Trace create_hftrace(const char* function_name) { return Trace(hftrace_context(), function_name, false); }

    // One message line in the high-frequency domain; `text` runs only when that domain is active.
    static void write_hftrace(const std::string& function_name, std::function<std::string()> text) {
        const auto& hf_context = hftrace_context();
        if (hf_context->is_active()) {
            hf_context->write_message(function_name, std::move(text));
        }
    }
    // The same for any text callable: nothing is wrapped, copied or allocated while the domain is off.
    template <typename Name, typename F, typename = std::enable_if_t<details::is_text_callback_v<F>>>
    static void write_hftrace(Name&& function_name, F&& text) {
        const auto& hf_context = hftrace_context();
        if (hf_context->is_active()) {
            hf_context->write_message(function_name, std::function<std::string()>(std::forward<F>(text)));
        }
    }

    static std::shared_ptr<details::TraceContext> get_trace_context() { return context(); }
    static std::shared_ptr<details::TraceContext> get_hftrace_context() { return hftrace_context(); }

    static std::string hftrace_domain_name() { return details::HFTRACE_PREFIX + ClassName<T>::class_name(); }

private:
    static const std::shared_ptr<details::TraceContext>& context() {
        static const std::shared_ptr<details::TraceContext>& s_context =
                details::create_lasting_trace_context(ClassName<T>::class_name());
        return s_context;
    }

    static const std::shared_ptr<details::TraceContext>& hftrace_context() {
        static const std::shared_ptr<details::TraceContext>& s_context =
                details::create_lasting_trace_context(hftrace_domain_name());
        return s_context;
    }
};

// A base class that gives T its trace domain.
template <typename T>
class TraceDomainHelper : public TraceDomain<T> {};

}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
