#pragma once

#include "data_wrappers/map_wrapper.h"

#include <cstdint>
#include <stdexcept>
#include <string>

// Key types name one well-known metadata key each: `key` is the key text (the type's own name) and
// `value_type` the type its value is stored under. They serve only as the argument of Metadata::get.
#define VEXIL_METADATA_KEY(key_name, stored_type)       \
    struct key_name {                                   \
        using value_type = stored_type;                 \
        static constexpr const char* key = #key_name;   \
        static const char* name() { return #key_name; } \
    }

/// Values that describe a read as the caller or the server supplies it.
namespace read_data {
VEXIL_METADATA_KEY(read_id, std::string);
VEXIL_METADATA_KEY(run_id, std::string);
VEXIL_METADATA_KEY(filename, std::string);
VEXIL_METADATA_KEY(time_stamp, std::string);
VEXIL_METADATA_KEY(strand_id, std::string);
VEXIL_METADATA_KEY(duplex_strand_1, std::string);
VEXIL_METADATA_KEY(duplex_strand_2, std::string);
VEXIL_METADATA_KEY(daq_offset, float);
VEXIL_METADATA_KEY(daq_scaling, float);
VEXIL_METADATA_KEY(sampling_rate, float);
VEXIL_METADATA_KEY(channel, int32_t);
VEXIL_METADATA_KEY(mux, uint32_t);
VEXIL_METADATA_KEY(read_number, uint32_t);
VEXIL_METADATA_KEY(trimmed_samples, uint64_t);
VEXIL_METADATA_KEY(duration, uint64_t);
}  // namespace read_data

/// Values produced by basecalling.
namespace basecall_data {
VEXIL_METADATA_KEY(mean_qscore, float);
VEXIL_METADATA_KEY(scaling_median, float);
VEXIL_METADATA_KEY(scaling_med_abs_dev, float);
VEXIL_METADATA_KEY(sequence_length, uint64_t);
VEXIL_METADATA_KEY(state_size, uint64_t);
VEXIL_METADATA_KEY(trimmed_events, uint64_t);
VEXIL_METADATA_KEY(num_events, uint64_t);
VEXIL_METADATA_KEY(model_stride, uint64_t);
VEXIL_METADATA_KEY(base_mod_alphabet, std::string);
}  // namespace basecall_data

namespace client_options {
VEXIL_METADATA_KEY(move_and_trace_enabled, bool);
}  // namespace client_options

namespace vexil {
namespace config_details {
VEXIL_METADATA_KEY(duplex, bool);
}  // namespace config_details
}  // namespace vexil

#undef VEXIL_METADATA_KEY

namespace bass {
namespace data_wrappers {

// The key namespaces are reachable from inside the data wrappers too.
namespace read_data = ::read_data;
namespace basecall_data = ::basecall_data;
namespace client_options = ::client_options;
namespace config_details = ::vexil::config_details;

/// The record type of the system: read metadata, client parameters, connection options and
/// configuration details. A MapWrapper with typed access to the well-known keys.
class Metadata : public MapWrapper {
public:
    Metadata() = default;
    Metadata(const Metadata& other) = default;
    Metadata(Metadata&& other) noexcept = default;
    Metadata& operator=(const Metadata& other) = default;
    Metadata& operator=(Metadata&& other) noexcept = default;
    ~Metadata() = default;

    /// Takes the entries of `values` (left empty). With a non-empty schema, every entry whose key the
    /// schema lacks or whose type differs from the schema's is dropped silently.
    Metadata(MapWrapper&& values, const Schema& schema);

    /// The stored value of key type K. The reference allows changing the value in place; it stays
    /// valid until the entry is replaced or removed. std::out_of_range when the key is absent or
    /// holds a value of another type.
    template <typename K>
    typename K::value_type& get() const {
        typename K::value_type* value = nullptr;
        if (!extract<typename K::value_type>(K::key, value)) {
            throw std::out_of_range(std::string("Key '") + K::key + "' not found.");
        }
        return *value;
    }
};

}  // namespace data_wrappers
}  // namespace bass
