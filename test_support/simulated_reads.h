#pragma once

#include "reference_server/signal_model.h"

#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

/// A read made by the reference server's simulator, so that it is called to exactly `sequence`.
struct TestRead {
    std::uint32_t tag = 0;
    std::string read_id;
    std::string sequence;
    std::vector<std::int16_t> raw;
    float daq_offset = 0.0F;
    float daq_scaling = 0.0F;
};

inline TestRead simulated_read(std::uint32_t tag, const std::string& sequence, std::uint32_t stride = 5,
                               std::uint32_t seed = 1) {
    reference_server::SimulationParameters params;
    params.model_stride = stride;
    params.seed = seed;
    params.daq_offset = 12.0F;
    params.daq_scaling = 0.4F;
    params.noise_bound = 4.0;
    TestRead read;
    read.tag = tag;
    read.read_id = "read_" + std::to_string(tag);
    read.sequence = sequence;
    read.raw = reference_server::simulate_read(sequence, params);
    read.daq_offset = params.daq_offset;
    read.daq_scaling = params.daq_scaling;
    return read;
}

inline std::string random_sequence(std::size_t length, std::uint32_t seed) {
    std::string sequence;
    std::uint32_t state = seed * 2654435761U + 1;
    for (std::size_t i = 0; i < length; ++i) {
        state = state * 1664525U + 1013904223U;
        sequence.push_back("ACGT"[(state >> 16) & 3U]);
    }
    return sequence;
}

}  // namespace test_support
