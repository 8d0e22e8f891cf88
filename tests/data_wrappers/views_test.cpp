#include "data_wrappers/views.h"

#include <gtest/gtest.h>

#include <numeric>
#include <sstream>
#include <string>
#include <vector>

using bass::data_wrappers::MatView;
using bass::data_wrappers::VecView;

TEST(VecView, ViewChecks) {
    EXPECT_NO_THROW((void)VecView<float>::view(nullptr, 0, 1));
    const float value = 1.0f;
    try {
        (void)VecView<float>::view(&value, 1, 0);
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Stride cannot be zero.");
    }
    try {
        (void)VecView<float>::view(nullptr, 2, 1);
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Cannot view nullptr with size > 0");
    }
}

TEST(VecView, NegativeStrideWalksBackwards) {
    std::vector<int32_t> values{1, 2, 3, 4};
    const auto reversed = VecView<int32_t>::view(values.data() + 3, 4, -1);
    EXPECT_EQ(reversed[0], 4);
    EXPECT_EQ(reversed[3], 1);
    EXPECT_THROW(reversed.at(4), std::out_of_range);
}

TEST(MatView, ZeroStrideNamesBothStrides) {
    try {
        (void)MatView<float>::view(nullptr, 2, 2, 8, 0);
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Strides (8,0) cannot be zero.");
    }
}

TEST(MatView, SubmatrixInsideAndOutsideParent) {
    std::vector<uint8_t> data(64);
    std::iota(data.begin(), data.end(), 0);
    const auto matrix = MatView<uint8_t>::view(data.data(), 8, 8, 8, 1);
    const auto inner = matrix.submatrix(2, 2, 3, 3, 1, 1);
    EXPECT_EQ(inner.rows(), 3u);
    EXPECT_EQ(inner(0, 0), 18);
    EXPECT_EQ(inner(2, 2), 36);

    try {
        (void)matrix.submatrix(6, 0, 3, 8, 1, 1);
        FAIL();
    } catch (const std::out_of_range& error) {
        EXPECT_EQ(std::string(error.what())
                          .rfind("MatView submatrix cannot access wider memory than parent matrix: "
                                 "full range is 0x",
                                 0),
                  0u)
                << error.what();
    }
    EXPECT_THROW((void)matrix.submatrix(0, 0, 2, 2, 0, 1), std::runtime_error);

    const auto stepped = matrix.submatrix(0, 0, 4, 4, 2, 2);
    EXPECT_EQ(stepped(1, 1), 18);
    EXPECT_EQ(stepped(3, 3), 54);
}

TEST(MatView, CopyToRequiresSameShapeAndCopiesAcrossStrides) {
    std::vector<float> source{1, 2, 3, 4, 5, 6};
    std::vector<float> target(6, 0.0f);
    const auto src = MatView<float>::view(source.data(), 2, 3, 3, 1);
    const auto wrong = MatView<float>::view(target.data(), 3, 2, 2, 1);
    try {
        src.copy_to(wrong);
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "MatView sizes don't match.");
    }
    EXPECT_EQ(target, std::vector<float>(6, 0.0f));

    // Column-major destination: row stride 1.
    const auto column_major = MatView<float>::view(target.data(), 2, 3, 1, 2);
    src.copy_to(column_major);
    EXPECT_EQ(target, (std::vector<float>{1, 4, 2, 5, 3, 6}));
}

namespace {
std::string address(const void* pointer) {
    std::ostringstream text;
    text << pointer;
    return text.str();
}
}  // namespace

TEST(MatView, SubmatrixErrorNamesBothAddressRanges) {
    std::vector<uint8_t> data(64);
    const auto matrix = MatView<uint8_t>::view(data.data(), 8, 8, 8, 1);
    const std::string expected = "MatView submatrix cannot access wider memory than parent matrix: full range is " +
                                 address(data.data()) + ".." + address(data.data() + 63) + ", sub-range is " +
                                 address(data.data() + 48) + ".." + address(data.data() + 71) + ".";
    try {
        (void)matrix.submatrix(6, 0, 3, 8, 1, 1);
        FAIL();
    } catch (const std::out_of_range& error) {
        EXPECT_EQ(error.what(), expected);
    }
}

TEST(MatView, SubmatrixOfReversedRowsChecksTheRangeBelowItsPointer) {
    std::vector<float> data(16);
    std::iota(data.begin(), data.end(), 0.0f);
    // Rows in reverse order: row 0 is the last row in memory.
    const auto reversed = MatView<float>::view(data.data() + 12, 4, 4, static_cast<std::size_t>(-4), 1);
    EXPECT_EQ(reversed(3, 0), 0.0f);
    const auto inner = reversed.submatrix(1, 1, 3, 2, 1, 1);
    EXPECT_EQ(inner(0, 0), 9.0f);
    EXPECT_EQ(inner(2, 1), 2.0f);
    // Starting at row 2, four rows walk one row below the buffer.
    EXPECT_THROW((void)reversed.submatrix(2, 0, 3, 4, 1, 1), std::out_of_range);
}
