#include "common/diagnostics/tracing/trace.h"

namespace common {
namespace diagnostics {
namespace tracing {

Trace::Trace(std::shared_ptr<details::TraceContext> context, std::string function_name, bool timed)
    : m_context(std::move(context)), m_timed(timed), m_active(m_context && m_context->is_active()) {
    if (!m_active) {
        return;
    }
    m_name = std::move(function_name);
    if (m_timed) {
        m_start = std::chrono::steady_clock::now();
    }
    m_context->write_entry(m_name);
}

Trace::Trace(std::shared_ptr<details::TraceContext> context, const char* function_name, bool timed)
    : m_context(std::move(context)), m_timed(timed), m_active(m_context && m_context->is_active()) {
    if (!m_active) {
        return;
    }
    m_name = function_name ? function_name : "";
    if (m_timed) {
        m_start = std::chrono::steady_clock::now();
    }
    m_context->write_entry(m_name);
}

Trace::Trace(Trace&& other) noexcept
    : m_context(std::move(other.m_context)),
      m_name(std::move(other.m_name)),
      m_timed(other.m_timed),
      m_start(other.m_start),
      m_active(other.m_active) {
    other.m_active = false;
}

// noexcept: an exception from the exit write ends the process.
Trace::~Trace() {
    if (!m_active) {
        return;
    }
    if (m_timed) {
        m_context->write_exit(m_name, elapsed());
    } else {
        m_context->write_exit(m_name);
    }
}

void Trace::message(const std::string& text) {
    if (m_active) {
        m_context->write_message(m_name, text);
    }
}

void Trace::message(const char* text) {
    if (m_active) {
        m_context->write_message(m_name, std::string(text ? text : ""));
    }
}

void Trace::message(std::function<std::string()> text) {
    if (m_active) {
        m_context->write_message(m_name, std::move(text));
    }
}

void Trace::timed_message(const std::string& text) {
    if (!m_active) {
        return;
    }
    if (m_timed) {
        m_context->write_message(m_name, text, elapsed());
    } else {
        m_context->write_message(m_name, text);
    }
}

std::chrono::nanoseconds Trace::elapsed() const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - m_start);
}

}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
