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

bool is_int(const py::handle& value) { return PyLong_Check(value.ptr()) != 0; }
bool is_float(const py::handle& value) { return PyFloat_Check(value.ptr()) != 0; }

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

/// Stores one item; false when its value is refused. Unknown keys are accepted and ignored.
bool store_item(const std::string& key, const py::handle& value, vexil::Read& read) {
    auto& metadata = read.get_metadata();
    if (key == "read_tag") {
        if (!is_int(value)) {
            return false;
        }
        const auto tag = value.cast<int64_t>();
        if (tag < 0 || tag > static_cast<int64_t>(UINT32_MAX)) {
            return false;
        }
        read.set_read_tag(static_cast<unsigned long long>(tag));
    } else if (key == "raw_data") {
        std::vector<int16_t> samples;
        if (!copy_raw_data(value, samples)) {
            return false;
        }
        read.get_datasets().erase(dataset::raw_data);
        read.get_datasets().emplace(dataset::raw_data, bass::data_wrappers::DataView(std::move(samples)));
    } else if (key == "read_id") {
        if (!py::isinstance<py::str>(value)) {
            return false;
        }
        const auto text = value.cast<std::string>();
        if (text.empty()) {
            return false;
        }
        metadata.insert("read_id", text);
    } else if (key == "run_id") {
        if (!py::isinstance<py::str>(value)) {
            return false;
        }
        metadata.insert("run_id", value.cast<std::string>());
    } else if (key == "daq_offset" || key == "daq_scaling" || key == "scaling_med" || key == "scaling_mad" ||
               key == "sampling_rate") {
        if (!is_float(value)) {
            return false;
        }
        const std::string stored = key == "scaling_med"   ? "scaling_override_median"
                                   : key == "scaling_mad" ? "scaling_override_med_abs_dev"
                                                          : key;
        metadata.insert<float>(stored, value.cast<float>());
    } else if (key == "override_scaling") {
        if (!PyBool_Check(value.ptr())) {
            return false;
        }
        metadata.insert<bool>("scaling_override", value.cast<bool>());
    } else if (key == "channel" || key == "mux") {
        if (!is_int(value)) {
            return false;
        }
        const auto number = value.cast<int32_t>();
        if (key == "channel") {
            metadata.insert<int32_t>("channel", number);
        } else {
            metadata.insert<uint32_t>("mux", static_cast<uint32_t>(number));
        }
    } else if (key == "start_time" || key == "duration") {
        if (!is_int(value)) {
            return false;
        }
        metadata.insert<uint64_t>(key, value.cast<uint64_t>());
    }
    return true;
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
        py::module_::import("logging").attr("getLogger")("tessellpy").attr("warning")(message);
        return std::nullopt;
    }
}

}  // namespace

bool dict_to_readholder(const py::dict& source, vexil::Read& read) {
    static const std::set<std::string> required = {"read_tag", "raw_data", "read_id", "daq_offset", "daq_scaling"};
    std::set<std::string> stored;
    for (const auto& [key_object, value] : source) {
        const auto key = key_object.cast<std::string>();
        if (!store_item(key, value, read)) {
            return false;
        }
        if (required.count(key) != 0) {
            stored.insert(key);
        }
    }
    return stored.size() == required.size();
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
