#include "common/value_formatter.h"

#include <cmath>
#include <sstream>

namespace common {

namespace {

template <typename T>
std::string format_value(const ValueFormatter& formatter, T value, int32_t precision) {
    if (!formatter.m_nan_text.empty() && std::isnan(value)) {
        return formatter.m_nan_text;
    }
    if (value > 0 && std::isinf(value) && !formatter.m_pos_inf_text.empty()) {
        return formatter.m_pos_inf_text;
    }
    if (value < 0 && std::isinf(value) && !formatter.m_neg_inf_text.empty()) {
        return formatter.m_neg_inf_text;
    }
    if (precision < 0) {
        return std::to_string(value);
    }
    std::ostringstream text;
    text.precision(precision);
    if (formatter.m_fixed) {
        text << std::fixed;
    }
    text << value;
    return text.str();
}

}  // namespace

std::string ValueFormatter::Format(float value) const { return format_value(*this, value, m_float_precision); }

std::string ValueFormatter::Format(double value) const { return format_value(*this, value, m_double_precision); }

}  // namespace common
