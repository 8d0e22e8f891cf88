#pragma once

#include "data_wrappers/data_view.h"
#include "data_wrappers/metadata.h"
#include "python/option_types.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <limits>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <typeindex>

namespace tessellpy {

namespace py = pybind11;

using DataSetMap = std::map<dataset, bass::data_wrappers::DataView>;

/// Every entry of the record, in key order; entries of a type other than bool, the integers, float,
/// double and string are left out.
py::dict metadata_to_dict(const bass::data_wrappers::Metadata& metadata);

/// Datasets keyed by their names: strings as str, everything else as numpy arrays (copies).
py::dict datasets_to_dict(const DataSetMap& datasets);
/// As above, but an array takes over the buffer its view owns instead of copying it; such views are
/// left empty.
py::dict datasets_to_dict(DataSetMap&& datasets);

/// A numpy copy of one numeric or alignment-table view; an empty float64 array for any other view.
/// std::runtime_error when the view's element size, count or data do not fit its description.
py::array dataview_to_ndarray(const bass::data_wrappers::DataView& view);
/// As above, but the array takes over the buffer the view owns, if it owns one, rather than copying
/// it (the view is then left empty).
py::array dataview_to_ndarray(bass::data_wrappers::DataView&& view);

/// Stores a Python value under `key` as `type`. A value of another type raises a cast error that
/// names the key, what it takes and what it was given: a str option takes a str, a list or tuple of
/// str (joined) or None (""); a bool option a bool, None or a number; an integer option an int or
/// numpy integer (not a bool) within its range; a float option any real number but a bool.
void set_metadata_from_python(bass::data_wrappers::Metadata& metadata, const std::string& key, const py::handle& value,
                              OptionType type);

/// What a value is, for messages: its type and a short repr, or dtype and shape for an array.
std::string describe(const py::handle& value);

/// Python int, or numpy integer; bools of either kind are not.
bool is_integer(const py::handle& value);
/// The value of an integer (is_integer) as T; none when T cannot hold it.
template <typename T>
std::optional<T> integer_value(const py::handle& value) {
    const auto number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!number) {
        throw py::error_already_set();
    }
    int overflow = 0;
    const long long as_signed = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow < 0) {
        return std::nullopt;
    }
    if (overflow > 0) {
        if constexpr (std::is_unsigned<T>::value) {
            const unsigned long long as_unsigned = PyLong_AsUnsignedLongLong(number.ptr());
            if (PyErr_Occurred() != nullptr) {
                PyErr_Clear();
                return std::nullopt;
            }
            if (as_unsigned <= std::numeric_limits<T>::max()) {
                return static_cast<T>(as_unsigned);
            }
        }
        return std::nullopt;
    }
    if constexpr (std::is_unsigned<T>::value) {
        if (as_signed < 0 || static_cast<unsigned long long>(as_signed) > std::numeric_limits<T>::max()) {
            return std::nullopt;
        }
    } else if (as_signed < std::numeric_limits<T>::min() || as_signed > std::numeric_limits<T>::max()) {
        return std::nullopt;
    }
    return static_cast<T>(as_signed);
}

/// Python float, or numpy floating-point scalar.
bool is_real(const py::handle& value);
/// Python bool, or numpy bool.
bool is_boolean(const py::handle& value);

/// The UTF-8 text of a str; none when it cannot be encoded (a lone surrogate, say).
std::optional<std::string> utf8_of(const py::handle& text);

/// An interned str of a fixed name, made once and never released (the interpreter may be gone by the
/// time statics are destroyed).
py::handle fixed_str(const char* text);

/// out[key] = value, through the dict's own call; a Python error raises error_already_set.
inline void set_item(const py::handle& out, const py::handle& key, const py::handle& value) {
    if (PyDict_SetItem(out.ptr(), key.ptr(), value.ptr()) != 0) {
        throw py::error_already_set();
    }
}

/// A warning through the Python logger "tessellpy" (interpreter lock held).
void log_warning(const std::string& text);

/// Joins the items with single spaces onto `out`; false at the first item that is not a str, a cast
/// error for a str that cannot be encoded as UTF-8.
bool str_list_to_std_string(const py::list& items, std::string& out);

}  // namespace tessellpy
