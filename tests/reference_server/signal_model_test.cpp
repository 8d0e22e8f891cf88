#include "reference_server/signal_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

using namespace reference_server;

namespace {

std::string random_sequence(std::mt19937& generator, std::size_t length) {
    std::string sequence;
    for (std::size_t i = 0; i < length; ++i) {
        sequence.push_back("ACGT"[generator() & 3U]);
    }
    return sequence;
}

CalledSequence call(const std::vector<std::int16_t>& raw, const SimulationParameters& params,
                    CallOptions options = {}) {
    return call_read(raw.data(), raw.size(), params.daq_offset, params.daq_scaling, params.model_stride, options);
}

}  // namespace

TEST(SignalModel, SimulatedReadsCallBackToTheirExactSequenceAcrossParameters) {
    std::mt19937 generator(7);
    for (const std::uint32_t stride : {1U, 2U, 5U, 10U}) {
        for (const float scaling : {0.1F, 0.5F, 1.0F, 2.0F}) {
            for (const double noise : {0.0, 4.0, 9.0}) {
                SimulationParameters params;
                params.model_stride = stride;
                params.daq_scaling = scaling;
                params.daq_offset = -25.0F;
                params.noise_bound = noise;
                params.seed = generator();
                const std::string sequence = random_sequence(generator, 300);
                const auto raw = simulate_read(sequence, params);
                ASSERT_EQ(sequence.size() * stride, raw.size());
                const auto called = call(raw, params, {true, true});
                EXPECT_EQ(sequence, called.sequence)
                        << "stride " << stride << " scaling " << scaling << " noise " << noise;
                EXPECT_EQ(sequence.size(), called.qstring.size());
                EXPECT_EQ(std::vector<std::uint8_t>(sequence.size(), 1), called.moves);
                EXPECT_EQ(sequence.size() * SignalModel::trace_width, called.trace.size());
                EXPECT_EQ(sequence.size() * SignalModel::state_size, called.state_data.size());
                EXPECT_EQ(0U, called.trimmed_samples);
            }
        }
    }
}

TEST(SignalModel, QualitiesFallWithNoiseAndNoiseFreeReadsHaveTopQuality) {
    SimulationParameters params;
    params.noise_bound = 0.0;
    params.daq_scaling = 0.25F;
    const std::string sequence = "ACGTTGCAACGGT";
    const auto clean = call(simulate_read(sequence, params), params);
    EXPECT_EQ(std::string(sequence.size(), static_cast<char>(SignalModel::max_qscore + 33)), clean.qstring);
    EXPECT_FLOAT_EQ(static_cast<float>(SignalModel::max_qscore), clean.mean_qscore);

    params.noise_bound = 9.0;
    params.model_stride = 1;  // no averaging, so the noise shows in every base
    const auto noisy = call(simulate_read(std::string(200, 'G'), params), params);
    EXPECT_LT(noisy.mean_qscore, clean.mean_qscore);
    for (const char q : noisy.qstring) {
        EXPECT_GE(q, 33 + 1);
        EXPECT_LE(q, 33 + SignalModel::max_qscore);
    }
}

TEST(SignalModel, SameSeedGivesSameReadAndDifferentSeedsDiffer) {
    SimulationParameters params;
    params.noise_bound = 5.0;
    const auto first = simulate_read("ACGTACGTAC", params);
    EXPECT_EQ(first, simulate_read("ACGTACGTAC", params));
    params.seed = 2;
    EXPECT_NE(first, simulate_read("ACGTACGTAC", params));
}

TEST(SignalModel, RawFollowsTheDigitiserConvention) {
    SimulationParameters params;
    params.noise_bound = 0.0;
    params.daq_offset = 10.0F;
    params.daq_scaling = 0.5F;
    params.model_stride = 1;
    // current = (raw + offset) * scaling, so raw = current / scaling - offset.
    EXPECT_EQ((std::vector<std::int16_t>{130, 170, 210, 250}), simulate_read("ACGT", params));
}

TEST(SignalModel, TrailingSamplesThatMakeNoWholeEventAreTrimmed) {
    SimulationParameters params;
    params.model_stride = 4;
    auto raw = simulate_read("GATTACA", params);
    raw.push_back(raw.back());
    raw.push_back(raw.back());
    const auto called = call(raw, params);
    EXPECT_EQ("GATTACA", called.sequence);
    EXPECT_EQ(2U, called.trimmed_samples);
}

TEST(SignalModel, OptionalDataIsOnlyProducedWhenAsked) {
    SimulationParameters params;
    const auto called = call(simulate_read("ACGT", params), params);
    EXPECT_TRUE(called.moves.empty());
    EXPECT_TRUE(called.trace.empty());
    EXPECT_TRUE(called.state_data.empty());
}

