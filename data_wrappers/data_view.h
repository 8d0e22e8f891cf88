#pragma once

#include "data_wrappers/data_set_type.h"
#include "data_wrappers/data_table.h"
#include "data_wrappers/metadata.h"
#include "data_wrappers/views.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace bass {
namespace data_wrappers {

/// Ids that key a read's datasets (1 and 2 are not used).
enum class dataset : uint32_t {
    raw_data = 0,
    sequence = 3,
    qstring = 4,
    movement = 5,
    flipflop_trace = 6,
    state_data = 7,
    rle_base = 8,
    rle_shape = 9,
    rle_scale = 10,
    rle_weight = 11,
    rle_index = 12,
    rle_runlength = 13,
    base_mod_probs = 14,
    align_results = 15,
};

/// The name of a dataset id ("raw_data", ...); an empty text for the ids without a name.
const char* to_string(dataset id);

/// Description of the data a DataView refers to.
struct DataSetInfo {
    DataSetType type = DataSetType::empty;
    /// Bytes per element; a table's row size; a string's length plus its NUL.
    uint64_t type_size = 0;
    /// Element count: vector length, rows x cols, table rows, 1 for a string.
    uint64_t size = 0;
    /// Matrix shape; 0 for anything that is not a matrix.
    uint64_t rows = 0;
    uint64_t cols = 0;
    /// The table's columns for a table view.
    std::vector<Field> fields;
};

/// Typed handle of one dataset: a vector, a matrix, a string or a DataTable, either borrowed (the
/// creator keeps the container alive) or owned (the container was moved into the view).
/// Callers read m_data, m_info and m_metadata directly; the metadata may be changed in place.
class DataView {
public:
    /// Holder of an owned container.
    class OwnerBase {
    public:
        virtual ~OwnerBase() = default;
        /// A new owner holding a deep copy of the container.
        virtual std::unique_ptr<OwnerBase> clone() const = 0;
        /// First element of the container.
        virtual void* data_ptr() = 0;
        /// The owned string of a string view; null for every other container.
        virtual std::string* string_ptr() { return nullptr; }
    };

    template <typename T>
    class OwnerType final : public OwnerBase {
    public:
        explicit OwnerType(T&& value) : m_value(std::move(value)) {}
        explicit OwnerType(const T& value) : m_value(value) {}
        std::unique_ptr<OwnerBase> clone() const override { return std::make_unique<OwnerType>(m_value); }
        void* data_ptr() override { return data_of(m_value); }
        std::string* string_ptr() override {
            if constexpr (std::is_same<T, std::string>::value) {
                return &m_value;
            } else {
                return nullptr;
            }
        }
        T& get() { return m_value; }

    private:
        template <typename E>
        static void* data_of(std::vector<E>& vec) {
            return vec.data();
        }
        static void* data_of(std::string& text) { return &text[0]; }
        static void* data_of(DataTable& table) { return table.m_data.data(); }

        T m_value;
    };

    DataView();
    /// Views a table; `own` moves the table's contents into the view, leaving the caller's table empty.
    DataView(DataTable& table, bool own);
    /// Views a string; `own` moves the text into the view, leaving the caller's string empty.
    DataView(std::string& text, bool own);
    /// Owns the string.
    explicit DataView(std::string&& text);

    /// Views a vector; `own` moves its buffer into the view, leaving the caller's vector empty.
    template <typename T, typename = std::enable_if_t<std::is_arithmetic<T>::value && !std::is_same<T, bool>::value>>
    DataView(std::vector<T>& vec, bool own) : DataView() {
        clear();
        m_info.type = data_set_type_of<T>();
        m_info.type_size = sizeof(T);
        m_info.size = vec.size();
        if (own) {
            auto owner = std::make_unique<OwnerType<std::vector<T>>>(std::move(vec));
            m_data = vec_data_or_null(owner->get());
            m_owner = std::move(owner);
        } else {
            m_data = vec_data_or_null(vec);
        }
    }

    /// Owns the vector.
    template <typename T, typename = std::enable_if_t<std::is_arithmetic<T>::value && !std::is_same<T, bool>::value>>
    explicit DataView(std::vector<T>&& vec) : DataView(vec, true) {}

    /// Owns `vec`, which holds the matrix densely in row-major order at the position `mat` points to.
    /// A matrix view with elements that does not point into `vec`, is not dense or does not fit
    /// throws std::runtime_error and leaves `vec` with its contents.
    template <typename T, typename = std::enable_if_t<std::is_arithmetic<T>::value && !std::is_same<T, bool>::value>>
    DataView(const MatView<T>& mat, std::vector<T>& vec) : DataView() {
        clear();
        const std::size_t offset = checked_matrix_offset(mat.m_ptr, mat.m_rows, mat.m_cols, mat.stride0(),
                                                         mat.stride1(), vec.data(), vec.size());
        m_info.type = data_set_type_of<T>();
        m_info.type_size = sizeof(T);
        m_info.size = mat.m_rows * mat.m_cols;
        m_info.rows = mat.m_rows;
        m_info.cols = mat.m_cols;
        auto owner = std::make_unique<OwnerType<std::vector<T>>>(std::move(vec));
        T* base = vec_data_or_null(owner->get());
        m_data = base == nullptr ? nullptr : base + offset;
        m_owner = std::move(owner);
    }

