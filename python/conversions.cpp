#include "python/conversions.h"

#include "python/align_results.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tessellpy {

using bass::data_wrappers::DataSetInfo;
using bass::data_wrappers::DataSetType;
using bass::data_wrappers::DataView;
using bass::data_wrappers::Metadata;

namespace {

enum class ValueKind {
    boolean,
    int8,
    uint8,
    int16,
    uint16,
    int32,
    uint32,
    int64,
    uint64,
    float32,
    float64,
    text,
    other,
};

ValueKind kind_of(std::type_index type) {
    static const std::pair<std::type_index, ValueKind> kinds[] = {
            {typeid(bool), ValueKind::boolean},    {typeid(int8_t), ValueKind::int8},
            {typeid(uint8_t), ValueKind::uint8},   {typeid(int16_t), ValueKind::int16},
            {typeid(uint16_t), ValueKind::uint16}, {typeid(int32_t), ValueKind::int32},
            {typeid(uint32_t), ValueKind::uint32}, {typeid(int64_t), ValueKind::int64},
            {typeid(uint64_t), ValueKind::uint64}, {typeid(float), ValueKind::float32},
            {typeid(double), ValueKind::float64},  {typeid(std::string), ValueKind::text},
    };
    // Mostly the very type_info object: its name's address settles it without comparing names, as
    // a failed type_index comparison does.
    for (const auto& [known, kind] : kinds) {
        if (known.name() == type.name()) {
            return kind;
        }
    }
    for (const auto& [known, kind] : kinds) {
        if (known == type) {
            return kind;
        }
    }
    return ValueKind::other;
}

template <typename T>
const T& stored(const boost::any& value) {
    return *boost::any_cast<T>(&value);
}

/// The Python value of one entry of the given kind; none for a kind that has no Python counterpart.
py::object python_value(const boost::any& value, ValueKind kind) {
    switch (kind) {
        case ValueKind::boolean:
            return py::bool_(stored<bool>(value));
        case ValueKind::int8:
            return py::int_(stored<int8_t>(value));
        case ValueKind::uint8:
            return py::int_(stored<uint8_t>(value));
        case ValueKind::int16:
            return py::int_(stored<int16_t>(value));
        case ValueKind::uint16:
            return py::int_(stored<uint16_t>(value));
        case ValueKind::int32:
            return py::int_(stored<int32_t>(value));
        case ValueKind::uint32:
            return py::int_(stored<uint32_t>(value));
        case ValueKind::int64:
            return py::int_(stored<int64_t>(value));
        case ValueKind::uint64:
            return py::int_(stored<uint64_t>(value));
        case ValueKind::float32:
            return py::float_(static_cast<double>(stored<float>(value)));
        case ValueKind::float64:
            return py::float_(stored<double>(value));
        case ValueKind::text:
            return py::str(stored<std::string>(value));
        case ValueKind::other:
            break;
    }
    return py::object();
}

/// What metadata_to_dict last met at one position of a record: the records of a run carry the same
/// keys, walked in the same (sorted) order, with values of the same types. A key is then compared
/// rather than made into a str and hashed anew, and a type is known by its address.
struct EntrySlot {
    std::string key;
    PyObject* name = nullptr;
    const std::type_info* type = nullptr;
    ValueKind kind = ValueKind::other;
};

/// The slot of `position`, its name and kind brought up to date; none past the positions kept. The
/// slots and their strs are never released, as fixed_str's are not.
EntrySlot* entry_slot(std::size_t position, const std::string& key, const std::type_info& type) {
    constexpr std::size_t positions = 128;
    static auto* slots = new std::vector<EntrySlot>(positions);
    if (position >= positions) {
        return nullptr;
    }
    EntrySlot& slot = (*slots)[position];
    if (slot.name == nullptr || slot.key != key) {
        PyObject* made = PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
        if (made == nullptr) {
            throw py::error_already_set();
        }
        PyUnicode_InternInPlace(&made);
        Py_XDECREF(slot.name);
        slot.name = made;
        slot.key = key;
    }
    if (slot.type != &type) {
        slot.kind = kind_of(type);
        slot.type = &type;
    }
    return &slot;
}

/// The str naming a dataset id; the table of names is made once and never changes.
py::handle dataset_name(dataset id) {
    constexpr std::size_t ids = 16;
    static const std::array<py::handle, ids> names = [] {
        std::array<py::handle, ids> made{};
        for (std::size_t number = 0; number < ids; ++number) {
            made[number] = fixed_str(bass::data_wrappers::to_string(static_cast<dataset>(number)));
        }
        return made;
    }();
    const auto number = static_cast<std::size_t>(id);
    return number < ids ? names[number] : fixed_str(bass::data_wrappers::to_string(id));
}

/// The numpy type of a view, or none for the views that do not become arrays.
bool numpy_type_of(const DataView& view, py::dtype& out) {
    switch (view.m_info.type) {
        case DataSetType::int8:
            out = py::dtype::of<int8_t>();
            return true;
        case DataSetType::int16:
            out = py::dtype::of<int16_t>();
            return true;
        case DataSetType::int32:
            out = py::dtype::of<int32_t>();
            return true;
        case DataSetType::int64:
            out = py::dtype::of<int64_t>();
            return true;
        case DataSetType::uint8:
            out = py::dtype::of<uint8_t>();
            return true;
        case DataSetType::uint16:
            out = py::dtype::of<uint16_t>();
            return true;
        case DataSetType::uint32:
            out = py::dtype::of<uint32_t>();
            return true;
        case DataSetType::uint64:
            out = py::dtype::of<uint64_t>();
            return true;
        case DataSetType::float32:
            out = py::dtype::of<float>();
            return true;
        case DataSetType::float64:
            out = py::dtype::of<double>();
            return true;
        case DataSetType::table:
            if (!view.m_info.fields.empty() && view.m_info.fields.front().name == "Genome") {
                out = py::dtype::of<apps::AlignResults>();
                return true;
            }
            return false;
        default:
            return false;
    }
}

py::str string_of(const DataView& view) {
    if (view.m_source != nullptr) {
        return py::str(*view.m_source);
    }
    // A borrowed text without its string object: type_size counts the terminating NUL.
    if (view.m_data != nullptr && view.m_info.type_size > 0) {
        return py::str(static_cast<const char*>(view.m_data), static_cast<std::size_t>(view.m_info.type_size - 1));
    }
    return py::str("");
}

}  // namespace

