#include "reference_server/signal_model.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <stdexcept>
#include <utility>

namespace reference_server {

namespace {

constexpr char bases[] = "ACGT";
constexpr double first_level = 70.0;

/// The 0-based position, in counted order, of the element of rank `rank`.
std::size_t position_of_rank(const std::vector<std::uint32_t>& counts, std::size_t rank) {
    std::size_t seen = 0;
    for (std::size_t position = 0; position < counts.size(); ++position) {
        seen += counts[position];
        if (seen > rank) {
            return position;
        }
    }
    return counts.size() - 1;
}

/// Median (the element of rank count / 2) of raw values and the median of their absolute
/// deviations from it, in raw units, without sorting: by counting when the values span less than
/// their number (as a signal's do), else by selection.
std::pair<int, int> median_and_deviation(const std::int16_t* raw, std::size_t count) {
    const std::size_t rank = count / 2;
    const auto [lowest, highest] = std::minmax_element(raw, raw + count);
    const int low = *lowest;
    const int high = *highest;
    if (static_cast<std::size_t>(high - low) < count) {
        std::vector<std::uint32_t> counts(static_cast<std::size_t>(high - low) + 1);
        for (std::size_t i = 0; i < count; ++i) {
            ++counts[static_cast<std::size_t>(raw[i] - low)];
        }
        const int median = low + static_cast<int>(position_of_rank(counts, rank));
        std::vector<std::uint32_t> deviations(static_cast<std::size_t>(std::max(high - median, median - low)) + 1);
        for (int value = low; value <= high; ++value) {
            deviations[static_cast<std::size_t>(std::abs(value - median))] +=
                    counts[static_cast<std::size_t>(value - low)];
        }
        return {median, static_cast<int>(position_of_rank(deviations, rank))};
    }
    std::vector<int> values(raw, raw + count);
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(values.begin(), middle, values.end());
    const int median = *middle;
    for (auto& value : values) {
        value = std::abs(value - median);
    }
    std::nth_element(values.begin(), middle, values.end());
    return {median, *middle};
}

}  // namespace

std::size_t SignalModel::base_index(char base) {
    switch (base) {
        case 'A':
            return 0;
        case 'C':
            return 1;
        case 'G':
            return 2;
        case 'T':
            return 3;
        default:
            throw std::invalid_argument(std::string("Sequence holds a base other than A, C, G, T: '") + base + "'");
    }
}

char SignalModel::base_at(std::size_t index) { return bases[index & 3U]; }

double SignalModel::level(char base) { return first_level + level_spacing * static_cast<double>(base_index(base)); }

char SignalModel::nearest_base(double current, double* distance) {
    // The nearest level, rounding half up; below the first level (or not a number) is A.
    const double position = (current - first_level) / level_spacing + 0.5;
    std::size_t index = 0;
    if (position >= 3.0) {
        index = 3;
    } else if (position >= 1.0) {
        index = static_cast<std::size_t>(position);
    }
    if (distance != nullptr) {
        *distance = std::fabs(current - (first_level + level_spacing * static_cast<double>(index)));
    }
    return bases[index];
}

int SignalModel::qscore_for_distance(double distance) {
    // 3 * distance rounded half up (a distance is never negative); far off (or not a number) is 1.
    const double penalty = 3.0 * distance + 0.5;
    if (!(penalty < max_qscore)) {
        return 1;
    }
    return std::max(1, max_qscore - static_cast<int>(penalty));
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
            if (sample < std::numeric_limits<std::int16_t>::min() ||
                sample > std::numeric_limits<std::int16_t>::max()) {
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
            case 'A':
                base = 'T';
                break;
            case 'C':
                base = 'G';
                break;
            case 'G':
                base = 'C';
                break;
            case 'T':
                base = 'A';
                break;
            default:
                base = 'N';
                break;
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

    // Median and median absolute deviation of the current, taken on the raw values: current is an
    // increasing function of them.
    if (used > 0) {
        const auto [median, deviation] = median_and_deviation(raw, used);
        called.median_current = static_cast<float>((median + offset) * scaling);
        called.med_abs_dev = static_cast<float>(deviation * scaling);
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
