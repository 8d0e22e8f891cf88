#include "data_wrappers/data_view.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

using bass::data_wrappers::DataSetType;
using bass::data_wrappers::DataTable;
using bass::data_wrappers::DataView;
using bass::data_wrappers::MatView;

TEST(DataView, DefaultIsEmpty) {
    const DataView view;
    EXPECT_EQ(view.m_info.type, DataSetType::empty);
    EXPECT_EQ(view.m_data, nullptr);
    EXPECT_EQ(view.m_source, nullptr);
    EXPECT_FALSE(view.owns_data());
}

TEST(DataView, VectorTypeCodes) {
    std::vector<char> chars{'a', 'b'};
    std::vector<uint8_t> bytes{1, 2, 3};
    std::vector<int16_t> samples{1, -2};
    std::vector<uint32_t> words{1};
    std::vector<float> floats{1.0f};
    const DataView char_view(chars, false);
    const DataView byte_view(bytes, false);
    const DataView sample_view(samples, false);
    const DataView word_view(words, false);
    const DataView float_view(floats, false);
    EXPECT_EQ(char_view.m_info.type, DataSetType::int8);
    EXPECT_EQ(char_view.m_info.type_size, 1u);
    EXPECT_EQ(byte_view.m_info.type, DataSetType::uint8);
    EXPECT_EQ(byte_view.m_info.type_size, 1u);
    EXPECT_EQ(byte_view.m_info.size, 3u);
    EXPECT_EQ(sample_view.m_info.type, DataSetType::int16);
    EXPECT_EQ(word_view.m_info.type, DataSetType::uint32);
    EXPECT_EQ(float_view.m_info.type, DataSetType::float32);
    EXPECT_EQ(float_view.m_info.rows, 0u);
    EXPECT_EQ(float_view.m_info.cols, 0u);
}

TEST(DataView, BorrowedVectorSharesCallersBuffer) {
    std::vector<int16_t> samples{10, 20, 30};
    const DataView view(samples, false);
    EXPECT_FALSE(view.owns_data());
    EXPECT_EQ(view.m_data, samples.data());
    EXPECT_EQ(samples.size(), 3u);
    samples[1] = 21;
    EXPECT_EQ(view.get_data<int16_t>()[1], 21);
}

TEST(DataView, OwnedVectorTakesBufferAndEmptiesCaller) {
    std::vector<float> values{1.0f, 2.0f};
    const float* buffer = values.data();
    const DataView view(values, true);
    EXPECT_TRUE(view.owns_data());
    EXPECT_TRUE(values.empty());
    EXPECT_EQ(view.m_data, buffer);
    EXPECT_EQ(view.get_data<float>()[1], 2.0f);
    const DataView from_temporary(std::vector<uint8_t>{4, 5});
    EXPECT_TRUE(from_temporary.owns_data());
    EXPECT_EQ(from_temporary.get_vec_view<uint8_t>()[1], 5);
}

TEST(DataView, TypedAccessIsChecked) {
    std::vector<float> values{1.0f};
    const DataView view(values, false);
    try {
        view.get_data<int16_t>();
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Invalid array type requested.");
    }
    EXPECT_THROW(view.get_data<int32_t>(), std::runtime_error);  // same size, other type
    EXPECT_THROW(DataView().get_data<int16_t>(), std::runtime_error);
}

TEST(DataView, OwnedShortStringPointsIntoTheOwnedCopy) {
    std::string text = "ACGT";  // short enough to live inside the string object
    const char* callers_buffer = text.data();
    DataView view(text, true);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(view.m_info.type, DataSetType::string);
    EXPECT_EQ(view.m_info.type_size, 5u);
    EXPECT_EQ(view.m_info.size, 1u);
    EXPECT_NE(view.m_source, &text);
    EXPECT_EQ(view.m_data, view.m_source->data());
    EXPECT_NE(view.m_data, static_cast<const void*>(callers_buffer));
    text = "XXXX";  // reuse of the caller's string must not reach the view
    EXPECT_STREQ(static_cast<const char*>(view.m_data), "ACGT");
    EXPECT_EQ(view.get_string(), "ACGT");

    DataView moved(std::move(view));
    EXPECT_STREQ(static_cast<const char*>(moved.m_data), "ACGT");
    EXPECT_EQ(moved.get_string(), "ACGT");
}

TEST(DataView, BorrowedStringViewsCallersString) {
    std::string text = "ACGTACGTACGTACGTACGTACGT";
    DataView view(text, false);
    EXPECT_EQ(view.m_source, &text);
    EXPECT_EQ(view.m_data, text.data());
    EXPECT_EQ(view.m_info.type_size, text.size() + 1);
    view.set_string("GG");
    EXPECT_EQ(text, "GG");
}

