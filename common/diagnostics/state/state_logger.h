#pragma once

#include <memory>
#include <string>

namespace common {
namespace diagnostics {
namespace state {

// Handle of an open section of a state report; destroying it closes the section.
class ChildSection {
public:
    virtual ~ChildSection() = default;
};

// The sink of one state report: named values and nested sections. Not to be deleted through this type.
class StateLogger {
public:
    virtual void log(std::string name, std::string value) = 0;
    virtual void log(std::string name, bool value) = 0;
    virtual void log(std::string name, long long value) = 0;
    virtual void log(std::string name, unsigned long long value) = 0;
    virtual void log(std::string name, double value) = 0;
    // Values logged while the handle lives belong to the section `name`.
    virtual std::unique_ptr<ChildSection> create_child_section(std::string name) = 0;

    // A character string is a text, not a bool.
    void log(std::string name, const char* value) { log(std::move(name), std::string(value ? value : "")); }

protected:
    ~StateLogger() = default;
};

}  // namespace state
}  // namespace diagnostics
}  // namespace common
