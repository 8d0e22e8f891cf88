#include "python/read_conversions.h"

#include "python/conversions.h"

#include <pybind11/numpy.h>

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace tessellpy {

namespace {

/// Copies a one-dimensional int16 array, whatever its stride: a contiguous one in one piece.
bool copy_raw_data(const py::handle& value, std::vector<int16_t>& samples) {
    if (!py::isinstance<py::array_t<int16_t>>(value)) {
        return false;
    }
    const auto array = py::reinterpret_borrow<py::array>(value);
    if (array.ndim() != 1) {
        return false;
    }
    const auto count = static_cast<std::size_t>(array.shape(0));
    if (array.strides(0) == static_cast<py::ssize_t>(sizeof(int16_t))) {
        const auto* first = static_cast<const int16_t*>(array.data());
        samples.assign(first, first + count);
        return true;
    }
    const auto elements = array.unchecked<int16_t, 1>();
    samples.resize(count);
    for (py::ssize_t i = 0; i < elements.shape(0); ++i) {
        samples[static_cast<std::size_t>(i)] = elements(i);
    }
    return true;
}

std::string refusal(std::string_view key, const char* takes, const py::handle& value) {
    return "'" + std::string(key) + "' takes " + takes + ", got " + describe(value);
}

/// A value the stored type cannot represent is an error rather than a refusal: it names the key.
template <typename T>
T integer_or_raise(std::string_view key, const py::handle& value, const char* type_name) {
    const auto number = integer_value<T>(value);
    if (!number) {
        throw py::cast_error("read dict key '" + std::string(key) + "': " + describe(value) + " does not fit " +
                             type_name);
    }
    return *number;
}

std::string text_or_raise(std::string_view key, const py::handle& value) {
    const auto text = utf8_of(value);
    if (!text) {
        throw py::cast_error("read dict key '" + std::string(key) + "': " + describe(value) +
                             " cannot be encoded as UTF-8");
    }
    return *text;
}

enum class Key : unsigned {
    read_tag,
    raw_data,
    read_id,
    daq_offset,
    daq_scaling,
    run_id,
    scaling_med,
    scaling_mad,
    sampling_rate,
    override_scaling,
    channel,
    mux,
    start_time,
    duration,
    unknown,
};

constexpr unsigned bit(Key key) { return 1U << static_cast<unsigned>(key); }

/// Keys are matched as they come, without a std::string each: a read dict is converted per read.
Key key_of(std::string_view text) {
    static constexpr std::pair<std::string_view, Key> known[] = {
            {"read_tag", Key::read_tag},
            {"raw_data", Key::raw_data},
            {"read_id", Key::read_id},
            {"daq_offset", Key::daq_offset},
            {"daq_scaling", Key::daq_scaling},
            {"run_id", Key::run_id},
            {"scaling_med", Key::scaling_med},
            {"scaling_mad", Key::scaling_mad},
            {"sampling_rate", Key::sampling_rate},
            {"override_scaling", Key::override_scaling},
            {"channel", Key::channel},
            {"mux", Key::mux},
            {"start_time", Key::start_time},
            {"duration", Key::duration},
    };
    for (const auto& [name, key] : known) {
        if (name == text) {
            return key;
        }
    }
    return Key::unknown;
}

/// The metadata names, made once; some are too long for the short-string buffer.
const std::string& stored_name(Key key) {
    // In the order of Key.
    static const std::string names[] = {"read_tag",
                                        "raw_data",
                                        "read_id",
                                        "daq_offset",
                                        "daq_scaling",
                                        "run_id",
                                        "scaling_override_median",
                                        "scaling_override_med_abs_dev",
                                        "sampling_rate",
                                        "scaling_override",
                                        "channel",
                                        "mux",
                                        "start_time",
                                        "duration"};
    return names[static_cast<unsigned>(key)];
}

std::optional<std::string> store_read_tag(std::string_view key, const py::handle& value, vexil::Read& read) {
    constexpr const char* takes = "an int from 0 to 4294967295";
    if (!is_integer(value)) {
        return refusal(key, takes, value);
    }
    const auto tag = integer_or_raise<int64_t>(key, value, "a signed 64-bit integer");
    if (tag < 0 || tag > static_cast<int64_t>(UINT32_MAX)) {
        return refusal(key, takes, value);
    }
    read.set_read_tag(static_cast<unsigned long long>(tag));
    return std::nullopt;
}

std::optional<std::string> store_raw_data(std::string_view key, const py::handle& value, vexil::Read& read) {
    std::vector<int16_t> samples;
    if (!copy_raw_data(value, samples)) {
        return refusal(key, "a one-dimensional numpy array of int16", value);
    }
    read.get_datasets().erase(dataset::raw_data);
    read.get_datasets().emplace(dataset::raw_data, bass::data_wrappers::DataView(std::move(samples)));
    return std::nullopt;
}

std::optional<std::string> store_channel_or_mux(Key id, std::string_view key, const py::handle& value,
                                                bass::data_wrappers::Metadata& metadata) {
    if (!is_integer(value)) {
        return refusal(key, "an int", value);
    }
    // Neither is ever negative: a wrapped -1 would pass as a real channel or mux.
    if (id == Key::channel) {
        const auto number = integer_or_raise<int32_t>(key, value, "a channel number from 0 to 2147483647");
        if (number < 0) {
            throw py::cast_error("read dict key 'channel': " + describe(value) +
                                 " does not fit a channel number from 0 to 2147483647");
        }
        metadata.insert<int32_t>(stored_name(id), number);
    } else {
        metadata.insert<uint32_t>(stored_name(id),
                                  integer_or_raise<uint32_t>(key, value, "an unsigned 32-bit integer"));
    }
    return std::nullopt;
}

/// Stores one item; returns why its value was refused, or nothing. Unknown keys are ignored.
std::optional<std::string> store_item(Key id, std::string_view key, const py::handle& value, vexil::Read& read) {
    auto& metadata = read.get_metadata();
    switch (id) {
        case Key::read_tag:
            return store_read_tag(key, value, read);
        case Key::raw_data:
            return store_raw_data(key, value, read);
        case Key::read_id:
            if (!py::isinstance<py::str>(value) || py::len(value) == 0) {
                return refusal(key, "a non-empty str", value);
            }
            metadata.insert(stored_name(id), text_or_raise(key, value));
            break;
        case Key::run_id:
            if (!py::isinstance<py::str>(value)) {
                return refusal(key, "a str", value);
            }
            metadata.insert(stored_name(id), text_or_raise(key, value));
            break;
        case Key::daq_offset:
        case Key::daq_scaling:
        case Key::scaling_med:
        case Key::scaling_mad:
        case Key::sampling_rate:
            // An int is refused: a digitiser offset of 0 is more likely a mistake than a value.
            if (!is_real(value)) {
                return refusal(key, "a float (a Python float or a numpy floating-point scalar)", value);
            }
            metadata.insert<float>(stored_name(id), static_cast<float>(PyFloat_AsDouble(value.ptr())));
            break;
        case Key::override_scaling:
            if (!is_boolean(value)) {
                return refusal(key, "a bool", value);
            }
            metadata.insert<bool>(stored_name(id), PyObject_IsTrue(value.ptr()) == 1);
            break;
        case Key::channel:
        case Key::mux:
            return store_channel_or_mux(id, key, value, metadata);
        case Key::start_time:
        case Key::duration:
            if (!is_integer(value)) {
                return refusal(key, "an int", value);
            }
            metadata.insert<uint64_t>(stored_name(id),
                                      integer_or_raise<uint64_t>(key, value, "an unsigned 64-bit integer"));
            break;
        case Key::unknown:
            break;
    }
    return std::nullopt;
}

/// The key's UTF-8 text, borrowed from the key object (which the dict keeps alive); nothing for a key
/// that is not a str, which names no field and is ignored like any other unknown key.
std::optional<std::string_view> field_name_of(const py::handle& key) {
    if (PyUnicode_Check(key.ptr()) == 0) {
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
    if (text == nullptr) {
        PyErr_Clear();  // lone surrogates: not a field name either
        return std::nullopt;
    }
    return std::string_view(text, static_cast<std::size_t>(size));
}

/// The read's SAM lines joined by line breaks; empty when they cannot be built (logged).
std::optional<std::string> sam_record_of(const vexil::Read& read) {
    try {
        std::string text;
        for (const auto& line : read.extract_sam_and_bed_lines(5.0F)) {
            if (!text.empty()) {
                text += "\n";
            }
            text += line.sam_line;
        }
        return text;
    } catch (const std::exception& error) {
        const std::string message = "Could not build the SAM record of read '" + read.get_by_name("read_id") +
                                    "' (tag " + std::to_string(read.get_read_tag()) + "): " + error.what();
        log_warning(message);
        return std::nullopt;
    }
}

}  // namespace

bool dict_to_readholder(const py::dict& source, vexil::Read& read, std::string& reason) {
    static constexpr Key required[] = {Key::read_tag, Key::raw_data, Key::read_id, Key::daq_offset, Key::daq_scaling};
    unsigned stored = 0;
    const auto size = PyDict_Size(source.ptr());
    for (const auto& [key_handle, value_handle] : source) {
        // Both held: the caller's code run by the conversion (an __index__, a __len__, a __repr__ for a
        // message) may drop them from the dict. The key's text is borrowed from it.
        const auto key_object = py::reinterpret_borrow<py::object>(key_handle);
        const auto value = py::reinterpret_borrow<py::object>(value_handle);
        const auto key = field_name_of(key_object);
        if (!key) {
            continue;
        }
        const Key id = key_of(*key);
        auto refused = store_item(id, *key, value, read);
        if (PyDict_Size(source.ptr()) != size) {
            throw std::runtime_error("the read dict changed size while it was converted");
        }
        if (refused) {
            reason = std::move(*refused);
            return false;
        }
        if (id != Key::unknown) {
            stored |= bit(id);
        }
    }
    std::string missing;
    for (const Key key : required) {
        if ((stored & bit(key)) == 0) {
            missing += std::string(missing.empty() ? "" : ", ") + "'" + stored_name(key) + "'";
        }
    }
    if (!missing.empty()) {
        reason = "required key(s) missing: " + missing;
        return false;
    }
    return true;
}

namespace {

/// The read_priority object of a priority. An enum object cannot change, so each of the usual values
/// is made once (and never released, as the interpreter may be gone by the time statics are
/// destroyed); making one goes through pybind11's registry of instances.
py::object priority_object(vexil::Read::Priority priority) {
    constexpr int lowest = -1;
    static std::array<PyObject*, 4> made{};
    const int index = static_cast<int>(priority) - lowest;
    if (index < 0 || index >= static_cast<int>(made.size())) {
        return py::cast(priority);
    }
    if (made[static_cast<std::size_t>(index)] == nullptr) {
        made[static_cast<std::size_t>(index)] = py::cast(priority).release().ptr();
    }
    return py::reinterpret_borrow<py::object>(made[static_cast<std::size_t>(index)]);
}

template <typename Read>
py::dict read_to_dict(Read&& read) {
    static const py::handle read_tag = fixed_str("read_tag");
    static const py::handle sub_tag = fixed_str("sub_tag");
    static const py::handle priority = fixed_str("priority");
    static const py::handle metadata = fixed_str("metadata");
    static const py::handle datasets = fixed_str("datasets");
    py::dict out;
    set_item(out, read_tag, py::int_(read.get_read_tag()));
    set_item(out, sub_tag, py::int_(read.get_sub_tag()));
    set_item(out, priority, priority_object(read.get_priority()));
    set_item(out, metadata, metadata_to_dict(read.get_metadata()));
    if constexpr (std::is_const<std::remove_reference_t<Read>>::value) {
        set_item(out, datasets, datasets_to_dict(read.get_datasets()));
    } else {
        set_item(out, datasets, datasets_to_dict(std::move(read.get_datasets())));
    }
    return out;
}

}  // namespace

py::dict readholder_to_dict(const vexil::Read& read) { return read_to_dict(read); }

bool read_list_to_readholders(const py::list& read_dicts, std::vector<vexil::Read>& reads, std::string& reason) {
    // A snapshot holds every item: the caller's code run by a conversion (a mapping's keys(), another
    // thread it lets in) may empty or grow the list meanwhile.
    const auto items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(read_dicts.ptr()));
    if (!items) {
        throw py::error_already_set();
    }
    reads.reserve(items.size());
    for (const py::handle item : items) {
        py::dict read_dict;
        if (py::isinstance<py::dict>(item)) {
            read_dict = py::reinterpret_borrow<py::dict>(item);
        } else {
            try {
                read_dict = py::dict(py::reinterpret_borrow<py::object>(item));
            } catch (py::error_already_set& error) {
                const std::string what = error.what();
                throw py::type_error("pass_reads takes a list of read dicts; item " + std::to_string(reads.size()) +
                                     " is " + describe(item) + ", which is not a dict (" + what + ")");
            }
        }
        reads.emplace_back();
        if (!dict_to_readholder(read_dict, reads.back(), reason)) {
            reason = "read " + std::to_string(reads.size() - 1) + ": " + reason;
            return false;
        }
    }
    return true;
}

py::dict readholder_to_dict(vexil::Read&& read) { return read_to_dict(read); }

}  // namespace tessellpy

