#pragma once

#include "common/logging/logger_options.h"

#include <boost/log/expressions/filter.hpp>

#include <string>
#include <unordered_set>
#include <vector>

namespace common {
namespace logging {

// Passes records whose severity is in the list.
boost::log::filter DefineSeverityFilter(std::vector<SeverityLevel>&& severities);
// Non-trace records by the list; trace records by their channel (a record without a channel passes).
boost::log::filter DefineSeverityFilter(std::vector<SeverityLevel>&& severities,
                                        std::unordered_set<std::string>&& custom_traces);
// The core filter: what at least one sink's lists would accept.
boost::log::filter DefineGlobalFilter(const LoggerOptions& options);
boost::log::filter DefineRejectFilter();

template <typename SinkT>
class SinkFiltersUtils {
public:
    static void SetFiltersForSink(const boost::shared_ptr<SinkT>& sink, std::vector<SeverityLevel>&& severities,
                                  std::unordered_set<std::string>&& custom_traces) {
        if (!sink) {
            return;
        }
        if (custom_traces.empty()) {
            sink->set_filter(DefineSeverityFilter(std::move(severities)));
        } else {
            sink->set_filter(DefineSeverityFilter(std::move(severities), std::move(custom_traces)));
        }
    }
};

}  // namespace logging
}  // namespace common
