// Contract checks under the three policies. Its own executable: it sets the process-wide policy.
#include "common/contract.h"
#include "common/logger.h"

#include <gtest/gtest.h>

#include <sstream>

using common::contract::ContractViolationPolicy;
using common::contract::set_contract_violation_policy;

namespace {

class CapturedLog {
public:
    CapturedLog() {
        auto& group = common::Singleton<common::logging::LoggerGroup>::instance();
        group.SetStreams(&m_err, &m_out);
        group.SetLoggerOptions(common::logging::LoggerOptionsUtils::GetLibraryDefaultOptions());
    }
    ~CapturedLog() { common::Singleton<common::logging::LoggerGroup>::instance().RemoveSinks(); }
    std::string text() const { return m_err.str(); }

private:
    std::ostringstream m_err;
    std::ostringstream m_out;
};

bool threw_contract_violation(void (*check)()) {
    try {
        check();
    } catch (const std::exception&) {
        return false;  // the violation is not a standard exception
    } catch (...) {
        return true;
    }
    return false;
}

}  // namespace

TEST(ContractDeathTest, default_policy_logs_and_ends_the_process) {
    EXPECT_DEATH(
            {
                common::logging::LoggerOptionsUtils::SetDefaultLogOptions();
                COMMON_CONTRACT_CHECK_AT(1 + 1 == 3, "arithmetic is broken", "common/contract_test", 42);
            },
            "\\[zev/error\\] : \nContract violation\\. arithmetic is broken\ncommon/contract_test:42 \"1 \\+ 1 == 3\"");
}

TEST(ContractDeathTest, an_unknown_policy_value_also_ends_the_process) {
    EXPECT_DEATH(
            {
                common::logging::LoggerOptionsUtils::SetDefaultLogOptions();
                set_contract_violation_policy(static_cast<ContractViolationPolicy>(7));
                common::contract::detail::contract_failed("false", "no way back", "common/contract_test", 1);
            },
            "Contract violation\\. no way back");
}

TEST(Contract, policy_changes_return_the_previous_policy) {
    EXPECT_EQ(set_contract_violation_policy(ContractViolationPolicy::throw_exception),
              ContractViolationPolicy::terminate);
    EXPECT_EQ(set_contract_violation_policy(ContractViolationPolicy::report_and_throw),
              ContractViolationPolicy::throw_exception);
    EXPECT_EQ(set_contract_violation_policy(ContractViolationPolicy::throw_exception),
              ContractViolationPolicy::report_and_throw);
}

TEST(Contract, throw_policy_logs_one_record_and_throws_without_the_flag) {
    CapturedLog log;
    set_contract_violation_policy(ContractViolationPolicy::throw_exception);
    common::contract::testability::clear_violation_flag();
    EXPECT_TRUE(threw_contract_violation(
            [] { COMMON_CONTRACT_CHECK_AT(2 < 1, "two is not less than one", "common/sample", 17); }));
    EXPECT_FALSE(common::contract::testability::contract_violation_occured());
    EXPECT_EQ(log.text(), "[zev/error] : \nContract violation. two is not less than one\ncommon/sample:17 \"2 < 1\"\n");
}

TEST(Contract, report_and_throw_reports_on_standard_error_and_raises_the_flag) {
    CapturedLog log;
    set_contract_violation_policy(ContractViolationPolicy::report_and_throw);
    common::contract::testability::clear_violation_flag();
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(
            threw_contract_violation([] { common::contract::detail::contract_failed("x", "", "common/sample", -3); }));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\nContract violation. \ncommon/sample:-3 \"x\"\n");
    EXPECT_EQ(log.text(), "[zev/error] : \nContract violation. \ncommon/sample:-3 \"x\"\n");
    EXPECT_TRUE(common::contract::testability::contract_violation_occured());
    EXPECT_TRUE(common::contract::testability::contract_violation_occured());
    common::contract::testability::clear_violation_flag();
    EXPECT_FALSE(common::contract::testability::contract_violation_occured());
}

TEST(Contract, a_passing_check_evaluates_the_condition_once_and_not_the_message) {
    CapturedLog log;
    set_contract_violation_policy(ContractViolationPolicy::throw_exception);
    int conditions = 0;
    int messages = 0;
    auto message = [&messages] {
        ++messages;
        return std::string("unused");
    };
    COMMON_CONTRACT_CHECK(++conditions > 0, message(), "common/sample");
    EXPECT_EQ(conditions, 1);
    EXPECT_EQ(messages, 0);
    EXPECT_EQ(log.text(), "");
}

TEST(Contract, the_check_reports_its_own_line) {
    CapturedLog log;
    set_contract_violation_policy(ContractViolationPolicy::throw_exception);
    const int line = __LINE__ + 1;
    EXPECT_TRUE(threw_contract_violation([] { COMMON_CONTRACT_CHECK(false, "m", "common/sample"); }));
    EXPECT_NE(log.text().find("common/sample:" + std::to_string(line) + " \"false\""), std::string::npos) << log.text();
}
