#include "data_wrappers/data_view.h"

#include <cstring>

namespace bass {
namespace data_wrappers {

const char* to_string(dataset id) {
    switch (id) {
        case dataset::raw_data:
            return "raw_data";
        case dataset::sequence:
            return "sequence";
        case dataset::qstring:
            return "qstring";
        case dataset::movement:
            return "movement";
        case dataset::flipflop_trace:
            return "flipflop_trace";
        case dataset::state_data:
            return "state_data";
        case dataset::rle_base:
            return "rle_base";
        case dataset::rle_shape:
            return "rle_shape";
        case dataset::rle_scale:
            return "rle_scale";
        case dataset::rle_weight:
            return "rle_weight";
        case dataset::rle_index:
            return "rle_index";
        case dataset::rle_runlength:
            return "rle_runlength";
        case dataset::base_mod_probs:
            return "base_mod_probs";
        case dataset::align_results:
            return "align_results";
    }
    return "";
}

DataView::DataView() = default;

DataView::DataView(DataTable& table, bool own) : DataView() { view(table, own); }

DataView::DataView(std::string& text, bool own) : DataView() {
    clear();
    m_info.type = DataSetType::string;
    m_info.type_size = text.size() + 1;
    m_info.size = 1;
    if (own) {
        auto owner = std::make_unique<OwnerType<std::string>>(std::move(text));
        // The pointer is taken from the owned string: a short text lives inside the string object
        // itself, so a pointer into the caller's string would dangle after the move.
        m_source = &owner->get();
        m_data = owner->data_ptr();
        m_owner = std::move(owner);
        text.clear();
    } else {
        m_source = &text;
        m_data = &text[0];
    }
}

DataView::DataView(std::string&& text) : DataView(text, true) {}

DataView::DataView(DataView&& other) noexcept
    : m_data(other.m_data),
      m_source(other.m_source),
      m_info(other.m_info),
      m_owner(std::move(other.m_owner)),
      m_metadata(std::move(other.m_metadata)) {
    other.clear();
}

DataView::~DataView() { reset(); }

void DataView::view(DataTable& table, bool own) {
    clear();
    m_info.type = DataSetType::table;
    m_info.type_size = table.m_row_size;
    m_info.size = table.m_num_rows;
    m_info.fields = table.m_fields;
    if (own) {
        auto owner = std::make_unique<OwnerType<DataTable>>(std::move(table));
        m_data = owner->get().m_data.empty() ? nullptr : owner->data_ptr();
        m_owner = std::move(owner);
    } else {
        m_data = table.m_data.empty() ? nullptr : table.m_data.data();
    }
}

void DataView::copy_data(const DataView& other) {
    if (&other == this) {
        return;
    }
    if (other.m_owner) {
        auto clone = other.m_owner->clone();
        // Keep the position inside the container: a matrix may start past its buffer's first element.
        void* data = nullptr;
        if (other.m_data != nullptr) {
            const auto offset =
                    static_cast<const char*>(other.m_data) - static_cast<const char*>(other.m_owner->data_ptr());
            data = static_cast<char*>(clone->data_ptr()) + offset;
        }
        std::string* source = nullptr;
        if (other.m_source != nullptr) {
            source = clone->string_ptr();
        }
        m_owner = std::move(clone);
        m_data = data;
        m_source = source;
    } else {
        m_owner.reset();
        m_data = other.m_data;
        m_source = other.m_source;
    }
}

void DataView::set_string(std::string text) {
    if (m_info.type != DataSetType::string || m_source == nullptr) {
        throw std::runtime_error("Data does not view string data.");
    }
    *m_source = std::move(text);
    const auto nul = m_source->find('\0');
    if (nul != std::string::npos) {
        m_source->resize(nul);
    }
    m_info.type_size = m_source->size();
    m_data = &(*m_source)[0];
}

const std::string& DataView::get_string() const {
    if (m_info.type != DataSetType::string || m_source == nullptr) {
        throw std::runtime_error("Data does not view string data.");
    }
    return *m_source;
}

void DataView::clear() { reset(); }

void DataView::reset() noexcept {
    m_data = nullptr;
    m_source = nullptr;
    m_info.type = DataSetType::empty;
    m_info.type_size = 0;
    m_info.size = 0;
    m_info.rows = 0;
    m_info.cols = 0;
    m_info.fields.clear();
    m_owner.reset();
    m_metadata.clear();
}

void DataView::check_element_type(DataSetType type, std::size_t element_size) const {
    if (m_info.type != type || m_info.type_size != element_size) {
        throw std::runtime_error("Invalid array type requested.");
    }
}

const Field& DataView::checked_table_field(std::size_t index) const {
    if (m_info.type != DataSetType::table) {
        throw std::runtime_error("Data does not view table data.");
    }
    const Field& field = m_info.fields.at(index);
    const uint64_t width = field.size + (field.type == DataSetType::fixed_string ? 1 : 0);
    const bool inside_row = width <= m_info.type_size && field.offset <= m_info.type_size - width;
    if (!inside_row || (m_info.size > 0 && m_data == nullptr)) {
        throw std::out_of_range("Data table field '" + field.name + "' lies outside the table's rows.");
    }
    return field;
}

std::size_t DataView::checked_matrix_offset(const void* matrix, std::size_t rows, std::size_t cols, int64_t stride0,
                                            int64_t stride1, const void* buffer, std::size_t buffer_size,
                                            std::size_t element_size) {
    const std::size_t count = rows * cols;
    if (cols != 0 && count / cols != rows) {
        throw std::runtime_error("Matrix view of " + std::to_string(rows) + "x" + std::to_string(cols) +
                                 " elements is too large.");
    }
    // The view keeps only the pointer and the shape, so the matrix must be dense and row-major.
    if ((rows > 1 && stride0 != static_cast<int64_t>(cols)) || (cols > 1 && stride1 != 1)) {
        throw std::runtime_error("Matrix view must be dense and row-major (strides " + std::to_string(stride0) + "," +
                                 std::to_string(stride1) + " for " + std::to_string(rows) + "x" + std::to_string(cols) +
                                 " elements).");
    }
    if (count == 0) {
        return 0;  // reads no element, wherever it points
    }
    const auto begin = reinterpret_cast<uintptr_t>(buffer);
    const auto position = reinterpret_cast<uintptr_t>(matrix);
    const uintptr_t end = begin + buffer_size * element_size;
    if (buffer_size == 0 || position < begin || position > end || (position - begin) % element_size != 0) {
        throw std::runtime_error("Matrix view does not point into the vector handed over.");
    }
    const std::size_t offset = (position - begin) / element_size;
    if (count > buffer_size - offset) {
        throw std::runtime_error("Matrix view of " + std::to_string(rows) + "x" + std::to_string(cols) +
                                 " elements does not fit the vector of " + std::to_string(buffer_size) +
                                 " elements handed over.");
    }
    return offset;
}

}  // namespace data_wrappers
}  // namespace bass
