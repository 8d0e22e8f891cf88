#pragma once

#include "common/diagnostics/state/state_record.h"
#include "common/diagnostics/tracing/trace_domain.h"

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <string>
#include <vector>

namespace common {
namespace diagnostics {
namespace state {

// Fills `object` with the members of the section that starts at `index` and returns the index of the
// record that ended it (the record count when it never ends). Members keep the place of their first
// insertion; a repeated name takes the later value.
std::size_t read_section_to_json(nlohmann::ordered_json& object, const std::vector<StateRecord>& records,
                                 std::size_t index);

// A line feed, then the report as a pretty-printed JSON object with one member per section, without
// a final line feed (layout, number and string forms: detail::to_pretty_json_text). Throws
// std::runtime_error "malformed state_table" for unbalanced sections.
class JsonFormatter : private tracing::TraceDomain<JsonFormatter> {
public:
    std::string operator()(const std::vector<StateRecord>& records) const;
};

// A line feed, then one line per section name and per value, four blanks of indentation per level.
class IndentationFormatter {
public:
    std::string operator()(const std::vector<StateRecord>& records) const;
};

}  // namespace state
}  // namespace diagnostics
}  // namespace common
