#pragma once

#include "common/diagnostics/tracing/trace_mode.h"
#include "common/fork_safe_mutex.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

namespace common {
namespace diagnostics {
namespace tracing {

// The front end through which tracing is set up: chained setters collect the settings and the first
// initialise() of the process applies them; later calls do nothing.
class AbstractContextBuilder {
public:
    AbstractContextBuilder() = default;
    AbstractContextBuilder(const AbstractContextBuilder&) = delete;
    AbstractContextBuilder& operator=(const AbstractContextBuilder&) = delete;
    AbstractContextBuilder(AbstractContextBuilder&&) = delete;
    AbstractContextBuilder& operator=(AbstractContextBuilder&&) = delete;

    virtual AbstractContextBuilder& with_custom_trace_writer(std::function<void(const std::string&)> writer) = 0;
    virtual AbstractContextBuilder& with_trace_domains_file(std::string path) = 0;
    // ZEV_BASECALL_TRACE_FOLDER, when set, wins over this folder.
    virtual AbstractContextBuilder& using_trace_output_folder(std::string folder) = 0;
    // A negative id is ignored.
    virtual AbstractContextBuilder& with_trace_file_unique_id(int id) = 0;
    // Ignored unless it holds only ASCII letters, digits, ".", "_" and "-" (empty clears the id).
    virtual AbstractContextBuilder& with_trace_file_unique_id(std::string id) = 0;
    virtual void initialise() = 0;

protected:
    ~AbstractContextBuilder() = default;
};

class ContextBuilder final : public AbstractContextBuilder {
public:
    ContextBuilder();
    ~ContextBuilder() = default;

    AbstractContextBuilder& with_custom_trace_writer(std::function<void(const std::string&)> writer) override;
    AbstractContextBuilder& with_trace_domains_file(std::string path) override;
    AbstractContextBuilder& using_trace_output_folder(std::string folder) override;
    AbstractContextBuilder& with_trace_file_unique_id(int id) override;
    AbstractContextBuilder& with_trace_file_unique_id(std::string id) override;
    void initialise() override;

    std::string trace_file_unique_id() const;
    std::string trace_output_folder() const;
    bool is_initialised() const { return m_initialised.load(); }

private:
    // Several clients may be set up on several threads at once, each naming the trace files; a
    // forked child sets its own up.
    mutable ForkSafeMutex m_mutex;
    TraceMode m_default_trace_mode{TraceMode::verbose_log};
    std::function<void(const std::string&)> m_custom_trace_writer;
    std::string m_trace_domains_file;
    std::string m_trace_output_folder;
    std::string m_trace_file_unique_id;
    std::atomic<bool> m_initialised{false};
};

// Whether `id` can be part of a trace-file name: only ASCII letters, digits, ".", "_" and "-" (the
// empty id can).
bool is_portable_trace_file_id(const std::string& id);

// The process's one builder, created on first use.
AbstractContextBuilder& context();

}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
