#pragma once

#include "common/diagnostics/state/state_provider.h"
#include "common/diagnostics/state/state_record.h"
#include "common/diagnostics/tracing/trace_domain.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace common {
namespace diagnostics {
namespace state {
namespace context {

// The process's registry of state providers, by name. It does not own the providers: a provider
// unregisters itself before it is destroyed.
class StateLogging : private tracing::TraceDomain<StateLogging> {
public:
    static StateLogging& context();

    StateLogging(const StateLogging&) = delete;
    StateLogging& operator=(const StateLogging&) = delete;

    // Inserts `provider` under `name`, replacing whatever was registered under it.
    void register_provider(StateProvider* provider, const std::string& name);
    // Removes `name` only while it still maps to `provider`, then waits until no report is using
    // `provider`. Must not be called from inside that provider's own report_state.
    void unregister_provider(const StateProvider* provider, const std::string& name);

    std::map<std::string, StateProvider*> copy_providers() const;

    // One report: every provider, in name order, inside a section of its name. The registry's lock
    // is not held while providers report.
    std::vector<StateRecord> get_state();

private:
    StateLogging();
    // Fork handlers: no thread may hold the registry's lock across a fork, and in the child the
    // reports in progress and the waits for them belonged to the parent's threads.
    void lock_for_fork();
    void unlock_in_parent();
    void reset_in_child();

    // Marks the provider registered under `name` as in use, if it is still `provider`.
    bool acquire(const std::string& name, const StateProvider* provider);
    void release(const StateProvider* provider);

    mutable std::mutex m_mutex;
    std::map<std::string, StateProvider*> m_providers;
    std::map<const StateProvider*, std::size_t> m_reports_in_progress;
    // Replaced, never destroyed, in a forked child: the parent's waiters on it do not exist there.
    std::unique_ptr<std::condition_variable> m_report_finished = std::make_unique<std::condition_variable>();
};

void register_provider(StateProvider* provider, const std::string& name);
void unregister_provider(const StateProvider* provider, const std::string& name);

// Gathers one report and returns `formatter` applied to it; an empty formatter throws
// std::bad_function_call.
std::string request_state(const std::function<std::string(const std::vector<StateRecord>&)>& formatter);

}  // namespace context
}  // namespace state
}  // namespace diagnostics
}  // namespace common
