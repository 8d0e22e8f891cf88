#pragma once

#include <boost/any.hpp>

#include <string>
#include <vector>

namespace common {
namespace diagnostics {
namespace state {

enum class StateRecordType { value = 0, section_start = 1, section_end = 2 };

// One row of a state report. A value record holds exactly one of std::string, bool, long long,
// unsigned long long or double; section records hold nothing.
struct StateRecord {
    StateRecordType type;
    std::string name;
    boost::any value;
};

using StateRecords = std::vector<StateRecord>;

}  // namespace state
}  // namespace diagnostics
}  // namespace common
