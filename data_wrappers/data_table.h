#pragma once

#include "data_wrappers/data_set_type.h"
#include "data_wrappers/views.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace bass {
namespace data_wrappers {

/// One table column.
struct Field {
    std::string name;
    DataSetType type = DataSetType::empty;
    /// Bytes of the value; for a fixed-size text the usable length (the column takes size + 1 bytes).
    uint64_t size = 0;
    /// Byte offset of the column from the start of a row.
    uint64_t offset = 0;
};

bool operator==(const Field& lhs, const Field& rhs);
inline bool operator!=(const Field& lhs, const Field& rhs) { return !(lhs == rhs); }

/// A table of fixed-size rows described by named, typed columns, read column by column.
/// The members are public so that the alignment code and the Python conversions can fill and read
/// rows directly; use add_field and allocate_rows to change the layout.
class DataTable {
public:
    DataTable() = default;
    DataTable(const DataTable&) = default;
    DataTable& operator=(const DataTable&) = default;
    /// Moving leaves the source as a new, empty table (no columns, row size 0, no rows).
    DataTable(DataTable&& other) noexcept;
    DataTable& operator=(DataTable&& other) noexcept;
    ~DataTable() = default;

    /// Appends a column. A failure leaves the table unchanged.
    void add_field(const std::string& name, DataSetType type, std::size_t size);

    /// Sets the row count, rounds the row size up to a multiple of 8 and zero-fills the rows.
    void allocate_rows(uint64_t num_rows);

    /// Position of the column with that name (the newest one when a name repeats);
    /// std::out_of_range when there is none.
    std::size_t get_field_index(const std::string& name) const;

    /// A view of the column at the position, in every row. The column must exist, lie inside the
    /// row, and hold values of T's size; the rows must be allocated for the current row size.
    template <typename T>
    VecView<T> view_field(std::size_t index) const {
        const Field& field = checked_field(index);
        if (field.size != sizeof(T)) {
            throw std::runtime_error("VecView type not compatible with field type.");
        }
        const uint8_t* start = m_num_rows == 0 ? nullptr : m_data.data() + field.offset;
        return VecView<T>::view(reinterpret_cast<const T*>(start), m_num_rows,
                                static_cast<long>(m_row_size / sizeof(T)));
    }

    template <typename T>
    VecView<T> view_field(const std::string& name) const {
        return view_field<T>(get_field_index(name));
    }

    /// Text of a fixed-size text column in one row, up to its first NUL.
    std::string get_string(std::size_t field_index, std::size_t row) const;
    /// Writes text into a fixed-size text column in one row; longer text is cut to the column size.
    void set_string(std::size_t field_index, std::size_t row, const std::string& text);

    const std::vector<Field>& fields() const { return m_fields; }
    uint64_t row_size() const { return m_row_size; }
    uint64_t num_rows() const { return m_num_rows; }
    const uint8_t* data() const { return m_data.data(); }
    uint8_t* data() { return m_data.data(); }

    std::vector<uint8_t> m_data;
    std::vector<Field> m_fields;
    std::map<std::string, std::size_t> m_field_index;
    uint64_t m_row_size = 0;
    uint64_t m_num_rows = 0;

private:
    /// The column at the position, checked to lie inside allocated row data.
    const Field& checked_field(std::size_t index) const;
    uint8_t* cell(std::size_t field_index, std::size_t row);
};

}  // namespace data_wrappers
}  // namespace bass
