#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace reference_server {

/// The reference server's stand-in for a neural-network basecaller: a plain, exactly invertible
/// model of how bases become current.
///
/// Every base occupies exactly `model_stride` consecutive raw samples. Within those samples the
/// current (in pA) is the base's level plus noise whose magnitude never exceeds `noise_bound`:
///
///     A = 70 pA, C = 90 pA, G = 110 pA, T = 130 pA      (level spacing 20 pA)
///
/// Raw samples are signed 16-bit digitiser values; current = (raw + daq_offset) * daq_scaling, as
/// the read metadata keys "daq_offset" and "daq_scaling" describe. The simulator therefore writes
/// raw = round(current / daq_scaling - daq_offset).
///
/// Calling averages the current of each stride-long event and takes the nearest level. Noise and
/// rounding together stay below half the level spacing (noise_bound <= 9 pA and daq_scaling <= 2),
/// so a simulated read is called back to exactly its source sequence, one move per base.
/// Quality of a base falls with the distance of its mean current from the level it was called as:
/// q = max(1, 40 - round(3 * |mean - level|)), written as Phred+33.
class SignalModel {
public:
    static constexpr double level_spacing = 20.0;
    static constexpr double max_noise_bound = 9.0;
    static constexpr double max_daq_scaling = 2.0;
    static constexpr int max_qscore = 40;
    /// Bytes of trace data per event (four flip and four flop probabilities).
    static constexpr std::size_t trace_width = 8;
    /// State values per event: one per base.
    static constexpr std::size_t state_size = 4;

    /// Level of a base in pA; throws std::invalid_argument for anything but A, C, G, T.
    static double level(char base);
    /// Index 0..3 of a base in "ACGT"; throws std::invalid_argument for anything else.
    static std::size_t base_index(char base);
    static char base_at(std::size_t index);
    /// Nearest base to a current, and the distance to its level.
    static char nearest_base(double current, double* distance = nullptr);
    static int qscore_for_distance(double distance);
};

struct SimulationParameters {
    std::uint32_t model_stride = 5;
    float daq_offset = 10.0F;
    float daq_scaling = 0.5F;
    double noise_bound = 3.0;  ///< pA; 0 gives a noise-free read
    std::uint32_t seed = 1;
};

/// Turns a sequence into raw samples under the model. Throws std::invalid_argument for an empty
/// or non-ACGT sequence, a zero stride, a noise bound or scaling outside the invertible range, or
/// a sample that does not fit 16 bits.
std::vector<std::int16_t> simulate_read(const std::string& sequence, const SimulationParameters& params);

/// Reverse complement of an ACGT text (other characters map to 'N').
std::string reverse_complement(const std::string& sequence);

struct CallOptions {
    bool with_moves_and_trace = false;
    bool with_state_data = false;
};

/// Everything the basecaller produces for one read.
struct CalledSequence {
    std::string sequence;
    std::string qstring;
    std::vector<std::uint8_t> moves;    ///< one per event; empty unless asked for
    std::vector<std::uint8_t> trace;    ///< trace_width per event; empty unless asked for
    std::vector<float> state_data;      ///< state_size per event; empty unless asked for
    std::vector<float> event_means;     ///< mean current per event (model only), for state data on demand
    std::uint32_t trimmed_samples = 0;  ///< trailing samples that make no whole event
    float mean_qscore = 0.0F;
    float median_current = 0.0F;
    float med_abs_dev = 0.0F;
};

/// Calls a read under the model. A zero stride or a non-positive scaling throws std::invalid_argument.
CalledSequence call_read(const std::int16_t* raw, std::size_t count, float daq_offset, float daq_scaling,
                         std::uint32_t model_stride, const CallOptions& options);

/// State data of events [first_event, first_event + events) from their mean currents: per event,
/// the negated distance of its mean from each base's level, written to `out` (state_size per event).
void state_data_from_means(const float* means, std::size_t events, float* out);

/// The fast path for throughput measurements: does not look at the samples; the sequence is
/// one 'A' per event with a fixed quality.
CalledSequence call_read_without_model(std::size_t count, std::uint32_t model_stride, const CallOptions& options);

}  // namespace reference_server