    template <typename T, typename = std::enable_if_t<std::is_arithmetic<T>::value && !std::is_same<T, bool>::value>>
    DataView(const MatView<T>& mat, std::vector<T>&& vec) : DataView(mat, vec) {}

    /// Takes data, info, owner and metadata; the source is left empty (type empty).
    DataView(DataView&& other) noexcept;
    DataView(const DataView&) = delete;
    DataView& operator=(const DataView&) = delete;
    DataView& operator=(DataView&&) = delete;
    virtual ~DataView();

    /// Clears, then views the table as the table constructor does.
    void view(DataTable& table, bool own);

    /// Refers to a copy of other's data: an owned container is deep-copied, borrowed data shared.
    /// The info and the metadata are not touched.
    void copy_data(const DataView& other);

    /// Replaces the text of a string view (cut at its first NUL).
    void set_string(std::string text);
    /// The viewed string; std::runtime_error for any view that is not a string view.
    const std::string& get_string() const;

    /// Back to the empty state: no data, no owner, type empty, empty metadata.
    virtual void clear();

    /// True when the view owns its data.
    bool owns_data() const { return m_owner != nullptr; }

    /// The elements as T; std::runtime_error "Invalid array type requested." when the view's type
    /// code is not T's.
    template <typename T>
    const T* get_data() const {
        check_element_type(data_set_type_of<T>(), sizeof(T));
        return static_cast<const T*>(m_data);
    }
    template <typename T>
    T* get_data() {
        check_element_type(data_set_type_of<T>(), sizeof(T));
        return static_cast<T*>(m_data);
    }

    /// The elements of a one-dimensional view as a VecView of T (type checked as get_data).
    template <typename T>
    VecView<T> get_vec_view() const {
        const T* data = get_data<T>();
        return VecView<T>::view(m_info.size == 0 ? nullptr : data, m_info.size, 1);
    }

    /// The elements of a matrix view as a MatView of T (type checked as get_data).
    template <typename T>
    MatView<T> get_mat_view() const {
        return MatView<T>::view(get_data<T>(), m_info.rows, m_info.cols, m_info.cols == 0 ? 1 : m_info.cols, 1);
    }

    /// A column of a table view, in every row; checked like DataTable::view_field (std::out_of_range
    /// for a column that does not exist or does not lie inside the row, std::runtime_error for a
    /// view that is not a table or a T of another size than the column).
    template <typename T>
    VecView<T> view_field(std::size_t index) const {
        const Field& field = checked_table_field(index);
        if (field.size != sizeof(T)) {
            throw std::runtime_error("VecView type not compatible with field type.");
        }
        const auto* start = m_info.size == 0 ? nullptr : static_cast<const uint8_t*>(m_data) + field.offset;
        return VecView<T>::view(reinterpret_cast<const T*>(start), m_info.size,
                                static_cast<long>(m_info.type_size / sizeof(T)));
    }

    void* m_data = nullptr;
    std::string* m_source = nullptr;
    DataSetInfo m_info;
    std::unique_ptr<OwnerBase> m_owner;
    Metadata m_metadata;

private:
    void reset() noexcept;
    void check_element_type(DataSetType type, std::size_t element_size) const;
    const Field& checked_table_field(std::size_t index) const;

    template <typename T>
    static T* vec_data_or_null(std::vector<T>& vec) {
        return vec.empty() ? nullptr : vec.data();
    }

    /// Element offset of a dense row-major matrix inside a buffer; throws when it is not one.
    static std::size_t checked_matrix_offset(const void* matrix, std::size_t rows, std::size_t cols, int64_t stride0,
                                             int64_t stride1, const void* buffer, std::size_t buffer_size,
                                             std::size_t element_size);
    template <typename T>
    static std::size_t checked_matrix_offset(const T* matrix, std::size_t rows, std::size_t cols, int64_t stride0,
                                             int64_t stride1, const T* buffer, std::size_t buffer_size) {
        return checked_matrix_offset(static_cast<const void*>(matrix), rows, cols, stride0, stride1,
                                     static_cast<const void*>(buffer), buffer_size, sizeof(T));
    }
};

}  // namespace data_wrappers
}  // namespace bass

namespace interfaces {
using bass::data_wrappers::dataset;
}  // namespace interfaces

using bass::data_wrappers::dataset;
