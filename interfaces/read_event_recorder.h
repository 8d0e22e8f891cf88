#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace common {
namespace diagnostics {
namespace timings {

/// Which read event is recorded; the values belong to the recorder's implementation.
enum class ReadEventId : uint16_t {};
/// How an event is recorded; the values belong to the recorder's implementation.
enum class EventMode : uint8_t {};

/// One recorded time point: the steady clock at nanosecond resolution.
using ReadEventTimePoint = std::chrono::time_point<std::chrono::steady_clock, std::chrono::nanoseconds>;
using ReadEventTimestamps = std::vector<ReadEventTimePoint>;

/// Optional recorder of timed events of one read. No implementation is part of the library.
class ReadEventRecorder {
public:
    virtual ~ReadEventRecorder() = default;
    virtual void create_read_event(ReadEventId id, EventMode mode) = 0;
    virtual const ReadEventTimestamps& get_timestamps() const = 0;
    /// An independent copy, for reads derived from this one.
    virtual std::unique_ptr<ReadEventRecorder> clone() const = 0;
};

}  // namespace timings
}  // namespace diagnostics
}  // namespace common
