#include "interfaces/read_cloning.h"

#include "interfaces/read_coordinator.h"
#include "interfaces/read_holder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

using bass::data_wrappers::DataView;
using bass::data_wrappers::MatView;
using common::diagnostics::timings::EventMode;
using common::diagnostics::timings::ReadEventId;
using common::diagnostics::timings::ReadEventRecorder;
using common::diagnostics::timings::ReadEventTimestamps;
using interfaces::generate_dervived_uuid;
using interfaces::ReadHolder;

namespace {

class StampRecorder : public ReadEventRecorder {
public:
    void create_read_event(ReadEventId, EventMode) override { m_timestamps.emplace_back(); }
    const ReadEventTimestamps& get_timestamps() const override { return m_timestamps; }
    std::unique_ptr<ReadEventRecorder> clone() const override { return std::make_unique<StampRecorder>(*this); }

private:
    ReadEventTimestamps m_timestamps;
};

template <typename T>
std::vector<T> elements(const ReadHolder& read, dataset id) {
    const DataView& view = read.get_dataset(id);
    const T* data = view.get_data<T>();
    return std::vector<T>(data, data + view.m_info.size);
}

uint64_t u64(const ReadHolder& read, const std::string& key) { return read.metadata.get_value<uint64_t>(key); }

template <typename E, typename F>
std::string error_text(F&& call) {
    try {
        call();
    } catch (const E& error) {
        return error.what();
    }
    return "<not thrown>";
}

/// A called read of three bases over four model steps (moves 1, 0, 1, 1), with trace, state and
/// base-modification data sized to match.
ReadHolder called_read() {
    ReadHolder read;
    read.read_tag = 17;
    read.priority = 2;
    read.shared_data = std::make_shared<int>(5);
    read.datasets.emplace(dataset::raw_data, DataView(std::vector<int16_t>{1, 2, 3, 4, 5}));
    read.datasets.emplace(dataset::sequence, DataView(std::string("ACG")));
    read.datasets.emplace(dataset::qstring, DataView(std::string("I5+")));
    read.datasets.emplace(dataset::movement, DataView(std::vector<uint8_t>{1, 0, 1, 1}));
    std::vector<uint8_t> trace(32);
    for (std::size_t i = 0; i < trace.size(); ++i) {
        trace[i] = static_cast<uint8_t>(i);
    }
    const auto trace_mat = MatView<uint8_t>::view(trace.data(), 4, 8, 8, 1);
    read.datasets.emplace(dataset::flipflop_trace, DataView(trace_mat, std::move(trace)));
    read.datasets.emplace(dataset::state_data,
                          DataView(std::vector<float>{0, 1, 2, 10, 11, 12, 20, 21, 22, 30, 31, 32}));
    read.datasets.emplace(dataset::base_mod_probs, DataView(std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    read.datasets.emplace(dataset::rle_base, DataView(std::vector<int8_t>{9}));
    read.metadata.insert("strand_id", std::string("parent-strand"));
    read.metadata.insert("read_id", std::string("parent-read"));
    read.metadata.insert<uint64_t>("sequence_length", 3);
    read.metadata.insert<uint64_t>("trimmed_events", 4);
    read.metadata.insert<uint64_t>("num_events", 6);
    read.metadata.insert<uint64_t>("model_stride", 5);
    read.metadata.insert<uint64_t>("state_size", 3);
    read.metadata.insert("base_mod_alphabet", std::string("AC"));
    read.metadata.insert<uint64_t>("duration", 40);
    read.metadata.insert<uint64_t>("start_time", 1000);
    read.metadata.insert<uint64_t>("trimmed_samples", 7);
    read.metadata.insert<uint64_t>("num_dravik_events", 9);
    return read;
}

}  // namespace

TEST(DerivedReadId, is_a_version_5_uuid_per_generator) {
    // Reference values computed independently (RFC 4122 name-based SHA-1 under each namespace).
    EXPECT_EQ(generate_dervived_uuid("read_abc", 0), "eef5aab2-3120-56d3-8184-f23bb1fb4919");
    EXPECT_EQ(generate_dervived_uuid("read_abc", 1), "879f4bcc-6343-514d-9939-cbc188fab31e");
    const std::string id = generate_dervived_uuid("", 0);
    ASSERT_EQ(id.size(), 36U);
    EXPECT_EQ(id[14], '5');
    for (const char c : id) {
        EXPECT_TRUE(c == '-' || std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f')) << id;
    }
    EXPECT_THROW(generate_dervived_uuid("read_abc", 2), std::out_of_range);
}

TEST(ReadCloning, clone_is_an_independent_sub_read_in_a_new_coordinator) {
    ReadHolder read = called_read();
    read.set_event_recorder(std::make_unique<StampRecorder>());
    read.create_read_event(ReadEventId{}, EventMode{});
    std::string borrowed = "borrowed";
    read.datasets.emplace(dataset::rle_shape, DataView(borrowed, false));

    auto first = read.clone();
    ASSERT_NE(read.coordinator, nullptr);
    EXPECT_EQ(read.coordinator->read_tag(), 17U);
    EXPECT_EQ(read.sub_tag, 0U);
    EXPECT_EQ(first->coordinator, read.coordinator);
    EXPECT_EQ(first->sub_tag, 1U);
    EXPECT_EQ(first->read_tag, 17U);
    EXPECT_EQ(first->priority, 2U);
    EXPECT_EQ(first->shared_data, read.shared_data);
    ASSERT_NE(first->event_recorder, nullptr);
    EXPECT_NE(first->event_recorder.get(), read.event_recorder.get());
    EXPECT_EQ(first->get_timestamps().size(), 1U);

    EXPECT_EQ(first->metadata.get_value<std::string>("strand_id"), generate_dervived_uuid("parent-strand", 0));
    EXPECT_EQ(read.metadata.get_value<std::string>("strand_id"), "parent-strand");
    EXPECT_EQ(first->metadata.get_value<std::string>("read_id"), "parent-read");
    EXPECT_EQ(first->datasets.size(), read.datasets.size());

    // Owned data is deep-copied, borrowed data shared.
    read.get_dataset(dataset::movement).get_data<uint8_t>()[0] = 99;
    read.get_dataset(dataset::sequence).set_string("TTT");
    EXPECT_EQ(elements<uint8_t>(*first, dataset::movement), (std::vector<uint8_t>{1, 0, 1, 1}));
    EXPECT_EQ(first->get_dataset(dataset::sequence).get_string(), "ACG");
    EXPECT_EQ(first->get_dataset(dataset::flipflop_trace).m_info.rows, 4U);
    EXPECT_EQ(first->get_dataset(dataset::rle_shape).get_string(), "borrowed");
    EXPECT_EQ(first->get_dataset(dataset::rle_shape).m_data, read.get_dataset(dataset::rle_shape).m_data);

    auto second = read.clone();
    EXPECT_EQ(second->sub_tag, 2U);
    EXPECT_EQ(read.coordinator->num_tags(), 3U);
}

TEST(ReadCloning, clone_without_strand_id_changes_nothing) {
    ReadHolder read = called_read();
    read.metadata.remove("strand_id");
    EXPECT_EQ(error_text<std::out_of_range>([&] { read.clone(); }), "Key 'strand_id' not found.");
    EXPECT_EQ(read.coordinator, nullptr);
}

TEST(ReadSplitting, cuts_datasets_at_the_model_step_of_the_position) {
    ReadHolder head = called_read();
    auto tail = head.split_at(1);  // moves 1,0 | 1,1: base 1 is emitted at step 2

    EXPECT_EQ(head.get_dataset(dataset::sequence).get_string(), "A");
    EXPECT_EQ(tail->get_dataset(dataset::sequence).get_string(), "CG");
    EXPECT_EQ(head.get_dataset(dataset::qstring).get_string(), "I");
    EXPECT_EQ(tail->get_dataset(dataset::qstring).get_string(), "5+");
    EXPECT_EQ(elements<uint8_t>(head, dataset::movement), (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(elements<uint8_t>(*tail, dataset::movement), (std::vector<uint8_t>{1, 1}));

    const auto head_trace = elements<uint8_t>(head, dataset::flipflop_trace);
    const auto tail_trace = elements<uint8_t>(*tail, dataset::flipflop_trace);
    ASSERT_EQ(head_trace.size(), 16U);
    ASSERT_EQ(tail_trace.size(), 16U);
    EXPECT_EQ(head_trace.front(), 0U);
    EXPECT_EQ(head_trace.back(), 15U);
    EXPECT_EQ(tail_trace.front(), 16U);
    EXPECT_EQ(tail_trace.back(), 31U);
    EXPECT_EQ(tail->get_dataset(dataset::flipflop_trace).m_info.rows, 2U);
    EXPECT_EQ(tail->get_dataset(dataset::flipflop_trace).m_info.cols, 8U);
    EXPECT_TRUE(head.get_dataset(dataset::flipflop_trace).owns_data());

    EXPECT_EQ(elements<float>(head, dataset::state_data), (std::vector<float>{0, 1, 2, 10, 11, 12}));
    EXPECT_EQ(elements<float>(*tail, dataset::state_data), (std::vector<float>{20, 21, 22, 30, 31, 32}));
    // Base-modification rows follow bases, not model steps.
    EXPECT_EQ(elements<uint8_t>(head, dataset::base_mod_probs), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(elements<uint8_t>(*tail, dataset::base_mod_probs), (std::vector<uint8_t>{3, 4, 5, 6}));

    // Signal and run-length data stay with the head only.
    EXPECT_TRUE(head.has_dataset(dataset::raw_data));
    EXPECT_TRUE(head.has_dataset(dataset::rle_base));
    EXPECT_FALSE(tail->has_dataset(dataset::raw_data));
    EXPECT_FALSE(tail->has_dataset(dataset::rle_base));

    EXPECT_EQ(tail->sub_tag, 1U);
    EXPECT_EQ(tail->coordinator, head.coordinator);
    EXPECT_EQ(tail->read_tag, 17U);
    EXPECT_EQ(tail->priority, 2U);
    EXPECT_EQ(tail->shared_data, head.shared_data);
}

TEST(ReadSplitting, updates_ids_event_counts_and_durations) {
    ReadHolder head = called_read();
    ReadHolder twin = called_read();
    auto clone = twin.clone();
    auto tail = head.split_at(1);

    EXPECT_EQ(head.metadata.get_value<std::string>("strand_id"), clone->metadata.get_value<std::string>("strand_id"));
    EXPECT_EQ(tail->metadata.get_value<std::string>("strand_id"), generate_dervived_uuid("parent-strand", 1));
    EXPECT_EQ(tail->metadata.get_value<std::string>("read_id"), "parent-read");

    EXPECT_EQ(u64(head, "sequence_length"), 1U);
    EXPECT_EQ(u64(head, "trimmed_events"), 2U);
    EXPECT_EQ(u64(head, "num_events"), 4U);         // 6 - (4 - 2)
    EXPECT_EQ(u64(head, "duration"), 20U);          // 4 events x stride 5
    EXPECT_EQ(u64(head, "trimmed_duration"), 10U);  // 2 steps x stride 5
    EXPECT_EQ(u64(head, "num_dravik_events"), 0U);
    EXPECT_EQ(u64(head, "start_time"), 1000U);
    EXPECT_EQ(u64(head, "trimmed_samples"), 7U);

    EXPECT_EQ(u64(*tail, "sequence_length"), 2U);
    EXPECT_EQ(u64(*tail, "trimmed_events"), 2U);
    EXPECT_EQ(u64(*tail, "num_events"), 2U);
    EXPECT_EQ(u64(*tail, "duration"), 20U);
    EXPECT_EQ(u64(*tail, "trimmed_duration"), 20U);
    EXPECT_EQ(u64(*tail, "num_dravik_events"), 0U);
    EXPECT_EQ(u64(*tail, "start_time"), 1020U);
    EXPECT_EQ(u64(*tail, "trimmed_samples"), 0U);

    EXPECT_NEAR(head.metadata.get_value<float>("mean_qscore"), 40.0F, 1e-3);
    // Error probabilities 0.01 and 0.1 average to 0.055.
    EXPECT_NEAR(tail->metadata.get_value<float>("mean_qscore"), -10.0 * std::log10(0.055), 1e-3);
}

TEST(ReadSplitting, at_either_end) {
    ReadHolder head = called_read();
    auto tail = head.split_at(0);
    EXPECT_EQ(head.get_dataset(dataset::sequence).get_string(), "");
    EXPECT_EQ(head.get_dataset(dataset::qstring).get_string(), "");
    EXPECT_EQ(head.metadata.get_value<float>("mean_qscore"), 1.0F);
    EXPECT_EQ(u64(head, "trimmed_events"), 0U);
    EXPECT_EQ(tail->get_dataset(dataset::sequence).get_string(), "ACG");
    EXPECT_EQ(elements<uint8_t>(*tail, dataset::movement).size(), 4U);

    // Splitting at the end: no step emits a later base, so every step stays with the head.
    ReadHolder whole = called_read();
    auto empty = whole.split_at(3);
    EXPECT_EQ(whole.get_dataset(dataset::sequence).get_string(), "ACG");
    EXPECT_EQ(elements<uint8_t>(whole, dataset::movement).size(), 4U);
    EXPECT_TRUE(elements<uint8_t>(*empty, dataset::movement).empty());
    EXPECT_TRUE(elements<float>(*empty, dataset::state_data).empty());
    EXPECT_EQ(u64(*empty, "trimmed_events"), 0U);
    EXPECT_EQ(u64(*empty, "sequence_length"), 0U);
}

TEST(ReadSplitting, missing_duration_gives_an_empty_tail_duration) {
    ReadHolder head = called_read();
    head.metadata.remove("duration");
    auto tail = head.split_at(1);
    EXPECT_EQ(u64(*tail, "duration"), 0U);
    EXPECT_EQ(u64(*tail, "trimmed_duration"), 0U);
}

TEST(ReadSplitting, failures_leave_the_read_whole) {
    const auto expect_untouched = [](const ReadHolder& read) {
        EXPECT_EQ(read.coordinator, nullptr);
        EXPECT_EQ(read.get_dataset(dataset::sequence).get_string(), "ACG");
        EXPECT_EQ(read.get_dataset(dataset::movement).m_info.size, 4U);
        EXPECT_EQ(read.metadata.get_value<std::string>("strand_id"), "parent-strand");
    };
    {
        ReadHolder read = called_read();
        EXPECT_THROW(read.split_at(4), std::out_of_range);
        expect_untouched(read);
    }
    {
        ReadHolder read = called_read();
        read.metadata.remove("model_stride");
        EXPECT_EQ(error_text<std::out_of_range>([&] { read.split_at(1); }), "Key 'model_stride' not found.");
        expect_untouched(read);
        EXPECT_EQ(read.get_dataset(dataset::state_data).m_info.size, 12U);
    }
    {
        ReadHolder read = called_read();
        read.datasets.erase(dataset::movement);
        EXPECT_THROW(read.split_at(1), std::runtime_error);
        EXPECT_EQ(read.coordinator, nullptr);
        EXPECT_EQ(read.get_dataset(dataset::sequence).get_string(), "ACG");
    }
    {
        ReadHolder read = called_read();
        read.datasets.erase(dataset::movement);
        read.datasets.emplace(dataset::movement, DataView(std::vector<int16_t>{1, 0, 1, 1}));
        EXPECT_EQ(error_text<std::runtime_error>([&] { read.split_at(1); }), "Invalid array type requested.");
        EXPECT_EQ(read.coordinator, nullptr);
    }
    {
        ReadHolder read = called_read();
        read.datasets.erase(dataset::qstring);
        read.datasets.emplace(dataset::qstring, DataView(std::vector<uint8_t>{40, 40, 40}));
        EXPECT_EQ(error_text<std::runtime_error>([&] { read.split_at(1); }), "Data does not view string data.");
        expect_untouched(read);
    }
    {
        ReadHolder read = called_read();
        read.metadata.remove("base_mod_alphabet");
        EXPECT_EQ(error_text<std::out_of_range>([&] { read.split_at(1); }), "Key 'base_mod_alphabet' not found.");
        expect_untouched(read);
    }
}

TEST(ReadSplitting, refuses_datasets_that_would_be_read_past_their_end) {
    {
        // Two trace rows for four model steps.
        ReadHolder read = called_read();
        read.datasets.erase(dataset::flipflop_trace);
        read.datasets.emplace(dataset::flipflop_trace, DataView(std::vector<uint8_t>(16)));
        EXPECT_NO_THROW(read.split_at(0));  // step 0 is within the rows
        ReadHolder late = called_read();
        late.datasets.erase(dataset::flipflop_trace);
        late.datasets.emplace(dataset::flipflop_trace, DataView(std::vector<uint8_t>(16)));
        EXPECT_THROW(late.split_at(2), std::runtime_error);  // step 3
        EXPECT_EQ(late.coordinator, nullptr);
    }
    {
        ReadHolder read = called_read();
        read.metadata.insert<uint64_t>("state_size", 0);
        EXPECT_THROW(read.split_at(1), std::runtime_error);
        EXPECT_EQ(read.coordinator, nullptr);
    }
    {
        // sequence_length 3 x alphabet 2 needs 6 probabilities.
        ReadHolder read = called_read();
        read.datasets.erase(dataset::base_mod_probs);
        read.datasets.emplace(dataset::base_mod_probs, DataView(std::vector<uint8_t>{1, 2, 3}));
        EXPECT_THROW(read.split_at(1), std::runtime_error);
        EXPECT_EQ(read.coordinator, nullptr);
    }
    {
        // More model steps before the split than events after trimming would wrap the counts.
        ReadHolder read = called_read();
        read.metadata.insert<uint64_t>("trimmed_events", 1);
        EXPECT_THROW(read.split_at(1), std::runtime_error);
        EXPECT_EQ(read.coordinator, nullptr);
    }
}

TEST(ReadSplitting, sub_reads_complete_through_the_shared_coordinator) {
    auto parent = std::make_unique<ReadHolder>(called_read());
    auto tail = parent->split_at(1);
    auto copy = tail->clone();
    EXPECT_EQ(copy->sub_tag, 2U);
    auto coordinator = parent->coordinator;
    coordinator->complete_read(std::move(copy));
    coordinator->complete_read(std::move(parent));
    interfaces::ReadList reads;
    EXPECT_FALSE(coordinator->get_all_reads(reads));
    coordinator->complete_read(std::move(tail));
    ASSERT_TRUE(coordinator->get_all_reads(reads));
    EXPECT_EQ(reads.size(), 3U);
}

TEST(MeanQscore, follows_the_quality_string) {
    ReadHolder read;
    read.metadata.insert("mean_qscore", 0.5F);
    read.recalculate_mean_qscore();  // no qstring: unchanged
    EXPECT_EQ(read.metadata.get_value<float>("mean_qscore"), 0.5F);

    read.datasets.emplace(dataset::qstring, DataView(std::string(50, 'I')));
    read.recalculate_mean_qscore();
    EXPECT_NEAR(read.metadata.get_value<float>("mean_qscore"), 40.0F, 1e-3);

    // Shift and scale are applied on the way in and undone on the way out.
    read.metadata.insert("qscore_shift", 2.0F);
    read.metadata.insert("qscore_scale", 0.5F);
    read.recalculate_mean_qscore();
    EXPECT_NEAR(read.metadata.get_value<float>("mean_qscore"), 40.0F, 1e-3);
    // Stored as another type than float, they are ignored.
    read.metadata.insert("qscore_shift", 2.0);
    read.metadata.insert("qscore_scale", 0.5);
    read.get_dataset(dataset::qstring).set_string("+5");
    read.recalculate_mean_qscore();
    EXPECT_NEAR(read.metadata.get_value<float>("mean_qscore"), -10.0 * std::log10(0.055), 1e-3);

    read.get_dataset(dataset::qstring).set_string(std::string(10, '~'));  // Phred 93
    read.recalculate_mean_qscore();
    EXPECT_EQ(read.metadata.get_value<float>("mean_qscore"), 90.0F);
    read.get_dataset(dataset::qstring).set_string("!!");  // Phred 0
    read.recalculate_mean_qscore();
    EXPECT_EQ(read.metadata.get_value<float>("mean_qscore"), 1.0F);

    read.datasets.erase(dataset::qstring);
    read.datasets.emplace(dataset::qstring, DataView(std::vector<uint8_t>{40}));
    EXPECT_THROW(read.recalculate_mean_qscore(), std::runtime_error);
}
