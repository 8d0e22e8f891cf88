#pragma once

#include "common/diagnostics/tracing/trace_context.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace common {
namespace diagnostics {
namespace tracing {

namespace details {
// True for callables that produce a message text lazily (and are not texts themselves).
template <typename F>
constexpr bool is_text_callback_v = std::is_invocable_r_v<std::string, F&> && !std::is_convertible_v<F, std::string>;
}  // namespace details

// The scope of one traced call: an entry line at construction, an exit line at destruction (with the
// elapsed time when timed), message lines in between. In a domain that is off nothing is formatted,
// copied or allocated: the name is kept only while the domain is active.
class Trace {
public:
    Trace(std::shared_ptr<details::TraceContext> context, std::string function_name, bool timed);
    Trace(std::shared_ptr<details::TraceContext> context, const char* function_name, bool timed);
    ~Trace();

    // A moved-from scope writes nothing more; copies would write a second exit line.
    Trace(Trace&& other) noexcept;
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;
    Trace& operator=(Trace&&) = delete;

    void message(const std::string& text);
    void message(const char* text);
    // The callback runs only while the domain is active.
    void message(std::function<std::string()> text);
    template <typename F, typename = std::enable_if_t<details::is_text_callback_v<F>>>
    void message(F&& text) {
        if (m_active) {
            m_context->write_message(m_name, std::function<std::string()>(std::forward<F>(text)));
        }
    }

    // With the elapsed time since the scope opened when timed; a plain message otherwise.
    void timed_message(const std::string& text);

    bool is_active() const { return m_active; }

private:
    std::chrono::nanoseconds elapsed() const;

    std::shared_ptr<details::TraceContext> m_context;
    std::string m_name;
    bool m_timed;
    std::chrono::steady_clock::time_point m_start;
    bool m_active;
};

}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