py::dict metadata_to_dict(const Metadata& metadata) {
    const auto& entries = metadata.entries();
    // Sized once for every entry rather than grown step by step.
    auto out = py::reinterpret_steal<py::dict>(_PyDict_NewPresized(static_cast<Py_ssize_t>(entries.size())));
    if (!out) {
        throw py::error_already_set();
    }
    std::size_t position = 0;
    for (const auto& [key, stored_value] : entries) {
        const std::type_info& type = stored_value.type();
        if (const EntrySlot* slot = entry_slot(position++, key, type)) {
            if (const py::object value = python_value(stored_value, slot->kind)) {
                set_item(out, slot->name, value);
            }
        } else if (const py::object value = python_value(stored_value, kind_of(type))) {
            set_item(out, py::str(key), value);
        }
    }
    return out;
}

namespace {

/// Shape of the array a view becomes, after checking that the view's count, shape and data agree
/// with its type: the array is filled from the view's memory on the strength of them.
std::vector<py::ssize_t> checked_shape(const DataView& view, const py::dtype& type) {
    const DataSetInfo& info = view.m_info;
    const auto type_code = static_cast<uint32_t>(info.type);
    const auto itemsize = static_cast<uint64_t>(type.itemsize());
    if (itemsize != info.type_size) {
        throw std::runtime_error("Python data type size (" + std::to_string(itemsize) + ") for DataType " +
                                 std::to_string(type_code) + " does not match input data size (" +
                                 std::to_string(info.type_size) + ")");
    }
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
    if (is_matrix) {
        return {static_cast<py::ssize_t>(info.rows), static_cast<py::ssize_t>(info.cols)};
    }
    return {static_cast<py::ssize_t>(info.size)};
}

template <typename Datasets, typename Convert>
py::dict datasets_to_dict_with(Datasets& datasets, const Convert& to_array) {
    py::dict out;
    for (auto& [id, view] : datasets) {
        const auto number = static_cast<uint32_t>(id);
        if (number == 1 || number == 2 || number > 15) {
            continue;
        }
        if (view.m_info.type == DataSetType::string) {
            set_item(out, dataset_name(id), string_of(view));
        } else {
            set_item(out, dataset_name(id), to_array(view));
        }
    }
    return out;
}

}  // namespace

