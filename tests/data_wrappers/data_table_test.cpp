#include "data_wrappers/data_table.h"

#include <gtest/gtest.h>

#include "test_support/error_text.h"

#include <algorithm>
#include <cstring>
#include <limits>

using bass::data_wrappers::DataSetType;
using bass::data_wrappers::DataTable;

namespace {

using test_support::message_of;

}  // namespace

TEST(DataTable, OffsetsAndRowSizes) {
    DataTable table;
    table.add_field("a", DataSetType::int8, 0);
    EXPECT_EQ(table.m_row_size, 1u);
    table.add_field("b", DataSetType::int32, 0);
    EXPECT_EQ(table.m_row_size, 8u);
    table.add_field("c", DataSetType::fixed_string, 3);
    EXPECT_EQ(table.m_row_size, 12u);
    table.add_field("d", DataSetType::float64, 0);
    EXPECT_EQ(table.m_row_size, 24u);
    ASSERT_EQ(table.m_fields.size(), 4u);
    EXPECT_EQ(table.m_fields[0].offset, 0u);
    EXPECT_EQ(table.m_fields[1].offset, 4u);
    EXPECT_EQ(table.m_fields[2].offset, 8u);
    EXPECT_EQ(table.m_fields[2].size, 3u);
    EXPECT_EQ(table.m_fields[3].offset, 16u);
    EXPECT_EQ(table.get_field_index("c"), 2u);

    table.allocate_rows(2);
    EXPECT_EQ(table.m_row_size, 24u);
    EXPECT_EQ(table.m_num_rows, 2u);
    ASSERT_EQ(table.m_data.size(), 48u);
    EXPECT_TRUE(std::all_of(table.m_data.begin(), table.m_data.end(), [](uint8_t b) { return b == 0; }));
}

TEST(DataTable, AllocateRowsRoundsRowSizeToEight) {
    DataTable table;
    table.add_field("a", DataSetType::int8, 0);
    table.add_field("s", DataSetType::fixed_string, 5);
    EXPECT_EQ(table.m_fields[1].offset, 4u);
    EXPECT_EQ(table.m_row_size, 10u);
    table.allocate_rows(3);
    EXPECT_EQ(table.m_row_size, 16u);
    EXPECT_EQ(table.m_data.size(), 48u);
}

TEST(DataTable, AddFieldRefusesBadTypesAndSizesWithoutChange) {
    DataTable table;
    EXPECT_EQ(message_of<std::runtime_error>([&] { table.add_field("x", DataSetType::string, 0); }),
              "Invalid data type for data table field.");
    EXPECT_EQ(message_of<std::runtime_error>([&] { table.add_field("x", DataSetType::table, 0); }),
              "Invalid data type for data table field.");
    EXPECT_EQ(message_of<std::runtime_error>([&] { table.add_field("x", DataSetType::empty, 0); }),
              "Invalid data type for data table field.");
    EXPECT_EQ(message_of<std::runtime_error>([&] { table.add_field("x", DataSetType::fixed_string, 0); }),
              "Must specify a size for string fields.");
    EXPECT_EQ(message_of<std::runtime_error>([&] { table.add_field("x", DataSetType::int32, 8); }),
              "Specified type size does not match actual type size.");
    EXPECT_TRUE(table.m_fields.empty());
    EXPECT_TRUE(table.m_field_index.empty());
    EXPECT_EQ(table.m_row_size, 0u);

    table.add_field("x", DataSetType::int32, 4);
    EXPECT_EQ(table.m_fields[0].size, 4u);
}

TEST(DataTable, RepeatedNameIndexesNewestColumn) {
    DataTable table;
    table.add_field("x", DataSetType::int8, 0);
    table.add_field("x", DataSetType::int32, 0);
    EXPECT_EQ(table.m_fields.size(), 2u);
    EXPECT_EQ(table.get_field_index("x"), 1u);
    EXPECT_THROW(table.get_field_index("absent"), std::out_of_range);
}

