#pragma once

#include <cstdint>
#include <string>

namespace common {

/// Turns floating-point values into text, with an optional precision, fixed notation and texts
/// that replace NaN and the infinities. The empty, true and false texts are for the caller's use.
class ValueFormatter {
public:
    ValueFormatter() = default;
    ValueFormatter(const ValueFormatter&) = default;
    ValueFormatter& operator=(const ValueFormatter&) = default;
    virtual ~ValueFormatter() = default;

    std::string Format(float value) const;
    std::string Format(double value) const;

    /// Negative: std::to_string form.
    int32_t m_float_precision = -1;
    int32_t m_double_precision = -1;
    /// Empty: no replacement.
    std::string m_nan_text;
    std::string m_pos_inf_text;
    std::string m_neg_inf_text;
    std::string m_empty_text;
    std::string m_true_text;
    std::string m_false_text;
    /// Fixed-point notation when a precision is set.
    bool m_fixed = false;
};

}  // namespace common