TEST(SignalModel, StateDataIsTheDistanceToEachLevelAndTraceMarksTheCalledBase) {
    SimulationParameters params;
    params.noise_bound = 0.0;
    params.daq_scaling = 0.25F;
    const auto called = call(simulate_read("C", params), params, {true, true});
    ASSERT_EQ(4U, called.state_data.size());
    EXPECT_NEAR(-20.0F, called.state_data[0], 0.3F);
    EXPECT_NEAR(0.0F, called.state_data[1], 0.3F);
    EXPECT_NEAR(-40.0F, called.state_data[3], 0.3F);
    EXPECT_EQ((std::vector<std::uint8_t>{0, 255, 0, 0, 0, 0, 0, 0}), called.trace);
}

TEST(SignalModel, MedianAndDeviationMatchAFullSortOfTheUsedSamples) {
    // Odd and even counts; values spread wider than their number (selected) and narrower (counted).
    std::mt19937 generator(7);
    for (const std::uint32_t spread : {60000U, 300U}) {
        for (const std::size_t count : {1U, 2U, 7U, 1000U, 20001U}) {
            std::vector<std::int16_t> raw(count);
            for (auto& sample : raw) {
                sample = static_cast<std::int16_t>(static_cast<int>(generator() % spread) -
                                                   static_cast<int>(spread / 2));
            }
            const float offset = 3.0F;
            const float scaling = 0.5F;
            const auto called = call_read(raw.data(), raw.size(), offset, scaling, 1, {});
            std::vector<double> currents;
            for (const auto sample : raw) {
                currents.push_back((sample + offset) * scaling);
            }
            std::sort(currents.begin(), currents.end());
            const double median = currents[count / 2];
            for (auto& current : currents) {
                current = std::fabs(current - median);
            }
            std::sort(currents.begin(), currents.end());
            EXPECT_FLOAT_EQ(static_cast<float>(median), called.median_current) << count << " " << spread;
            EXPECT_FLOAT_EQ(static_cast<float>(currents[count / 2]), called.med_abs_dev) << count << " " << spread;
        }
    }
    const std::vector<std::int16_t> six(6, 100);
    const auto trimmed = call_read(six.data(), 3, 0.0F, 1.0F, 5, {});  // no whole event: nothing measured
    EXPECT_EQ(0.0F, trimmed.median_current);
    EXPECT_EQ(0.0F, trimmed.med_abs_dev);
}

TEST(SignalModel, CurrentsFarFromEveryLevelGetTheNearestEndAndTheLowestQuality) {
    // A NaN offset or a huge scaling gives currents no level is near: defined results, not
    // conversions of NaN or overflowing roundings.
    const std::vector<std::int16_t> raw(10, 100);
    const auto not_a_number = call_read(raw.data(), raw.size(), std::nanf(""), 1.0F, 5, {});
    EXPECT_EQ("AA", not_a_number.sequence);
    EXPECT_EQ("\"\"", not_a_number.qstring);
    const auto huge = call_read(raw.data(), raw.size(), 0.0F, 1e30F, 5, {});
    EXPECT_EQ("TT", huge.sequence);
    EXPECT_EQ("\"\"", huge.qstring);
}

TEST(SignalModel, StateDataFromEventMeansEqualsTheStateDataOfTheCall) {
    SimulationParameters params;
    const auto called = call(simulate_read("GATTACA", params), params, {false, true});
    ASSERT_EQ(7U, called.event_means.size());
    std::vector<float> rebuilt(called.state_data.size());
    state_data_from_means(called.event_means.data(), called.event_means.size(), rebuilt.data());
    EXPECT_EQ(called.state_data, rebuilt);
}

TEST(SignalModel, BadInputIsRefusedWithAClearError) {
    SimulationParameters params;
    EXPECT_THROW(simulate_read("", params), std::invalid_argument);
    EXPECT_THROW(simulate_read("ACGN", params), std::invalid_argument);
    params.noise_bound = 10.0;
    EXPECT_THROW(simulate_read("ACGT", params), std::invalid_argument);
    params = {};
    params.model_stride = 0;
    EXPECT_THROW(simulate_read("ACGT", params), std::invalid_argument);
    params = {};
    params.daq_scaling = 0.0F;
    EXPECT_THROW(simulate_read("ACGT", params), std::invalid_argument);
    params = {};
    params.daq_scaling = 0.002F;  // 130 pA would need a raw value beyond 16 bits
    EXPECT_THROW(simulate_read("T", params), std::invalid_argument);

    const std::int16_t raw[4] = {1, 2, 3, 4};
    EXPECT_THROW(call_read(raw, 4, 0.0F, 1.0F, 0, {}), std::invalid_argument);
    EXPECT_THROW(call_read(raw, 4, 0.0F, 0.0F, 1, {}), std::invalid_argument);
}

TEST(SignalModel, FastPathSkipsTheSamples) {
    const auto called = call_read_without_model(23, 5, {true, false});
    EXPECT_EQ("AAAA", called.sequence);
    EXPECT_EQ(4U, called.moves.size());
    EXPECT_EQ(3U, called.trimmed_samples);
}

TEST(SignalModel, ReverseComplement) {
    EXPECT_EQ("ACGTN", reverse_complement("XACGT"));
    EXPECT_EQ("", reverse_complement(""));
}
