#include "common/value_formatter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(ValueFormatter, DefaultsUseToString) {
    const common::ValueFormatter formatter;
    EXPECT_EQ(formatter.Format(0.5f), "0.500000");
    EXPECT_EQ(formatter.Format(-3.0), "-3.000000");
    EXPECT_EQ(formatter.Format(std::numeric_limits<double>::quiet_NaN()), std::to_string(std::nan("")));
    EXPECT_EQ(formatter.Format(std::numeric_limits<float>::infinity()),
              std::to_string(std::numeric_limits<float>::infinity()));
}

TEST(ValueFormatter, ReplacementTexts) {
    common::ValueFormatter formatter;
    formatter.m_nan_text = "nan!";
    formatter.m_pos_inf_text = "+inf!";
    formatter.m_neg_inf_text = "-inf!";
    EXPECT_EQ(formatter.Format(std::numeric_limits<float>::quiet_NaN()), "nan!");
    EXPECT_EQ(formatter.Format(std::numeric_limits<double>::infinity()), "+inf!");
    EXPECT_EQ(formatter.Format(-std::numeric_limits<double>::infinity()), "-inf!");
    EXPECT_EQ(formatter.Format(1.0), "1.000000");
}

TEST(ValueFormatter, PrecisionPerTypeAndNotation) {
    common::ValueFormatter formatter;
    formatter.m_float_precision = 3;
    EXPECT_EQ(formatter.Format(1.23456f), "1.23");
    EXPECT_EQ(formatter.Format(1.23456), "1.234560");  // double precision still unset
    formatter.m_double_precision = 2;
    formatter.m_fixed = true;
    EXPECT_EQ(formatter.Format(1.005), "1.00");  // 1.005 is stored just below 1.005
    EXPECT_EQ(formatter.Format(2.5), "2.50");
}
