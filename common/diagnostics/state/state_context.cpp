#include "common/diagnostics/state/state_context.h"

#include "common/diagnostics/state/concrete_state_logger.h"
#include "common/process_origin.h"

#include <pthread.h>

#include <exception>

namespace common {
namespace diagnostics {
namespace state {
namespace context {

StateLogging& StateLogging::context() {
    // Never destroyed: clients that end in static destruction still unregister, and a forked child's
    // exit must not destroy what the parent's threads were waiting on.
    static StateLogging* const s_registry = new StateLogging;
    return *s_registry;
}

StateLogging::StateLogging() {
    pthread_atfork([] { context().lock_for_fork(); }, [] { context().unlock_in_parent(); },
                   [] { context().reset_in_child(); });
}

void StateLogging::lock_for_fork() { m_mutex.lock(); }

void StateLogging::unlock_in_parent() { m_mutex.unlock(); }

void StateLogging::reset_in_child() {
    m_reports_in_progress.clear();
    common::let_go(std::move(m_report_finished));
    m_report_finished = std::make_unique<std::condition_variable>();
    m_mutex.unlock();
}

void StateLogging::register_provider(StateProvider* provider, const std::string& name) {
    auto trace = create_trace("register_provider");
    trace.message(name);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_providers[name] = provider;
}

void StateLogging::unregister_provider(const StateProvider* provider, const std::string& name) {
    auto trace = create_trace("unregister_provider");
    trace.message(name);
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto entry = m_providers.find(name);
    if (entry != m_providers.end() && entry->second == provider) {
        m_providers.erase(entry);
    }
    // Also covers a provider that was already replaced under its name while a report held it.
    m_report_finished->wait(lock, [&] { return m_reports_in_progress.count(provider) == 0; });
}

std::map<std::string, StateProvider*> StateLogging::copy_providers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_providers;
}

bool StateLogging::acquire(const std::string& name, const StateProvider* provider) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto entry = m_providers.find(name);
    if (entry == m_providers.end() || entry->second != provider) {
        return false;  // unregistered or replaced since the copy was taken
    }
    ++m_reports_in_progress[provider];
    return true;
}

void StateLogging::release(const StateProvider* provider) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto entry = m_reports_in_progress.find(provider);
        if (entry != m_reports_in_progress.end() && --entry->second == 0) {
            m_reports_in_progress.erase(entry);
        }
    }
    m_report_finished->notify_all();
}

std::vector<StateRecord> StateLogging::get_state() {
    auto trace = create_trace("get_state");
    std::vector<StateRecord> records;
    detail::ConcreteStateLogger logger(records);
    for (const auto& [name, provider] : copy_providers()) {
        if (provider == nullptr || !acquire(name, provider)) {
            continue;
        }
        struct Release {
            StateLogging& registry;
            const StateProvider* provider;
            ~Release() { registry.release(provider); }
        } release_on_exit{*this, provider};

        auto section = logger.create_child_section(name);
        try {
            provider->report_state(logger);
        } catch (const std::exception& e) {
            logger.log("exception reporting state", std::string(e.what()));
        } catch (...) {
            logger.log("error reporting state", std::string("unknown"));
        }
    }
    return records;
}

void register_provider(StateProvider* provider, const std::string& name) {
    StateLogging::context().register_provider(provider, name);
}

void unregister_provider(const StateProvider* provider, const std::string& name) {
    StateLogging::context().unregister_provider(provider, name);
}

std::string request_state(const std::function<std::string(const std::vector<StateRecord>&)>& formatter) {
    const auto records = StateLogging::context().get_state();
    return formatter(records);
}

}  // namespace context
}  // namespace state
}  // namespace diagnostics
}  // namespace common
