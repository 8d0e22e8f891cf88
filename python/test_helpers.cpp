#include "python/test_helpers.h"

#include "client_api/read.h"
#include "python/conversions.h"
#include "python/read_conversions.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

namespace tessellpy {

namespace {

using bass::data_wrappers::DataView;
using bass::data_wrappers::MatView;
using bass::data_wrappers::Metadata;

constexpr unsigned long long SAMPLE_READ_TAG = 4294967286ULL;

void fill_sample_datasets(DataSetMap& datasets) {
    std::vector<int16_t> raw(1000);
    std::iota(raw.begin(), raw.end(), int16_t{0});
    datasets.emplace(dataset::raw_data, DataView(std::move(raw)));

    constexpr std::size_t rows = 100;
    constexpr std::size_t cols = 40;
    std::vector<uint8_t> states(rows * cols, 128);
    const auto matrix = MatView<uint8_t>::view(states.data(), rows, cols, cols, 1);
    datasets.emplace(dataset::state_data, DataView(matrix, std::move(states)));

    datasets.emplace(dataset::sequence, DataView(std::string("ACGTCGTGTT")));
}

py::dict sample_metadata_dict() {
    Metadata metadata;
    metadata.insert("read_id", std::string("Test read-id"));
    metadata.insert<int32_t>("channel", 4);
    metadata.insert<float>("daq_scaling", 2.7F);
    metadata.insert<uint64_t>("duration", 12000450138ULL);
    return metadata_to_dict(metadata);
}

py::dict sample_datasets_dict() {
    DataSetMap datasets;
    fill_sample_datasets(datasets);
    return datasets_to_dict(datasets);
}

py::dict dict_through_read() {
    std::vector<int16_t> samples(100);
    std::iota(samples.begin(), samples.end(), int16_t{0});
    py::dict source;
    source["read_tag"] = py::int_(SAMPLE_READ_TAG);
    source["read_id"] = py::str("test_read");
    source["daq_offset"] = py::float_(1.5);
    source["daq_scaling"] = py::float_(2.5);
    source["override_scaling"] = py::bool_(true);
    source["scaling_med"] = py::float_(3.5);
    source["scaling_mad"] = py::float_(4.5);
    source["raw_data"] = py::array_t<int16_t>(static_cast<py::ssize_t>(samples.size()), samples.data());
    vexil::Read read;
    std::string reason;
    if (!dict_to_readholder(source, read, reason)) {
        return py::dict();
    }
    return readholder_to_dict(read);
}

py::dict sample_read_dict() {
    vexil::Read read;
    read.set_read_tag(SAMPLE_READ_TAG);
    read.set_priority(vexil::Read::MEDIUM_PRIORITY);
    auto& metadata = read.get_metadata();
    metadata.insert("read_id", std::string("Test read-id"));
    metadata.insert<int32_t>("channel", 4);
    metadata.insert<float>("daq_offset", 1.8F);
    metadata.insert<float>("daq_scaling", 2.7F);
    metadata.insert<uint64_t>("duration", 12000450138ULL);
    fill_sample_datasets(read.get_datasets());
    return readholder_to_dict(read);
}

py::tuple concatenated(const py::list& items) {
    std::string joined;
    const bool success = str_list_to_std_string(items, joined);
    return py::make_tuple(success, joined);
}

py::dict sample_config_details_dict() {
    Metadata config;
    config.insert("config_name", std::string("test_config_filename.cfg"));
    config.insert("model_type", std::string("test_model_type"));
    config.insert("model_version_id", std::string("test_model_version_id"));
    config.insert<uint64_t>("model_stride", 1);
    config.insert<uint64_t>("label_length", 1);
    config.insert<float>("temp_weight", 1.0F);
    config.insert<float>("temp_bias", 0.0F);
    config.insert<float>("qscore_scale", 1.0F);
    config.insert<float>("qscore_offset", 0.0F);
    config.insert<bool>("int8_mode", false);
    config.insert<bool>("duplex", false);
    return metadata_to_dict(config);
}

}  // namespace

void register_test_helpers(py::module_& module) {
    module.def("test_metadata_to_dict", &sample_metadata_dict,
               "Helper function for use in testing conversion of Metadata objects to a Python dicts");
    module.def("test_datasets_to_dict", &sample_datasets_dict,
               "Helper function for use in testing conversion of DatasetMap objects to Python dicts.");
    module.def("test_dict_to_readholder", &dict_through_read,
               "Helper function for use in testing conversion of python dict to ReadHolder object.");
    module.def("test_readholder_to_dict", &sample_read_dict,
               "Helper function for use in testing conversion of a ReadHolder object to a python dict.");
    module.def("test_str_list_concat", &concatenated, py::arg("items"),
               "Helper function for use in testing the str_list_to_std_string() function.");
    module.def("test_config_details_to_dict", &sample_config_details_dict,
               "Helper function for use in testing the config_details_to_dict() function.");
}

}  // namespace tessellpy
