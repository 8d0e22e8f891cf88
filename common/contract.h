#pragma once

#include <cstdint>
#include <string_view>

namespace common {
namespace contract {

enum class ContractViolationPolicy : std::int32_t {
    terminate = 0,         // end the process (the default)
    throw_exception = 1,   // throw the module's ContractViolation
    report_and_throw = 2,  // also report on standard error and raise the violation flag, then throw
};

// Stores the policy for every later violation and returns the one that was in force.
ContractViolationPolicy set_contract_violation_policy(ContractViolationPolicy policy);

namespace detail {
// Logs the violation and acts on the policy. Never returns: it ends the process or throws.
[[noreturn]] void contract_failed(std::string_view condition, std::string_view message, std::string_view file,
                                  int line);
}  // namespace detail

namespace testability {
bool contract_violation_occured();
void clear_violation_flag();
}  // namespace testability

}  // namespace contract
}  // namespace common

// Checks a precondition. `file` is the source as the build names it ("common/active_object");
// the message is evaluated only when the condition fails.
#define COMMON_CONTRACT_CHECK_AT(condition, message, file, line)                                \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            ::common::contract::detail::contract_failed(#condition, (message), (file), (line)); \
        }                                                                                       \
    } while (false)

#define COMMON_CONTRACT_CHECK(condition, message, file) COMMON_CONTRACT_CHECK_AT(condition, message, file, __LINE__)
