#include "common/contract.h"

#include "common/logger.h"

#include <exception>
#include <iostream>
#include <mutex>
#include <string>

// The handler lives in a top-level unnamed namespace: its log records then carry an empty
// function name, as every record from inside an unnamed namespace does.
namespace {

using common::contract::ContractViolationPolicy;

// Thrown by value; it carries nothing, so callers can only let it pass or catch it with "...".
struct ContractViolation {};

class ContractViolationHandler {
public:
    static ContractViolationHandler& instance() {
        static ContractViolationHandler handler;
        return handler;
    }

    ContractViolationPolicy set_policy(ContractViolationPolicy policy) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto previous = m_policy;
        m_policy = policy;
        return previous;
    }

    bool violation_occurred() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_violation_flag;
    }

    void clear_violation_flag() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_violation_flag = false;
    }

    [[noreturn]] void handle_violation(const std::string& report, bool) {
        ZEV_LOG(common::logging::error) << "\nContract violation. " << report << std::endl;

        const auto policy = current_policy();
        switch (policy) {
            case ContractViolationPolicy::throw_exception:
                throw ContractViolation{};
            case ContractViolationPolicy::report_and_throw:
                std::cerr << "\nContract violation. " << report << "\n" << std::flush;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_violation_flag = true;
                }
                throw ContractViolation{};
            case ContractViolationPolicy::terminate:
                break;
        }
        // The default, and any policy value outside the enumeration: a failed contract is a
        // programming error, and the caller must never carry on past it.
        std::terminate();
    }

private:
    ContractViolationPolicy current_policy() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_policy;
    }

    std::mutex m_mutex;
    ContractViolationPolicy m_policy = ContractViolationPolicy::terminate;
    bool m_violation_flag = false;
};

}  // namespace

namespace common {
namespace contract {

ContractViolationPolicy set_contract_violation_policy(ContractViolationPolicy policy) {
    return ContractViolationHandler::instance().set_policy(policy);
}

namespace detail {
void contract_failed(std::string_view condition, std::string_view message, std::string_view file, int line) {
    std::string report;
    report.reserve(message.size() + file.size() + condition.size() + 24);
    report.append(message).append("\n").append(file).append(":").append(std::to_string(line));
    report.append(" \"").append(condition).append("\"");
    ContractViolationHandler::instance().handle_violation(report, true);
}
}  // namespace detail

namespace testability {
bool contract_violation_occured() { return ContractViolationHandler::instance().violation_occurred(); }

void clear_violation_flag() { ContractViolationHandler::instance().clear_violation_flag(); }
}  // namespace testability

}  // namespace contract
}  // namespace common
