#include "python/conversions.h"

#include "python/align_results.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace tessellpy {

using bass::data_wrappers::DataSetInfo;
using bass::data_wrappers::DataSetType;
using bass::data_wrappers::DataView;
using bass::data_wrappers::Metadata;

namespace {

template <typename T>
bool add_if_type(py::dict& out, const Metadata& metadata, const std::string& key, std::type_index type) {
    if (type != std::type_index(typeid(T))) {
        return false;
    }
    const T value = metadata.get_value<T>(key);
    if constexpr (std::is_same<T, bool>::value) {
        out[py::str(key)] = py::bool_(value);
    } else if constexpr (std::is_same<T, std::string>::value) {
        out[py::str(key)] = py::str(value);
    } else if constexpr (std::is_floating_point<T>::value) {
        out[py::str(key)] = py::float_(static_cast<double>(value));
    } else {
        out[py::str(key)] = py::int_(value);
    }
    return true;
}

/// The numpy type of a view, or none for the views that do not become arrays.
bool numpy_type_of(const DataView& view, py::dtype& out) {
    switch (view.m_info.type) {
    case DataSetType::int8: out = py::dtype::of<int8_t>(); return true;
    case DataSetType::int16: out = py::dtype::of<int16_t>(); return true;
    case DataSetType::int32: out = py::dtype::of<int32_t>(); return true;
    case DataSetType::int64: out = py::dtype::of<int64_t>(); return true;
    case DataSetType::uint8: out = py::dtype::of<uint8_t>(); return true;
    case DataSetType::uint16: out = py::dtype::of<uint16_t>(); return true;
    case DataSetType::uint32: out = py::dtype::of<uint32_t>(); return true;
    case DataSetType::uint64: out = py::dtype::of<uint64_t>(); return true;
    case DataSetType::float32: out = py::dtype::of<float>(); return true;
    case DataSetType::float64: out = py::dtype::of<double>(); return true;
    case DataSetType::table:
        if (!view.m_info.fields.empty() && view.m_info.fields.front().name == "Genome") {
            out = py::dtype::of<apps::AlignResults>();
            return true;
        }
        return false;
    default: return false;
    }
}

std::string string_of(const DataView& view) {
    if (view.m_source != nullptr) {
        return *view.m_source;
    }
    // A borrowed text without its string object: type_size counts the terminating NUL.
    if (view.m_data != nullptr && view.m_info.type_size > 0) {
        return std::string(static_cast<const char*>(view.m_data), view.m_info.type_size - 1);
    }
    return std::string();
}

}  // namespace

void metadata_entry_to_dict(py::dict& out, const Metadata& metadata, const std::string& key,
                            std::type_index type) {
    add_if_type<bool>(out, metadata, key, type) || add_if_type<int8_t>(out, metadata, key, type) ||
            add_if_type<uint8_t>(out, metadata, key, type) || add_if_type<int16_t>(out, metadata, key, type) ||
            add_if_type<uint16_t>(out, metadata, key, type) || add_if_type<int32_t>(out, metadata, key, type) ||
            add_if_type<uint32_t>(out, metadata, key, type) || add_if_type<int64_t>(out, metadata, key, type) ||
            add_if_type<uint64_t>(out, metadata, key, type) || add_if_type<float>(out, metadata, key, type) ||
            add_if_type<double>(out, metadata, key, type) || add_if_type<std::string>(out, metadata, key, type);
}

py::dict metadata_to_dict(const Metadata& metadata) {
    py::dict out;
    for (const auto& [key, type] : metadata.get_keys()) {
        metadata_entry_to_dict(out, metadata, key, type);
    }
    return out;
}

py::dict datasets_to_dict(const DataSetMap& datasets) {
    py::dict out;
    for (const auto& [id, view] : datasets) {
        const auto number = static_cast<uint32_t>(id);
        if (number == 1 || number == 2 || number > 15) {
            continue;
        }
        const py::str name(bass::data_wrappers::to_string(id));
        if (view.m_info.type == DataSetType::string) {
            out[name] = py::str(string_of(view));
        } else {
            out[name] = dataview_to_ndarray(view);
        }
    }
    return out;
}

py::array dataview_to_ndarray(const DataView& view) {
    py::dtype type = py::dtype::of<double>();
    if (!numpy_type_of(view, type)) {
        return py::array_t<double>(0);
    }
    const DataSetInfo& info = view.m_info;
    const auto type_code = static_cast<uint32_t>(info.type);
    const auto itemsize = static_cast<uint64_t>(type.itemsize());
    if (itemsize != info.type_size) {
        throw std::runtime_error("Python data type size (" + std::to_string(itemsize) + ") for DataType " +
                                 std::to_string(type_code) + " does not match input data size (" +
                                 std::to_string(info.type_size) + ")");
    }
    // The copy below trusts the view's count: a count that disagrees with its shape, or a count
    // without data, would read memory the view does not hold.
    const bool is_matrix = info.rows > 0;
    if (is_matrix && (info.cols == 0 || info.rows > UINT64_MAX / info.cols || info.rows * info.cols != info.size)) {
        throw std::runtime_error("Python array shape (" + std::to_string(info.rows) + " x " +
                                 std::to_string(info.cols) + ") for DataType " + std::to_string(type_code) +
                                 " does not match input data size (" + std::to_string(info.size) + " elements)");
    }
    if (info.size > 0 && view.m_data == nullptr) {
        throw std::runtime_error("Input data for DataType " + std::to_string(type_code) + " holds no data for its " +
                                 std::to_string(info.size) + " elements");
    }
    std::vector<py::ssize_t> shape;
    if (is_matrix) {
        shape = {static_cast<py::ssize_t>(info.rows), static_cast<py::ssize_t>(info.cols)};
    } else {
        shape = {static_cast<py::ssize_t>(info.size)};
    }
    py::array out(type, shape);
    if (info.size > 0) {
        std::memcpy(out.mutable_data(), view.m_data, info.size * info.type_size);
    }
    return out;
}

void set_metadata_from_python(Metadata& metadata, const std::string& key, const py::handle& value, OptionType type) {
    switch (type) {
    case OptionType::string: {
        std::string text;
        if (py::isinstance<py::str>(value)) {
            text = value.cast<std::string>();
        } else if (py::isinstance<py::list>(value)) {
            if (!str_list_to_std_string(py::reinterpret_borrow<py::list>(value), text)) {
                throw std::runtime_error("Could not convert python list to string.");
            }
        }
        metadata.insert(key, text);
        return;
    }
    case OptionType::boolean: metadata.insert<bool>(key, value.cast<bool>()); return;
    case OptionType::int32: metadata.insert<int32_t>(key, value.cast<int32_t>()); return;
    case OptionType::uint32: metadata.insert<uint32_t>(key, value.cast<uint32_t>()); return;
    case OptionType::int64: metadata.insert<int64_t>(key, value.cast<int64_t>()); return;
    case OptionType::uint64: metadata.insert<uint64_t>(key, value.cast<uint64_t>()); return;
    case OptionType::float32: metadata.insert<float>(key, value.cast<float>()); return;
    case OptionType::float64: metadata.insert<double>(key, value.cast<double>()); return;
    }
}

bool str_list_to_std_string(const py::list& items, std::string& out) {
    for (const py::handle item : items) {
        if (!py::isinstance<py::str>(item)) {
            return false;
        }
        if (!out.empty()) {
            out += " ";
        }
        out += item.cast<std::string>();
    }
    return true;
}

}  // namespace tessellpy
