#include "reference_server/signal_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

namespace reference_server {

namespace {

constexpr char bases[] = "ACGT";
constexpr double first_level = 70.0;

}  // namespace

std::size_t SignalModel::base_index(char base) {
    switch (base) {
    case 'A': return 0;
    case 'C': return 1;
    case 'G': return 2;
    case 'T': return 3;
    default: throw std::invalid_argument(std::string("Sequence holds a base other than A, C, G, T: '") + base + "'");
    }
}

char SignalModel::base_at(std::size_t index) { return bases[index & 3U]; }

double SignalModel::level(char base) { return first_level + level_spacing * static_cast<double>(base_index(base)); }

char SignalModel::nearest_base(double current, double* distance) {
    const double position = std::round((current - first_level) / level_spacing);
    const auto index = static_cast<std::size_t>(std::clamp(position, 0.0, 3.0));
    if (distance != nullptr) {
        *distance = std::fabs(current - (first_level + level_spacing * static_cast<double>(index)));
    }
    return bases[index];
}

int SignalModel::qscore_for_distance(double distance) {
    const long q = max_qscore - std::lround(3.0 * distance);
    return static_cast<int>(std::max(1L, q));
}

std::vector<std::int16_t> simulate_read(const std::string& sequence, const SimulationParameters& params) {
    if (sequence.empty()) {
        throw std::invalid_argument("Cannot simulate a read from an empty sequence");
    }
    if (params.model_stride == 0) {
        throw std::invalid_argument("Model stride must not be 0");
    }
    if (!(params.noise_bound >= 0.0 && params.noise_bound <= SignalModel::max_noise_bound)) {
        throw std::invalid_argument("Noise bound must lie between 0 and 9 pA for the read to be callable");
    }
    if (!(params.daq_scaling > 0.0F && params.daq_scaling <= SignalModel::max_daq_scaling)) {
        throw std::invalid_argument("daq_scaling must lie in (0, 2] for the read to be callable");
    }
    // The raw generator output is used directly (not a std distribution) so that a seed gives the
    // same read on every platform.
    std::mt19937 generator(params.seed);
    std::vector<std::int16_t> raw;
    raw.reserve(sequence.size() * params.model_stride);
    for (const char base : sequence) {
        const double level = SignalModel::level(base);
        for (std::uint32_t i = 0; i < params.model_stride; ++i) {
            const double unit = static_cast<double>(generator()) / 4294967295.0;  // [0, 1]
            const double current = level + params.noise_bound * (2.0 * unit - 1.0);
            const double sample = std::round(current / params.daq_scaling - params.daq_offset);
            if (sample < std::numeric_limits<std::int16_t>::min() || sample > std::numeric_limits<std::int16_t>::max()) {
                throw std::invalid_argument("daq_offset and daq_scaling put samples outside the 16-bit range");
            }
            raw.push_back(static_cast<std::int16_t>(sample));
        }
    }
    return raw;
}

std::string reverse_complement(const std::string& sequence) {
    std::string result(sequence.rbegin(), sequence.rend());
    for (char& base : result) {
        switch (base) {
        case 'A': base = 'T'; break;
        case 'C': base = 'G'; break;
        case 'G': base = 'C'; break;
        case 'T': base = 'A'; break;
        default: base = 'N'; break;
        }
    }
    return result;
}

CalledSequence call_read(const std::int16_t* raw, std::size_t count, float daq_offset, float daq_scaling,
                         std::uint32_t model_stride, const CallOptions& options) {
    if (model_stride == 0) {
        throw std::invalid_argument("Model stride must not be 0");
    }
    if (!(daq_scaling > 0.0F)) {
        throw std::invalid_argument("daq_scaling must be positive");
    }
    CalledSequence called;
    const std::size_t events = count / model_stride;
    const std::size_t used = events * model_stride;
    called.trimmed_samples = static_cast<std::uint32_t>(count - used);
    called.sequence.resize(events);
    called.qstring.resize(events);
    called.event_means.resize(events);
    if (options.with_moves_and_trace) {
        called.moves.assign(events, 1);
        called.trace.assign(events * SignalModel::trace_width, 0);
    }

    // The mean current of an event is the current of its mean raw value: summing integers is
    // exact and keeps the per-sample work to one addition.
    const double offset = daq_offset;
    const double scaling = daq_scaling;
    long long qscore_sum = 0;
    for (std::size_t event = 0; event < events; ++event) {
        const std::int16_t* samples = raw + event * model_stride;
        long long sum = 0;
        for (std::uint32_t i = 0; i < model_stride; ++i) {
            sum += samples[i];
        }
        const double mean = (static_cast<double>(sum) / model_stride + offset) * scaling;
        double distance = 0.0;
        const char base = SignalModel::nearest_base(mean, &distance);
        const int q = SignalModel::qscore_for_distance(distance);
        called.sequence[event] = base;
        called.qstring[event] = static_cast<char>(q + 33);
        called.event_means[event] = static_cast<float>(mean);
        qscore_sum += q;
        if (options.with_moves_and_trace) {
            // Flip probability of the called base, scaled by confidence; flop half stays 0.
            called.trace[event * SignalModel::trace_width + SignalModel::base_index(base)] =
                static_cast<std::uint8_t>(std::lround(255.0 * q / SignalModel::max_qscore));
        }
    }
    if (options.with_state_data) {
        called.state_data.resize(events * SignalModel::state_size);
        state_data_from_means(called.event_means.data(), events, called.state_data.data());
    }
    called.mean_qscore = events == 0 ? 0.0F : static_cast<float>(static_cast<double>(qscore_sum) / events);

    // Median and median absolute deviation of the current, found by selection on the raw values
    // (current is an increasing function of them), shifted to unsigned so that every deviation
    // fits the same buffer.
    if (used > 0) {
        std::vector<std::uint16_t> values(used);
        std::transform(raw, raw + used, values.begin(), [](std::int16_t sample) {
            return static_cast<std::uint16_t>(static_cast<int>(sample) + 32768);
        });
        const auto middle = values.begin() + static_cast<std::ptrdiff_t>(used / 2);
        std::nth_element(values.begin(), middle, values.end());
        const int median_value = *middle;
        for (auto& value : values) {
            value = static_cast<std::uint16_t>(std::abs(static_cast<int>(value) - median_value));
        }
        std::nth_element(values.begin(), middle, values.end());
        called.median_current = static_cast<float>((median_value - 32768 + offset) * scaling);
        called.med_abs_dev = static_cast<float>(*middle * scaling);
    }
    return called;
}

void state_data_from_means(const float* means, std::size_t events, float* out) {
    for (std::size_t event = 0; event < events; ++event) {
        for (std::size_t k = 0; k < SignalModel::state_size; ++k) {
            const double level = first_level + SignalModel::level_spacing * static_cast<double>(k);
            out[event * SignalModel::state_size + k] = static_cast<float>(-std::fabs(means[event] - level));
        }
    }
}

CalledSequence call_read_without_model(std::size_t count, std::uint32_t model_stride, const CallOptions& options) {
    if (model_stride == 0) {
        throw std::invalid_argument("Model stride must not be 0");
    }
    CalledSequence called;
    const std::size_t events = count / model_stride;
    called.trimmed_samples = static_cast<std::uint32_t>(count - events * model_stride);
    called.sequence.assign(events, 'A');
    called.qstring.assign(events, static_cast<char>(SignalModel::max_qscore + 33));
    called.mean_qscore = events == 0 ? 0.0F : static_cast<float>(SignalModel::max_qscore);
    if (options.with_moves_and_trace) {
        called.moves.assign(events, 1);
        called.trace.assign(events * SignalModel::trace_width, 0);
    }
    if (options.with_state_data) {
        called.state_data.assign(events * SignalModel::state_size, 0.0F);
    }
    return called;
}

}  // namespace reference_server
