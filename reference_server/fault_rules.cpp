#include "reference_server/fault_rules.h"

#include <array>
#include <stdexcept>
#include <utility>

namespace reference_server {

namespace {

constexpr std::array<std::pair<FaultAction, const char*>, 16> action_names{{
        {FaultAction::loading, "loading"},
        {FaultAction::not_ready, "not_ready"},
        {FaultAction::none_pending, "none_pending"},
        {FaultAction::reads_lost, "reads_lost"},
        {FaultAction::client_not_recognised, "client_not_recognised"},
        {FaultAction::restart, "restart"},
        {FaultAction::bad_request, "bad_request"},
        {FaultAction::silence, "silence"},
        {FaultAction::delay, "delay"},
        {FaultAction::malformed_short, "malformed_short"},
        {FaultAction::malformed_identifier, "malformed_identifier"},
        {FaultAction::malformed_content, "malformed_content"},
        {FaultAction::unknown_read_tag, "unknown_read_tag"},
        {FaultAction::zero_duration, "zero_duration"},
        {FaultAction::oversized_genome_name, "oversized_genome_name"},
        {FaultAction::repeated_block, "repeated_block"},
}};

std::uint64_t parse_number(const std::string& key, const std::string& value) {
    std::size_t used = 0;
    unsigned long long number = 0;
    try {
        number = std::stoull(value, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != value.size() || value[0] == '-') {
        throw std::invalid_argument("Fault rule: '" + key + "' needs a non-negative number, got '" + value + "'");
    }
    return number;
}

}  // namespace

std::string to_string(FaultAction action) {
    for (const auto& [known, name] : action_names) {
        if (known == action) {
            return name;
        }
    }
    return "unknown";
}

FaultAction fault_action_from_string(const std::string& name) {
    for (const auto& [action, known] : action_names) {
        if (name == known) {
            return action;
        }
    }
    std::string all;
    for (const auto& entry : action_names) {
        all += all.empty() ? "" : ", ";
        all += entry.second;
    }
    throw std::invalid_argument("Unknown fault action '" + name + "'; expected one of: " + all);
}

bool corrupts_called_read(FaultAction action) {
    return action == FaultAction::unknown_read_tag || action == FaultAction::zero_duration ||
           action == FaultAction::oversized_genome_name;
}

FaultRule parse_fault_rule(const std::string& text) {
    FaultRule rule;
    std::size_t position = text.find(',');
    rule.action = fault_action_from_string(text.substr(0, position));
    while (position != std::string::npos) {
        const std::size_t start = position + 1;
        const std::size_t equals = text.find('=', start);
        if (equals == std::string::npos) {
            throw std::invalid_argument("Fault rule: expected key=value after ',' in '" + text + "'");
        }
        const std::string key = text.substr(start, equals - start);
        if (key == "text") {
            rule.text = text.substr(equals + 1);
            break;
        }
        position = text.find(',', equals);
        const std::string value =
                text.substr(equals + 1, position == std::string::npos ? std::string::npos : position - equals - 1);
        if (key == "request") {
            bool found = false;
            for (std::uint32_t code = 0; code < ipc_tools::NUM_MESSAGE_TYPES; ++code) {
                if (ipc_tools::message_type_as_string(static_cast<ipc_tools::MessageType>(code)) == value) {
                    rule.request = static_cast<ipc_tools::MessageType>(code);
                    found = true;
                }
            }
            if (!found) {
                throw std::invalid_argument("Fault rule: unknown request type '" + value + "'");
            }
        } else if (key == "client") {
            rule.client = value;
        } else if (key == "from") {
            rule.from = parse_number(key, value);
            if (rule.from == 0) {
                throw std::invalid_argument("Fault rule: 'from' counts from 1");
            }
        } else if (key == "count") {
            rule.count = value == "forever" ? std::nullopt : std::optional<std::uint64_t>(parse_number(key, value));
        } else if (key == "delay") {
            rule.delay = std::chrono::milliseconds(parse_number(key, value));
        } else {
            throw std::invalid_argument("Fault rule: unknown key '" + key + "'");
        }
    }
    return rule;
}

std::size_t FaultInjector::add(FaultRule rule) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.push_back(Entry{std::move(rule)});
    return m_rules.size() - 1;
}

void FaultInjector::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.clear();
}

std::optional<FaultInjector::Fired> FaultInjector::check(ipc_tools::MessageType type, const std::string& client_id,
                                                         const std::string& client_name, bool has_called_read) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::optional<Fired> result;
    for (std::size_t i = 0; i < m_rules.size(); ++i) {
        auto& entry = m_rules[i];
        const auto& rule = entry.rule;
        if (rule.request && *rule.request != type) {
            continue;
        }
        if (rule.client && *rule.client != client_id && (client_name.empty() || *rule.client != client_name)) {
            continue;
        }
        if (corrupts_called_read(rule.action) && !has_called_read) {
            continue;
        }
        ++entry.seen;
        const bool in_window = entry.seen >= rule.from && (!rule.count || entry.seen - rule.from < *rule.count);
        if (in_window && !result) {
            ++entry.fired;
            result = Fired{i, rule};
        }
    }
    return result;
}

std::uint64_t FaultInjector::times_fired(std::size_t rule_index) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return rule_index < m_rules.size() ? m_rules[rule_index].fired : 0;
}

std::size_t FaultInjector::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rules.size();
}

}  // namespace reference_server