TEST(DataView, SetStringCutsAtNul) {
    DataView view(std::string("ACGT"));
    view.set_string(std::string("AC\0GT", 5));
    EXPECT_EQ(view.get_string(), "AC");
    EXPECT_EQ(view.m_info.type_size, 2u);
    EXPECT_EQ(view.m_data, view.m_source->data());
    EXPECT_EQ(view.m_info.size, 1u);
}

TEST(DataView, StringOperationsRefuseOtherViews) {
    std::vector<float> values{1.0f, 2.0f};
    DataView view(values, true);
    try {
        view.set_string("x");
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Data does not view string data.");
    }
    EXPECT_THROW(view.get_string(), std::runtime_error);
    EXPECT_EQ(view.m_info.type, DataSetType::float32);
    EXPECT_EQ(view.get_data<float>()[1], 2.0f);
}

TEST(DataView, MoveLeavesSourceEmptyAndKeepsAddress) {
    std::vector<uint8_t> values{1, 2, 3};
    DataView source(values, true);
    source.m_metadata.insert("k", std::string("v"));
    const void* data = source.m_data;
    DataView target(std::move(source));
    EXPECT_EQ(source.m_info.type, DataSetType::empty);
    EXPECT_EQ(source.m_data, nullptr);
    EXPECT_FALSE(source.owns_data());
    EXPECT_TRUE(source.m_metadata.empty());
    EXPECT_EQ(target.m_data, data);
    EXPECT_EQ(target.m_info.size, 3u);
    EXPECT_EQ(target.m_metadata.get_value<std::string>("k"), "v");
}

TEST(DataView, TableViews) {
    DataTable table;
    table.add_field("a", DataSetType::int32, 0);
    table.add_field("b", DataSetType::uint8, 0);
    table.allocate_rows(3);
    table.m_data[0] = 42;

    const DataView borrowed(table, false);
    EXPECT_EQ(borrowed.m_info.type, DataSetType::table);
    EXPECT_EQ(borrowed.m_info.type_size, 8u);
    EXPECT_EQ(borrowed.m_info.size, 3u);
    EXPECT_EQ(borrowed.m_info.fields, table.m_fields);
    EXPECT_EQ(borrowed.m_data, table.m_data.data());
    EXPECT_EQ(borrowed.m_source, nullptr);

    const uint8_t* rows = table.m_data.data();
    DataView owned(table, true);
    EXPECT_EQ(table.m_row_size, 0u);
    EXPECT_EQ(table.m_num_rows, 0u);
    EXPECT_EQ(owned.m_data, rows);
    EXPECT_EQ(owned.m_info.fields.size(), 2u);

    DataView copy;
    copy.copy_data(owned);
    EXPECT_TRUE(copy.owns_data());
    EXPECT_NE(copy.m_data, owned.m_data);
    EXPECT_EQ(static_cast<const uint8_t*>(copy.m_data)[0], 42);
    static_cast<uint8_t*>(owned.m_data)[0] = 7;
    EXPECT_EQ(static_cast<const uint8_t*>(copy.m_data)[0], 42);
}

TEST(DataView, CopyDataOfBorrowedViewSharesBytes) {
    std::vector<float> values{1.0f};
    const DataView borrowed(values, false);
    std::vector<uint8_t> previous{1};
    DataView copy(previous, true);
    copy.copy_data(borrowed);
    EXPECT_FALSE(copy.owns_data());
    EXPECT_EQ(copy.m_data, values.data());
    EXPECT_EQ(copy.m_info.type, DataSetType::uint8);  // info is the caller's business
}

TEST(DataView, CopyDataOfOwnedStringCopiesTheString) {
    DataView original(std::string("AC"));
    DataView copy;
    copy.copy_data(original);
    ASSERT_NE(copy.m_source, nullptr);
    EXPECT_NE(copy.m_source, original.m_source);
    EXPECT_EQ(*copy.m_source, "AC");
    EXPECT_EQ(copy.m_data, copy.m_source->data());
}

TEST(DataView, MatrixViewOwnsDenseMatrix) {
    std::vector<uint8_t> values(24);
    std::iota(values.begin(), values.end(), 0);
    const auto matrix = MatView<uint8_t>::view(values.data(), 3, 8, 8, 1);
    const DataView view(matrix, values);
    EXPECT_TRUE(values.empty());
    EXPECT_EQ(view.m_info.type, DataSetType::uint8);
    EXPECT_EQ(view.m_info.size, 24u);
    EXPECT_EQ(view.m_info.rows, 3u);
    EXPECT_EQ(view.m_info.cols, 8u);
    EXPECT_EQ(view.get_mat_view<uint8_t>()(2, 7), 23);
}

