#include "common/diagnostics/state/formatters.h"

#include "common/diagnostics/state/json_text.h"

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <typeinfo>

namespace common {
namespace diagnostics {
namespace state {

namespace {

[[noreturn]] void throw_invalid_type(const boost::any& value) {
    throw std::runtime_error(std::string("invalid type held as state record value: ") + value.type().name());
}

nlohmann::ordered_json to_json(const boost::any& value) {
    if (value.empty()) {
        return nullptr;
    }
    const auto& type = value.type();
    if (type == typeid(long long)) {
        return static_cast<std::int64_t>(boost::any_cast<long long>(value));
    }
    if (type == typeid(unsigned long long)) {
        return static_cast<std::uint64_t>(boost::any_cast<unsigned long long>(value));
    }
    if (type == typeid(double)) {
        return boost::any_cast<double>(value);
    }
    if (type == typeid(std::string)) {
        return boost::any_cast<const std::string&>(value);
    }
    if (type == typeid(bool)) {
        return boost::any_cast<bool>(value);
    }
    throw_invalid_type(value);
}

std::string to_text(const boost::any& value) {
    if (value.empty()) {
        return std::string();
    }
    const auto& type = value.type();
    if (type == typeid(long long)) {
        return std::to_string(boost::any_cast<long long>(value));
    }
    if (type == typeid(unsigned long long)) {
        return std::to_string(boost::any_cast<unsigned long long>(value));
    }
    if (type == typeid(double)) {
        return std::to_string(boost::any_cast<double>(value));
    }
    if (type == typeid(std::string)) {
        return boost::any_cast<const std::string&>(value);
    }
    if (type == typeid(bool)) {
        return boost::any_cast<bool>(value) ? "true" : "false";
    }
    throw_invalid_type(value);
}

}  // namespace

std::size_t read_section_to_json(nlohmann::ordered_json& object, const std::vector<StateRecord>& records,
                                 std::size_t index) {
    for (; index < records.size(); ++index) {
        const auto& record = records[index];
        switch (record.type) {
            case StateRecordType::value:
                object[record.name] = to_json(record.value);
                break;
            case StateRecordType::section_start: {
                auto child = nlohmann::ordered_json::object();
                index = read_section_to_json(child, records, index + 1);
                object[record.name] = std::move(child);
                break;
            }
            case StateRecordType::section_end:
                return index;
            default:
                break;
        }
    }
    return index;
}

std::string JsonFormatter::operator()(const std::vector<StateRecord>& records) const {
    auto trace = create_trace("operator()");
    auto root = nlohmann::ordered_json::object();
    if (read_section_to_json(root, records, 0) != records.size()) {
        throw std::runtime_error("malformed state_table");
    }
    return "\n" + detail::to_pretty_json_text(root);
}

std::string IndentationFormatter::operator()(const std::vector<StateRecord>& records) const {
    auto trace = tracing::TraceDomain<IndentationFormatter>::create_trace("operator()");
    std::string text = "\n";
    long depth = 0;
    std::string indentation;
    for (const auto& record : records) {
        switch (record.type) {
            case StateRecordType::section_start:
                text += indentation + record.name + "\n";
                ++depth;
                indentation.assign(static_cast<std::size_t>(depth) * 4, ' ');
                break;
            case StateRecordType::section_end:
                if (depth < 1) {
                    throw std::runtime_error("Malformed StateTable detected while formatting.");
                }
                --depth;
                indentation.assign(static_cast<std::size_t>(depth) * 4, ' ');
                break;
            case StateRecordType::value:
                text += indentation + record.name + ": " + to_text(record.value) + "\n";
                break;
            default:
                break;
        }
    }
    return text;
}

}  // namespace state
}  // namespace diagnostics
}  // namespace common
