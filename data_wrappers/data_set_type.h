#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace bass {
namespace data_wrappers {

/// Element type code of a dataset view or of a table column.
enum class DataSetType : uint32_t {
    int8 = 0,
    int16 = 1,
    int32 = 2,
    int64 = 3,
    uint8 = 4,
    uint16 = 5,
    uint32 = 6,
    uint64 = 7,
    float32 = 8,
    float64 = 9,
    fixed_string = 10,  // table column: NUL-terminated text of fixed size
    string = 11,        // view of one std::string
    table = 12,         // view of a DataTable
    empty = 13,         // a view that views nothing
};

/// Bytes per element of the numeric codes 0 to 9, indexed by code. Shared by views and tables.
constexpr std::array<std::size_t, 10> NUMERIC_TYPE_SIZES = {1, 2, 4, 8, 1, 2, 4, 8, 4, 8};

/// True for the codes 0 to 9, which have a fixed element size.
constexpr bool is_numeric(DataSetType type) { return static_cast<uint32_t>(type) < NUMERIC_TYPE_SIZES.size(); }

/// Element size of a numeric code; 0 for every code without one.
constexpr std::size_t numeric_type_size(DataSetType type) {
    return is_numeric(type) ? NUMERIC_TYPE_SIZES[static_cast<uint32_t>(type)] : 0;
}

namespace detail {
template <typename T, typename Enable = void>
struct DataSetTypeOf;

template <typename T>
struct DataSetTypeOf<T, std::enable_if_t<std::is_integral<T>::value && !std::is_same<T, bool>::value>> {
    static constexpr DataSetType value = [] {
        constexpr bool is_signed = std::is_signed<T>::value;
        switch (sizeof(T)) {
            case 1:
                return is_signed ? DataSetType::int8 : DataSetType::uint8;
            case 2:
                return is_signed ? DataSetType::int16 : DataSetType::uint16;
            case 4:
                return is_signed ? DataSetType::int32 : DataSetType::uint32;
            default:
                return is_signed ? DataSetType::int64 : DataSetType::uint64;
        }
    }();
};

template <>
struct DataSetTypeOf<float> {
    static constexpr DataSetType value = DataSetType::float32;
};

template <>
struct DataSetTypeOf<double> {
    static constexpr DataSetType value = DataSetType::float64;
};
}  // namespace detail

/// The numeric code whose element has T's size and signedness (`char` counts as int8, code 0).
template <typename T>
constexpr DataSetType data_set_type_of() {
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_same<U, char>::value) {
        return DataSetType::int8;
    } else {
        return detail::DataSetTypeOf<U>::value;
    }
}

}  // namespace data_wrappers
}  // namespace bass