py::dict datasets_to_dict(const DataSetMap& datasets) {
    return datasets_to_dict_with(datasets, [](const DataView& view) { return dataview_to_ndarray(view); });
}

py::dict datasets_to_dict(DataSetMap&& datasets) {
    return datasets_to_dict_with(datasets, [](DataView& view) { return dataview_to_ndarray(std::move(view)); });
}

py::array dataview_to_ndarray(const DataView& view) {
    py::dtype type = py::dtype::of<double>();
    if (!numpy_type_of(view, type)) {
        return py::array_t<double>(0);
    }
    py::array out(type, checked_shape(view, type));
    if (view.m_info.size > 0) {
        std::memcpy(out.mutable_data(), view.m_data, view.m_info.size * view.m_info.type_size);
    }
    return out;
}

py::array dataview_to_ndarray(DataView&& view) {
    py::dtype type = py::dtype::of<double>();
    if (view.m_owner == nullptr || view.m_info.size == 0 || !numpy_type_of(view, type)) {
        return dataview_to_ndarray(static_cast<const DataView&>(view));
    }
    auto shape = checked_shape(view, type);
    void* const data = view.m_data;
    // The capsule frees the buffer with the array: the owner is the view's, made by whichever side
    // built the view, and its virtual destructor is that side's code.
    py::capsule keeper(view.m_owner.get(), [](void* owner) { delete static_cast<DataView::OwnerBase*>(owner); });
    static_cast<void>(view.m_owner.release());
    view.clear();
    return py::array(type, std::move(shape), {}, data, keeper);
}

namespace {

/// numpy's abstract scalar types, looked up once; never released, as the interpreter may be gone
/// by the time statics are destroyed.
struct NumpyScalarTypes {
    py::handle integer;
    py::handle floating;
    py::handle boolean;
};

const NumpyScalarTypes& numpy_scalar_types() {
    static const NumpyScalarTypes* types = [] {
        const auto numpy = py::module_::import("numpy");
        const auto kept = [&numpy](const char* name) { return py::object(numpy.attr(name)).release(); };
        return new NumpyScalarTypes{kept("integer"), kept("floating"), kept("bool_")};
    }();
    return *types;
}

bool is_instance(const py::handle& value, const py::handle& type) {
    const int outcome = PyObject_IsInstance(value.ptr(), type.ptr());
    if (outcome < 0) {
        throw py::error_already_set();
    }
    return outcome != 0;
}

template <typename T>
void store_integer(Metadata& metadata, const std::string& key, const py::handle& value, const char* range) {
    std::optional<T> number;
    if (is_integer(value)) {
        number = integer_value<T>(value);
    }
    if (!number) {
        throw py::cast_error("'" + key + "' takes an int " + range + ", got " + describe(value));
    }
    metadata.insert<T>(key, *number);
}

template <typename T>
void store_real(Metadata& metadata, const std::string& key, const py::handle& value) {
    const auto refused = [&] { return py::cast_error("'" + key + "' takes a float, got " + describe(value)); };
    if (!is_real(value) && !is_integer(value)) {
        throw refused();
    }
    const double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred() != nullptr) {
        PyErr_Clear();  // an int too large for a double
        throw refused();
    }
    metadata.insert<T>(key, static_cast<T>(number));
}

}  // namespace

bool is_integer(const py::handle& value) {
    if (PyBool_Check(value.ptr()) != 0) {
        return false;
    }
    return PyLong_Check(value.ptr()) != 0 || is_instance(value, numpy_scalar_types().integer);
}

bool is_real(const py::handle& value) {
    return PyFloat_Check(value.ptr()) != 0 || is_instance(value, numpy_scalar_types().floating);
}

bool is_boolean(const py::handle& value) {
    return PyBool_Check(value.ptr()) != 0 || is_instance(value, numpy_scalar_types().boolean);
}

