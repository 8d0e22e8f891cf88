#include "common/diagnostics/state/concrete_state_logger.h"

namespace common {
namespace diagnostics {
namespace state {

namespace {

// An open section: its start record is appended on creation, its end record on destruction.
class ScopedSection : public ChildSection, private tracing::TraceDomain<ScopedSection> {
public:
    ScopedSection(std::vector<StateRecord>& records, std::string name) : m_records(records), m_name(std::move(name)) {
        get_trace_context()->write_message("ScopedSection", std::string());
    }

    ~ScopedSection() override { m_records.push_back({StateRecordType::section_end, m_name, boost::any()}); }

private:
    std::vector<StateRecord>& m_records;
    std::string m_name;
};

}  // namespace

namespace detail {

ConcreteStateLogger::ConcreteStateLogger(std::vector<StateRecord>& records) : m_records(records) {
    get_trace_context()->write_message("ConcreteStateLogger", std::string());
}

void ConcreteStateLogger::log(std::string name, std::string value) {
    m_records.push_back({StateRecordType::value, std::move(name), std::move(value)});
}

void ConcreteStateLogger::log(std::string name, bool value) {
    m_records.push_back({StateRecordType::value, std::move(name), value});
}

void ConcreteStateLogger::log(std::string name, long long value) {
    m_records.push_back({StateRecordType::value, std::move(name), value});
}

void ConcreteStateLogger::log(std::string name, unsigned long long value) {
    m_records.push_back({StateRecordType::value, std::move(name), value});
}

void ConcreteStateLogger::log(std::string name, double value) {
    m_records.push_back({StateRecordType::value, std::move(name), value});
}

std::unique_ptr<ChildSection> ConcreteStateLogger::create_child_section(std::string name) {
    auto section = std::make_unique<ScopedSection>(m_records, name);
    m_records.push_back({StateRecordType::section_start, std::move(name), boost::any()});
    return section;
}

}  // namespace detail
}  // namespace state
}  // namespace diagnostics
}  // namespace common
