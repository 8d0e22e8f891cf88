#include "client_api/read_validation.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <typeinfo>

namespace vexil {

namespace {

using bass::data_wrappers::DataSetType;
using bass::data_wrappers::Metadata;

// The name of a stored value's type, as a caller would write it.
std::string type_name(const std::type_info& type) {
    static const std::pair<const std::type_info*, const char*> NAMES[] = {
            {&typeid(bool), "bool"},
            {&typeid(std::int8_t), "int8"},
            {&typeid(std::int16_t), "int16"},
            {&typeid(std::int32_t), "int32"},
            {&typeid(std::int64_t), "int64"},
            {&typeid(std::uint8_t), "uint8"},
            {&typeid(std::uint16_t), "uint16"},
            {&typeid(std::uint32_t), "uint32"},
            {&typeid(std::uint64_t), "uint64"},
            {&typeid(float), "float"},
            {&typeid(double), "double"},
            {&typeid(std::string), "string"},
    };
    for (const auto& [known, name] : NAMES) {
        if (*known == type) {
            return name;
        }
    }
    return type.name();
}

const char* dataset_type_name(DataSetType type) {
    static const char* const NAMES[] = {"int8",   "int16",   "int32",   "int64",        "uint8",  "uint16", "uint32",
                                        "uint64", "float32", "float64", "fixed_string", "string", "table",  "empty"};
    const auto index = static_cast<std::size_t>(type);
    return index < sizeof(NAMES) / sizeof(NAMES[0]) ? NAMES[index] : "unknown";
}

struct RequiredKey {
    const char* key;
    const std::type_info& type;
    const char* type_text;
    const char* missing_clause;
};

const RequiredKey ALWAYS[] = {
        {"read_id", typeid(std::string), "string", " read_id metadata field not found."},
        {"daq_offset", typeid(float), "float", " daq_offset field not found."},
        {"daq_scaling", typeid(float), "float", " daq_scaling metadata field not found."},
};
const RequiredKey DUPLEX[] = {
        {"channel", typeid(std::int32_t), "int32", " channel metadata field not found."},
        {"mux", typeid(std::uint32_t), "uint32", " mux metadata field not found."},
        {"run_id", typeid(std::string), "string", " run_id metadata field not found."},
        {"sampling_rate", typeid(float), "float", " sampling_rate metadata field not found."},
        {"start_time", typeid(std::uint64_t), "uint64", " start_time metadata field not found."},
};

// The long-standing texts for what is missing, one clause per absent item.
bool check_present(const interfaces::ReadHolder& read, bool duplex, std::string& message) {
    // The text is built only for a read that lacks something: every read passed is checked.
    std::string text;
    bool valid = true;
    const auto missing = [&](const char* clause) {
        if (valid) {
            text = "Missing data in ReadHolder object:";
            valid = false;
        }
        text += clause;
    };
    if (!read.has_dataset(dataset::raw_data)) {
        missing(" raw_data dataset not found.");
    }
    const auto check = [&](const RequiredKey& item) {
        if (!read.metadata.exists(item.key)) {
            missing(item.missing_clause);
        }
    };
    for (const auto& item : ALWAYS) {
        check(item);
    }
    if (duplex) {
        for (const auto& item : DUPLEX) {
            check(item);
        }
    }
    if (!valid) {
        message = std::move(text);
    }
    return valid;
}

std::string wrong_type(const Metadata& metadata, const RequiredKey& item) {
    const std::type_info& stored = metadata.check_type(item.key);
    if (stored == item.type) {
        return {};
    }
    return std::string(item.key) + " must be a " + item.type_text + ", not a " + type_name(stored) + ".";
}

std::string check_values(const interfaces::ReadHolder& read, bool duplex) {
    const Metadata& metadata = read.metadata;
    for (const auto& item : ALWAYS) {
        auto problem = wrong_type(metadata, item);
        if (!problem.empty()) {
            return problem;
        }
    }
    if (duplex) {
        for (const auto& item : DUPLEX) {
            auto problem = wrong_type(metadata, item);
            if (!problem.empty()) {
                return problem;
            }
        }
    }
    const auto& raw = read.get_dataset(dataset::raw_data);
    if (raw.m_info.type != DataSetType::int16 || raw.m_info.rows != 0 || raw.m_info.cols != 0) {
        return std::string("raw_data must be a one-dimensional int16 dataset, not ") +
               (raw.m_info.rows != 0 ? "a matrix of " : "") + dataset_type_name(raw.m_info.type) + ".";
    }
    if (raw.m_info.size == 0) {
        return "raw_data holds no samples.";
    }
    // A scale the server cannot use ends the whole connection, taking every read in flight with it.
    const float scaling = metadata.get_value<float>("daq_scaling");
    if (!std::isfinite(scaling) || scaling <= 0.0F) {
        return "daq_scaling must be a finite number above 0, not " + metadata.get_as_string("daq_scaling") + ".";
    }
    const float offset = metadata.get_value<float>("daq_offset");
    if (!std::isfinite(offset)) {
        return "daq_offset must be a finite number, not " + metadata.get_as_string("daq_offset") + ".";
    }
    // The server would return it as a part of the read under its tag, never as the read itself.
    if (read.sub_tag != 0) {
        return "read sub tag " + std::to_string(read.sub_tag) + " is not 0: only whole reads can be passed.";
    }
    return {};
}

}  // namespace

bool validate_read_record(const interfaces::ReadHolder& read, bool duplex, std::string& message) {
    if (!check_present(read, duplex, message)) {
        return false;
    }
    // Read-block messages carry 32 bits of the tag: a larger tag would come back as another read's.
    if (read.read_tag > std::numeric_limits<std::uint32_t>::max()) {
        message = "Read tag " + std::to_string(read.read_tag) + " does not fit in 32 bits (at most " +
                  std::to_string(std::numeric_limits<std::uint32_t>::max()) + ").";
        return false;
    }
    auto problem = check_values(read, duplex);
    if (!problem.empty()) {
        message = "Invalid data in ReadHolder object: " + std::move(problem);
        return false;
    }
    return true;
}

}  // namespace vexil