namespace tessellpy {

namespace {

/// `Group` is a const or a movable vector of reads; from a movable one, arrays take over the buffers
/// of the reads' datasets.
template <typename Group>
py::list group_to_list(Group& group) {
    static const py::handle metadata = fixed_str("metadata");
    static const py::handle sam_record = fixed_str("alignment_sam_record");
    py::list reads(static_cast<py::ssize_t>(group.size()));
    py::ssize_t index = 0;
    for (auto& read : group) {
        // Built while the read is whole.
        std::optional<std::string> sam;
        if (read.has_alignment_data() || read.get_datasets().count(dataset::base_mod_probs) != 0) {
            sam = sam_record_of(read);
        }
        py::dict read_dict = readholder_to_dict(std::move(read));
        if (sam) {
            set_item(py::reinterpret_borrow<py::dict>(PyDict_GetItem(read_dict.ptr(), metadata.ptr())), sam_record,
                     py::str(*sam));
        }
        PyList_SET_ITEM(reads.ptr(), index++, read_dict.release().ptr());
    }
    return reads;
}

}  // namespace

py::list completed_reads_to_list(const std::vector<std::vector<vexil::Read>>& groups) {
    py::list out(static_cast<py::ssize_t>(groups.size()));
    py::ssize_t index = 0;
    for (const auto& group : groups) {
        PyList_SET_ITEM(out.ptr(), index++, group_to_list(group).release().ptr());
    }
    return out;
}

py::list completed_reads_to_list(std::vector<std::vector<vexil::Read>>&& groups) {
    py::list out(static_cast<py::ssize_t>(groups.size()));
    py::ssize_t index = 0;
    for (auto& group : groups) {
        PyList_SET_ITEM(out.ptr(), index++, group_to_list(group).release().ptr());
        // Freed at once, the group's buffers serve the next group's arrays, already mapped and cached.
        std::vector<vexil::Read>().swap(group);
    }
    return out;
}

}  // namespace tessellpy
