#include "common/logging/filters.h"

#include <boost/log/attributes/value_extraction.hpp>

#include <algorithm>

namespace common {
namespace logging {

namespace {

bool HasSeverity(const std::vector<SeverityLevel>& severities, const boost::log::value_ref<SeverityLevel>& severity) {
    if (!severity) {
        return false;
    }
    return std::find(severities.begin(), severities.end(), *severity) != severities.end();
}

bool Contains(const std::unordered_set<std::string>& custom_traces, const boost::log::value_ref<std::string>& channel) {
    if (!channel) {
        return true;
    }
    return custom_traces.count(*channel) != 0;
}

bool RejectAllRecords() { return false; }

}  // namespace

boost::log::filter DefineSeverityFilter(std::vector<SeverityLevel>&& severities) {
    return [severities = std::move(severities)](const boost::log::attribute_value_set& values) {
        return HasSeverity(severities, boost::log::extract<SeverityLevel>(attributes::severity.get_name(), values));
    };
}

boost::log::filter DefineSeverityFilter(std::vector<SeverityLevel>&& severities,
                                        std::unordered_set<std::string>&& custom_traces) {
    return [severities = std::move(severities),
            custom_traces = std::move(custom_traces)](const boost::log::attribute_value_set& values) {
        const auto severity = boost::log::extract<SeverityLevel>(attributes::severity.get_name(), values);
        if (!severity) {
            return false;
        }
        if (*severity != SeverityLevel::trace) {
            return HasSeverity(severities, severity);
        }
        return Contains(custom_traces, boost::log::extract<std::string>(attributes::log_channel.get_name(), values));
    };
}

boost::log::filter DefineGlobalFilter(const LoggerOptions& options) {
    std::vector<SeverityLevel> severities;
    std::unordered_set<std::string> custom_traces;
    for (const auto& sink : options.sinks) {
        for (const auto level : sink.severities) {
            if (std::find(severities.begin(), severities.end(), level) == severities.end()) {
                severities.push_back(level);
            }
        }
        custom_traces.insert(sink.custom_traces.begin(), sink.custom_traces.end());
    }
    return DefineSeverityFilter(std::move(severities), std::move(custom_traces));
}

boost::log::filter DefineRejectFilter() {
    return [](const boost::log::attribute_value_set&) { return RejectAllRecords(); };
}

}  // namespace logging
}  // namespace common
