#include "python/read_conversions.h"

#include "python/conversions.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tessellpy {

namespace {

/// Copies a one-dimensional int16 array element by element, whatever its stride.
bool copy_raw_data(const py::handle& value, std::vector<int16_t>& samples) {
    if (!py::isinstance<py::array_t<int16_t>>(value)) {
        return false;
    }
    const auto array = py::reinterpret_borrow<py::array>(value);
    if (array.ndim() != 1) {
        return false;
    }
    const auto elements = array.unchecked<int16_t, 1>();
    samples.resize(static_cast<std::size_t>(elements.shape(0)));
    for (py::ssize_t i = 0; i < elements.shape(0); ++i) {
        samples[static_cast<std::size_t>(i)] = elements(i);
    }
    return true;
}

std::string refusal(const std::string& key, const char* takes, const py::handle& value) {
    return "'" + key + "' takes " + takes + ", got " + describe(value);
}

/// A value the stored type cannot represent is an error rather than a refusal: it names the key.
template <typename T>
T integer_or_raise(const std::string& key, const py::handle& value, const char* type_name) {
    const auto number = integer_value<T>(value);
    if (!number) {
        throw py::cast_error("read dict key '" + key + "': " + describe(value) + " does not fit " + type_name);
    }
    return *number;
}

std::string text_or_raise(const std::string& key, const py::handle& value) {
    const auto text = utf8_of(value);
    if (!text) {
        throw py::cast_error("read dict key '" + key + "': " + describe(value) + " cannot be encoded as UTF-8");
    }
    return *text;
}

/// Stores one item; returns why its value was refused, or nothing. Unknown keys are ignored.
std::optional<std::string> store_item(const std::string& key, const py::handle& value, vexil::Read& read) {
    auto& metadata = read.get_metadata();
    if (key == "read_tag") {
        constexpr const char* takes = "an int from 0 to 4294967295";
        if (!is_integer(value)) {
            return refusal(key, takes, value);
        }
        const auto tag = integer_or_raise<int64_t>(key, value, "a signed 64-bit integer");
        if (tag < 0 || tag > static_cast<int64_t>(UINT32_MAX)) {
            return refusal(key, takes, value);
        }
        read.set_read_tag(static_cast<unsigned long long>(tag));
    } else if (key == "raw_data") {
        std::vector<int16_t> samples;
        if (!copy_raw_data(value, samples)) {
            return refusal(key, "a one-dimensional numpy array of int16", value);
        }
        read.get_datasets().erase(dataset::raw_data);
        read.get_datasets().emplace(dataset::raw_data, bass::data_wrappers::DataView(std::move(samples)));
    } else if (key == "read_id") {
        if (!py::isinstance<py::str>(value) || py::len(value) == 0) {
            return refusal(key, "a non-empty str", value);
        }
        metadata.insert("read_id", text_or_raise(key, value));
    } else if (key == "run_id") {
        if (!py::isinstance<py::str>(value)) {
            return refusal(key, "a str", value);
        }
        metadata.insert("run_id", text_or_raise(key, value));
    } else if (key == "daq_offset" || key == "daq_scaling" || key == "scaling_med" || key == "scaling_mad" ||
               key == "sampling_rate") {
        // An int is refused: a digitiser offset of 0 is more likely a mistake than a value.
        if (!is_real(value)) {
            return refusal(key, "a float (a Python float or a numpy floating-point scalar)", value);
        }
        const std::string stored = key == "scaling_med"   ? "scaling_override_median"
                                   : key == "scaling_mad" ? "scaling_override_med_abs_dev"
                                                          : key;
        metadata.insert<float>(stored, static_cast<float>(PyFloat_AsDouble(value.ptr())));
    } else if (key == "override_scaling") {
        if (!is_boolean(value)) {
            return refusal(key, "a bool", value);
        }
        metadata.insert<bool>("scaling_override", PyObject_IsTrue(value.ptr()) == 1);
    } else if (key == "channel" || key == "mux") {
        if (!is_integer(value)) {
            return refusal(key, "an int", value);
        }
        const auto number = integer_or_raise<int32_t>(key, value, "a signed 32-bit integer");
        if (key == "channel") {
            metadata.insert<int32_t>("channel", number);
        } else {
            metadata.insert<uint32_t>("mux", static_cast<uint32_t>(number));
        }
    } else if (key == "start_time" || key == "duration") {
        if (!is_integer(value)) {
            return refusal(key, "an int", value);
        }
        metadata.insert<uint64_t>(key, integer_or_raise<uint64_t>(key, value, "an unsigned 64-bit integer"));
    }
    return std::nullopt;
}

std::string key_or_raise(const py::handle& key) {
    if (py::isinstance<py::bytes>(key)) {
        return key.cast<std::string>();
    }
    if (!py::isinstance<py::str>(key)) {
        throw py::cast_error("read dict key " + describe(key) + " is not a str");
    }
    const auto text = utf8_of(key);
    if (!text) {
        throw py::cast_error("read dict key " + describe(key) + " cannot be encoded as UTF-8");
    }
    return *text;
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
    static const char* const required[] = {"read_tag", "raw_data", "read_id", "daq_offset", "daq_scaling"};
    std::set<std::string> stored;
    for (const auto& [key_object, value] : source) {
        const auto key = key_or_raise(key_object);
        if (auto refused = store_item(key, value, read)) {
            reason = std::move(*refused);
            return false;
        }
        stored.insert(key);
    }
    std::string missing;
    for (const char* key : required) {
        if (stored.count(key) == 0) {
            missing += std::string(missing.empty() ? "" : ", ") + "'" + key + "'";
        }
    }
    if (!missing.empty()) {
        reason = "required key(s) missing: " + missing;
        return false;
    }
    return true;
}

py::dict readholder_to_dict(const vexil::Read& read) {
    py::dict out;
    out["read_tag"] = py::int_(read.get_read_tag());
    out["sub_tag"] = py::int_(read.get_sub_tag());
    out["priority"] = py::cast(read.get_priority());
    out["metadata"] = metadata_to_dict(read.get_metadata());
    out["datasets"] = datasets_to_dict(read.get_datasets());
    return out;
}

}  // namespace tessellpy

namespace tessellpy {

py::list completed_reads_to_list(const std::vector<std::vector<vexil::Read>>& groups) {
    py::list out;
    for (const auto& group : groups) {
        py::list reads;
        for (const auto& read : group) {
            py::dict read_dict = readholder_to_dict(read);
            if (read.has_alignment_data() || read.get_datasets().count(dataset::base_mod_probs) != 0) {
                if (const auto sam = sam_record_of(read)) {
                    read_dict["metadata"].cast<py::dict>()["alignment_sam_record"] = py::str(*sam);
                }
            }
            reads.append(std::move(read_dict));
        }
        out.append(std::move(reads));
    }
    return out;
}

}  // namespace tessellpy