TEST(DataTable, ViewFieldReadsColumnAcrossRows) {
    DataTable table;
    table.add_field("a", DataSetType::int8, 0);
    table.add_field("b", DataSetType::int32, 0);
    table.add_field("c", DataSetType::fixed_string, 3);
    table.add_field("f", DataSetType::float32, 0);
    table.add_field("d", DataSetType::float64, 0);
    table.allocate_rows(3);
    ASSERT_EQ(table.m_row_size, 24u);
    for (uint64_t row = 0; row < 3; ++row) {
        const float value = 1.5f * static_cast<float>(row + 1);
        std::memcpy(table.m_data.data() + row * table.m_row_size + table.m_fields[3].offset, &value, sizeof(value));
    }
    const auto column = table.view_field<float>(3);
    EXPECT_EQ(column.size(), 3u);
    EXPECT_EQ(column.stride(), 6);
    EXPECT_EQ(column[0], 1.5f);
    EXPECT_EQ(column[2], 4.5f);

    const auto by_name = table.view_field<float>("f");
    EXPECT_EQ(by_name.data(), column.data());

    // Only the size is compared, not the type code.
    EXPECT_NO_THROW(table.view_field<int32_t>(3));
    EXPECT_EQ(message_of<std::runtime_error>([&] { table.view_field<int8_t>(1); }),
              "VecView type not compatible with field type.");
    EXPECT_THROW(table.view_field<int32_t>(5), std::out_of_range);
}

TEST(DataTable, ViewFieldRefusesColumnOutsideAllocatedRows) {
    DataTable table;
    table.add_field("a", DataSetType::int32, 0);
    table.allocate_rows(2);
    ASSERT_EQ(table.m_data.size(), 16u);
    // Added after allocation: the rows do not hold it, and reading it would leave the buffer.
    table.add_field("late", DataSetType::float64, 0);
    EXPECT_THROW(table.view_field<double>(1), std::out_of_range);
    EXPECT_THROW(table.view_field<int32_t>(0), std::out_of_range);
    table.allocate_rows(2);
    EXPECT_NO_THROW(table.view_field<double>(1));

    DataTable unallocated;
    unallocated.add_field("a", DataSetType::int32, 0);
    const auto empty_column = unallocated.view_field<int32_t>(0);
    EXPECT_EQ(empty_column.size(), 0u);
}

TEST(DataTable, FixedStringCells) {
    DataTable table;
    table.add_field("name", DataSetType::fixed_string, 4);
    table.add_field("n", DataSetType::int32, 0);
    table.allocate_rows(2);
    table.set_string(0, 1, "abcdef");
    EXPECT_EQ(table.get_string(0, 1), "abcd");
    EXPECT_EQ(table.get_string(0, 0), "");
    EXPECT_THROW(table.get_string(0, 2), std::out_of_range);
    EXPECT_THROW(table.get_string(1, 0), std::runtime_error);
}

TEST(DataTable, MoveLeavesSourceEmptyAndCopyIsDeep) {
    DataTable table;
    table.add_field("a", DataSetType::uint8, 0);
    table.allocate_rows(2);
    DataTable copy(table);
    copy.m_data[0] = 9;
    EXPECT_EQ(table.m_data[0], 0);

    DataTable moved(std::move(table));
    EXPECT_EQ(moved.m_num_rows, 2u);
    EXPECT_EQ(table.m_row_size, 0u);
    EXPECT_EQ(table.m_num_rows, 0u);
    EXPECT_TRUE(table.m_fields.empty());
    EXPECT_TRUE(table.m_data.empty());
}

TEST(DataTable, AllocateRowsDiscardsEarlierRows) {
    DataTable table;
    table.add_field("n", DataSetType::int32, 0);
    EXPECT_EQ(table.m_fields[0].size, 4u);
    table.allocate_rows(2);
    table.m_data[0] = 5;
    table.allocate_rows(3);
    ASSERT_EQ(table.m_data.size(), 24u);
    EXPECT_TRUE(std::all_of(table.m_data.begin(), table.m_data.end(), [](uint8_t b) { return b == 0; }));
}

TEST(DataTable, SizesThatWouldWrapAreRefusedWithoutChange) {
    DataTable table;
    table.add_field("genome", DataSetType::fixed_string, 253);
    table.allocate_rows(1);
    // 2^58 rows of 256 bytes wrap to a zero-byte buffer.
    const uint64_t huge = uint64_t{1} << 58;
    EXPECT_THROW(table.allocate_rows(huge), std::runtime_error);
    EXPECT_EQ(table.m_num_rows, 1u);
    EXPECT_EQ(table.m_data.size(), 256u);

    EXPECT_THROW(table.add_field("text", DataSetType::fixed_string, std::numeric_limits<std::size_t>::max()),
                 std::runtime_error);
    EXPECT_EQ(table.m_fields.size(), 1u);
    EXPECT_EQ(table.m_row_size, 256u);

    // A row count set by hand past the buffer is refused by the readers too, however large.
    DataTable bytes;
    bytes.add_field("b", DataSetType::uint8, 0);
    bytes.allocate_rows(1);
    bytes.m_num_rows = uint64_t{1} << 61;  // 8-byte rows: the product wraps to 0
    EXPECT_THROW(bytes.view_field<uint8_t>(0), std::out_of_range);
}
