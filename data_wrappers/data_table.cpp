#include "data_wrappers/data_table.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace bass {
namespace data_wrappers {

namespace {
uint64_t round_up(uint64_t value, uint64_t multiple) { return (value + multiple - 1) / multiple * multiple; }
}  // namespace

bool operator==(const Field& lhs, const Field& rhs) {
    return lhs.name == rhs.name && lhs.type == rhs.type && lhs.size == rhs.size && lhs.offset == rhs.offset;
}

DataTable::DataTable(DataTable&& other) noexcept
    : m_data(std::move(other.m_data)),
      m_fields(std::move(other.m_fields)),
      m_field_index(std::move(other.m_field_index)),
      m_row_size(other.m_row_size),
      m_num_rows(other.m_num_rows) {
    other.m_data.clear();
    other.m_fields.clear();
    other.m_field_index.clear();
    other.m_row_size = 0;
    other.m_num_rows = 0;
}

DataTable& DataTable::operator=(DataTable&& other) noexcept {
    if (this != &other) {
        m_data = std::move(other.m_data);
        m_fields = std::move(other.m_fields);
        m_field_index = std::move(other.m_field_index);
        m_row_size = other.m_row_size;
        m_num_rows = other.m_num_rows;
        other.m_data.clear();
        other.m_fields.clear();
        other.m_field_index.clear();
        other.m_row_size = 0;
        other.m_num_rows = 0;
    }
    return *this;
}

void DataTable::add_field(const std::string& name, DataSetType type, std::size_t size) {
    const bool is_text = type == DataSetType::fixed_string;
    if (!is_numeric(type) && !is_text) {
        throw std::runtime_error("Invalid data type for data table field.");
    }
    const std::size_t element_size = numeric_type_size(type);
    if (size == 0) {
        if (is_text) {
            throw std::runtime_error("Must specify a size for string fields.");
        }
        size = element_size;
    } else if (!is_text && size != element_size) {
        throw std::runtime_error("Specified type size does not match actual type size.");
    }
    const uint64_t alignment = is_text ? 4 : size;
    const uint64_t offset = round_up(m_row_size, alignment);
    const uint64_t width = size + (is_text ? 1 : 0);
    // A wrapped row size would make every later bounds check pass over memory the rows do not hold.
    if (width == 0 || offset > std::numeric_limits<uint64_t>::max() - 8 - width) {
        throw std::runtime_error("Data table field '" + name + "' is too large.");
    }
    const uint64_t new_row_size = offset + width;

    // Build the index entry first so that a failure leaves the table unchanged.
    auto index = m_field_index;
    index[name] = m_fields.size();
    m_fields.push_back(Field{name, type, size, offset});
    m_field_index.swap(index);
    m_row_size = new_row_size;
}

void DataTable::allocate_rows(uint64_t num_rows) {
    const uint64_t row_size = round_up(m_row_size, 8);
    // The row count may come from a server reply: a product that wraps would allocate a small buffer
    // for a large row count.
    if (row_size != 0 && num_rows > std::numeric_limits<uint64_t>::max() / row_size) {
        throw std::runtime_error("Data table of " + std::to_string(num_rows) + " rows of " + std::to_string(row_size) +
                                 " bytes is too large.");
    }
    std::vector<uint8_t> rows(row_size * num_rows, 0);
    m_data.swap(rows);
    m_row_size = row_size;
    m_num_rows = num_rows;
}

std::size_t DataTable::get_field_index(const std::string& name) const {
    const auto found = m_field_index.find(name);
    if (found == m_field_index.end()) {
        throw std::out_of_range("Data table has no field '" + name + "'.");
    }
    return found->second;
}

const Field& DataTable::checked_field(std::size_t index) const {
    const Field& field = m_fields.at(index);
    const uint64_t width = field.size + (field.type == DataSetType::fixed_string ? 1 : 0);
    // A column added after allocate_rows, or a table whose rows were not allocated for its current
    // row size, would be read beyond the row or beyond the buffer.
    const bool rows_fit = m_num_rows == 0 || m_row_size <= m_data.size() / m_num_rows;
    if (width > m_row_size || field.offset > m_row_size - width || !rows_fit) {
        throw std::out_of_range("Data table field '" + field.name + "' lies outside the allocated rows.");
    }
    return field;
}

uint8_t* DataTable::cell(std::size_t field_index, std::size_t row) {
    const Field& field = checked_field(field_index);
    if (row >= m_num_rows) {
        throw std::out_of_range("Data table row " + std::to_string(row) + " out of range (" +
                                std::to_string(m_num_rows) + " rows).");
    }
    return m_data.data() + row * m_row_size + field.offset;
}

std::string DataTable::get_string(std::size_t field_index, std::size_t row) const {
    const Field& field = checked_field(field_index);
    if (field.type != DataSetType::fixed_string) {
        throw std::runtime_error("Data table field '" + field.name + "' does not hold text.");
    }
    const uint8_t* start = const_cast<DataTable*>(this)->cell(field_index, row);
    const auto* text = reinterpret_cast<const char*>(start);
    return std::string(text, strnlen(text, field.size));
}

void DataTable::set_string(std::size_t field_index, std::size_t row, const std::string& text) {
    const Field& field = checked_field(field_index);
    if (field.type != DataSetType::fixed_string) {
        throw std::runtime_error("Data table field '" + field.name + "' does not hold text.");
    }
    uint8_t* start = cell(field_index, row);
    const std::size_t length = std::min<std::size_t>(text.size(), field.size);
    std::memset(start, 0, field.size + 1);
    std::memcpy(start, text.data(), length);
}

}  // namespace data_wrappers
}  // namespace bass
