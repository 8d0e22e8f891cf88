#pragma once

#include "common/diagnostics/state/state_logger.h"
#include "common/diagnostics/state/state_record.h"
#include "common/diagnostics/tracing/trace_domain.h"

#include <vector>

namespace common {
namespace diagnostics {
namespace state {
namespace detail {

// Appends the values and sections of one report to a record list owned by the caller. Used by one
// thread.
class ConcreteStateLogger : public StateLogger, private tracing::TraceDomain<ConcreteStateLogger> {
public:
    explicit ConcreteStateLogger(std::vector<StateRecord>& records);
    virtual ~ConcreteStateLogger() = default;

    void log(std::string name, std::string value) override;
    void log(std::string name, bool value) override;
    void log(std::string name, long long value) override;
    void log(std::string name, unsigned long long value) override;
    void log(std::string name, double value) override;
    std::unique_ptr<ChildSection> create_child_section(std::string name) override;
    using StateLogger::log;

private:
    std::vector<StateRecord>& m_records;
};

}  // namespace detail
}  // namespace state
}  // namespace diagnostics
}  // namespace common