TEST(DataView, MatrixViewMayStartInsideItsVector) {
    std::vector<float> values(12);
    std::iota(values.begin(), values.end(), 0.0f);
    const auto matrix = MatView<float>::view(values.data() + 4, 2, 4, 4, 1);
    const DataView view(matrix, values);
    EXPECT_EQ(view.get_data<float>()[0], 4.0f);
    DataView copy;
    copy.copy_data(view);
    EXPECT_EQ(static_cast<const float*>(copy.m_data)[0], 4.0f);
    EXPECT_EQ(static_cast<const float*>(copy.m_data)[7], 11.0f);
}

TEST(DataView, MatrixViewRefusesForeignSparseOrOversizedMatrices) {
    std::vector<float> values(12, 1.0f);
    std::vector<float> other(12, 2.0f);
    const auto foreign = MatView<float>::view(other.data(), 3, 4, 4, 1);
    EXPECT_THROW(DataView(foreign, values), std::runtime_error);
    EXPECT_EQ(values.size(), 12u);  // the caller keeps its vector

    const auto sparse = MatView<float>::view(values.data(), 2, 4, 6, 1);
    EXPECT_THROW(DataView(sparse, values), std::runtime_error);
    const auto transposed = MatView<float>::view(values.data(), 4, 3, 1, 4);
    EXPECT_THROW(DataView(transposed, values), std::runtime_error);

    const auto too_big = MatView<float>::view(values.data() + 4, 3, 4, 4, 1);
    try {
        DataView view(too_big, values);
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("does not fit"), std::string::npos) << error.what();
    }
    EXPECT_EQ(values.size(), 12u);
}

TEST(DataView, ClearDestroysOwnedDataAndMetadata) {
    std::vector<float> values{1.0f};
    DataView view(values, true);
    view.m_metadata.insert<int32_t>("k", 1);
    view.clear();
    EXPECT_EQ(view.m_info.type, DataSetType::empty);
    EXPECT_FALSE(view.owns_data());
    EXPECT_EQ(view.m_data, nullptr);
    EXPECT_TRUE(view.m_metadata.empty());
}

TEST(DataView, DatasetNames) {
    EXPECT_STREQ(to_string(dataset::raw_data), "raw_data");
    EXPECT_STREQ(to_string(dataset::align_results), "align_results");
    EXPECT_EQ(static_cast<uint32_t>(dataset::sequence), 3u);
    EXPECT_EQ(static_cast<uint32_t>(interfaces::dataset::base_mod_probs), 14u);
    EXPECT_STREQ(to_string(static_cast<dataset>(1)), "");
}

TEST(DataView, TableViewColumnsAreChecked) {
    DataTable table;
    table.add_field("n", DataSetType::int32, 0);
    table.add_field("f", DataSetType::float32, 0);
    table.allocate_rows(2);
    const int32_t second = 17;
    std::memcpy(table.m_data.data() + table.m_row_size, &second, sizeof(second));
    const DataView view(table, true);

    const auto column = view.view_field<int32_t>(0);
    EXPECT_EQ(column.size(), 2u);
    EXPECT_EQ(column[1], 17);
    EXPECT_THROW(view.view_field<int32_t>(2), std::out_of_range);
    EXPECT_THROW(view.view_field<int8_t>(0), std::runtime_error);

    // A table view whose info claims a column beyond its rows is refused, not read.
    DataView damaged;
    damaged.copy_data(view);
    damaged.m_info = view.m_info;
    damaged.m_info.fields[1].offset = 64;
    EXPECT_THROW(damaged.view_field<float>(1), std::out_of_range);

    std::vector<float> values{1.0f};
    const DataView vector_view(values, false);
    EXPECT_THROW(vector_view.view_field<float>(0), std::runtime_error);
}

namespace {
/// A view that counts the resets it goes through by virtual dispatch.
class CountingView : public DataView {
public:
    using DataView::DataView;
    void clear() override {
        ++clears;
        DataView::clear();
    }
    int clears = 0;
};
}  // namespace

TEST(DataView, MovingClearsTheSourceThroughItsOwnClear) {
    std::vector<float> values{1.0f};
    CountingView source(values, true);
    const int before = source.clears;
    const DataView target(std::move(source));
    EXPECT_EQ(source.clears, before + 1);
    EXPECT_EQ(source.m_info.type, DataSetType::empty);
    EXPECT_EQ(target.get_data<float>()[0], 1.0f);
}

TEST(DataView, EmptyMatrixIsAcceptedWhateverItsPointer) {
    std::vector<float> values;
    values.reserve(16);  // an empty vector with a buffer
    const auto matrix = MatView<float>::view(values.data(), 0, 8, 8, 1);
    const DataView view(matrix, values);
    EXPECT_TRUE(view.owns_data());
    EXPECT_EQ(view.m_info.type, DataSetType::float32);
    EXPECT_EQ(view.m_info.size, 0u);
    EXPECT_EQ(view.m_info.rows, 0u);
    EXPECT_EQ(view.m_info.cols, 8u);
}
