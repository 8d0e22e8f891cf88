#include "interfaces/read_holder.h"

#include "common/value_formatter.h"

#include <boost/any.hpp>

#include <typeinfo>

namespace interfaces {

namespace {

const common::diagnostics::timings::ReadEventTimestamps& empty_timestamps() {
    static const common::diagnostics::timings::ReadEventTimestamps EMPTY_TIMESTAMPS;
    return EMPTY_TIMESTAMPS;
}

const common::ValueFormatter& by_name_formatter() {
    static const common::ValueFormatter formatter = [] {
        common::ValueFormatter f;
        f.m_nan_text = "0";
        f.m_pos_inf_text = "0";
        f.m_neg_inf_text = "0";
        f.m_true_text = "TRUE";
        f.m_false_text = "FALSE";
        return f;
    }();
    return formatter;
}

template <typename T>
bool format_integer(const bass::data_wrappers::Metadata& metadata, const std::string& name, std::string& text) {
    const T* value = nullptr;
    if (!metadata.extract<T>(name, value)) {
        return false;
    }
    // Widened so that an 8-bit value is written as a number, not as a character.
    using Wide = std::conditional_t<std::is_signed<T>::value, int64_t, uint64_t>;
    text = std::to_string(static_cast<Wide>(*value));
    return true;
}

}  // namespace

ReadHolder::ReadHolder() = default;

ReadHolder::ReadHolder(ReadHolder&& other) noexcept : ReadHolder() { *this = std::move(other); }

ReadHolder& ReadHolder::operator=(ReadHolder&& other) noexcept {
    if (this == &other) {
        return *this;
    }
    read_tag = other.read_tag;
    priority = other.priority;
    sub_tag = other.sub_tag;
    shared_data = std::move(other.shared_data);
    other.shared_data.reset();
    metadata.swap(other.metadata);
    datasets.swap(other.datasets);
    coordinator.swap(other.coordinator);
    event_recorder = std::move(other.event_recorder);
    // The source now holds this holder's previous contents; clearing it releases them.
    other.clear();
    return *this;
}

ReadHolder::~ReadHolder() {
    event_recorder.reset();
    shared_data.reset();
    coordinator.reset();
    datasets.clear();
    metadata.clear();
}

void ReadHolder::clear() {
    read_tag = 0;
    priority = medium_priority;
    sub_tag = 0;
    metadata.clear();
    datasets.clear();
    coordinator.reset();
}

std::string ReadHolder::get_by_name(const std::string& name) const {
    std::string text;
    if (!metadata.exists(name)) {
        return text;
    }
    const common::ValueFormatter& formatter = by_name_formatter();
    const std::string* string_value = nullptr;
    const bool* bool_value = nullptr;
    const float* float_value = nullptr;
    const double* double_value = nullptr;
    if (metadata.extract(name, string_value)) {
        text = string_value->empty() ? formatter.m_empty_text : *string_value;
    } else if (metadata.extract(name, bool_value)) {
        text = *bool_value ? formatter.m_true_text : formatter.m_false_text;
    } else if (metadata.extract(name, float_value)) {
        text = formatter.Format(*float_value);
    } else if (metadata.extract(name, double_value)) {
        text = formatter.Format(*double_value);
    } else if (format_integer<int8_t>(metadata, name, text) || format_integer<uint8_t>(metadata, name, text) ||
               format_integer<int16_t>(metadata, name, text) || format_integer<uint16_t>(metadata, name, text) ||
               format_integer<int32_t>(metadata, name, text) || format_integer<uint32_t>(metadata, name, text) ||
               format_integer<int64_t>(metadata, name, text) || format_integer<uint64_t>(metadata, name, text)) {
        // formatted above
    } else {
        text = "unsupported_type";
    }
    return text;
}

std::string ReadHolder::get_display_tag(const std::pair<uint64_t, uint64_t>& tags) {
    return "read " + std::to_string(tags.first) + " : " + std::to_string(tags.second);
}

void ReadHolder::set_event_recorder(std::unique_ptr<common::diagnostics::timings::ReadEventRecorder> recorder) {
    event_recorder = std::move(recorder);
}

void ReadHolder::create_read_event(common::diagnostics::timings::ReadEventId id,
                                   common::diagnostics::timings::EventMode mode) {
    if (event_recorder) {
        event_recorder->create_read_event(id, mode);
    }
}

const common::diagnostics::timings::ReadEventTimestamps& ReadHolder::get_timestamps() const {
    return event_recorder ? event_recorder->get_timestamps() : empty_timestamps();
}

}  // namespace interfaces