std::string describe(const py::handle& borrowed) {
    // Held: its __repr__ may drop the last other reference.
    const auto value = py::reinterpret_borrow<py::object>(borrowed);
    const auto type = py::type::handle_of(value);
    std::string name = py::str(type.attr("__qualname__"));
    const std::string module = py::str(type.attr("__module__"));
    if (module != "builtins") {
        name = module + "." + name;
    }
    if (py::isinstance<py::array>(value)) {
        const auto array = py::reinterpret_borrow<py::array>(value);
        std::string shape;
        for (py::ssize_t i = 0; i < array.ndim(); ++i) {
            shape += (i == 0 ? "" : ", ") + std::to_string(array.shape(i));
        }
        if (array.ndim() == 1) {
            shape += ",";
        }
        return name + " of " + std::string(py::str(array.dtype())) + " with shape (" + shape + ")";
    }
    std::string text = py::repr(value);
    constexpr std::size_t longest = 60;
    if (text.size() > longest) {
        text = text.substr(0, longest) + "...";
    }
    return name + " (" + text + ")";
}

std::optional<std::string> utf8_of(const py::handle& text) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (bytes == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(bytes, static_cast<std::size_t>(size));
}

py::handle fixed_str(const char* text) {
    PyObject* made = PyUnicode_InternFromString(text);
    if (made == nullptr) {
        throw py::error_already_set();
    }
    return made;
}

void log_warning(const std::string& text) {
    py::module_::import("logging").attr("getLogger")("tessellpy").attr("warning")(text);
}

void set_metadata_from_python(Metadata& metadata, const std::string& key, const py::handle& borrowed, OptionType type) {
    // Held: the value's own methods, run while it is converted, may drop it from its dict.
    const auto value = py::reinterpret_borrow<py::object>(borrowed);
    switch (type) {
        case OptionType::string: {
            std::string text;
            if (py::isinstance<py::str>(value)) {
                const auto utf8 = utf8_of(value);
                if (!utf8) {
                    throw py::cast_error("'" + key + "' takes text that can be encoded as UTF-8, got " +
                                         describe(value));
                }
                text = *utf8;
            } else if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
                const py::list items(py::reinterpret_borrow<py::object>(value));
                bool joined = false;
                try {
                    joined = str_list_to_std_string(items, text);
                } catch (const py::cast_error& error) {
                    throw py::cast_error("'" + key + "': " + error.what());
                }
                if (!joined) {
                    throw py::cast_error("Could not convert python list to string: '" + key +
                                         "' takes a list of str, got " + describe(value));
                }
            } else if (!value.is_none()) {
                throw py::cast_error("'" + key + "' takes a str or a list of str, got " + describe(value));
            }
            metadata.insert(key, text);
            return;
        }
        case OptionType::boolean:
            // The truth value of any number, as the interpreter computes it; text and the like are not flags.
            if (!value.is_none() && !is_boolean(value) && PyNumber_Check(value.ptr()) == 0) {
                throw py::cast_error("'" + key + "' takes a bool, got " + describe(value));
            }
            metadata.insert<bool>(key, PyObject_IsTrue(value.ptr()) == 1);
            return;
        case OptionType::int32:
            store_integer<int32_t>(metadata, key, value, "from -2147483648 to 2147483647");
            return;
        case OptionType::uint32:
            store_integer<uint32_t>(metadata, key, value, "from 0 to 4294967295");
            return;
        case OptionType::int64:
            store_integer<int64_t>(metadata, key, value, "that fits 64 signed bits");
            return;
        case OptionType::uint64:
            store_integer<uint64_t>(metadata, key, value, "from 0 to 18446744073709551615");
            return;
        case OptionType::float32:
            store_real<float>(metadata, key, value);
            return;
        case OptionType::float64:
            store_real<double>(metadata, key, value);
            return;
    }
}

bool str_list_to_std_string(const py::list& list, std::string& out) {
    // A snapshot: an item's __repr__, run for a message, may change the list.
    const auto items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(list.ptr()));
    if (!items) {
        throw py::error_already_set();
    }
    for (const py::handle item : items) {
        if (!py::isinstance<py::str>(item)) {
            return false;
        }
        const auto text = utf8_of(item);
        if (!text) {
            throw py::cast_error("list item " + describe(item) + " cannot be encoded as UTF-8");
        }
        if (!out.empty()) {
            out += " ";
        }
        out += *text;
    }
    return true;
}

}  // namespace tessellpy
