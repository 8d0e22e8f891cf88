#pragma once

#include "common/diagnostics/tracing/trace_context.h"

namespace common {
namespace diagnostics {
namespace tracing {
namespace details {

// The context of every domain that is off: stateless, one shared instance per process.
class DisabledTraceContext final : public TraceContext {
public:
    void write_entry(const std::string&) override {}
    void write_exit(const std::string&) override {}
    void write_exit(const std::string&, std::chrono::nanoseconds) override {}
    void write_message(const std::string&, const std::string&) override {}
    void write_message(const std::string&, std::function<std::string()>) override {}
    void write_message(const std::string&, const std::string&, std::chrono::nanoseconds) override {}
    bool is_active() const override { return false; }
};

}  // namespace details
}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
