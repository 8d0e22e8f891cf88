#include "interfaces/read_holder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using bass::data_wrappers::DataSetType;
using bass::data_wrappers::DataView;
using common::diagnostics::timings::EventMode;
using common::diagnostics::timings::ReadEventId;
using common::diagnostics::timings::ReadEventRecorder;
using common::diagnostics::timings::ReadEventTimestamps;
using interfaces::ReadHolder;

namespace {

class CountingRecorder : public ReadEventRecorder {
public:
    explicit CountingRecorder(int* destroyed = nullptr) : m_destroyed(destroyed) {}
    ~CountingRecorder() override {
        if (m_destroyed != nullptr) {
            ++*m_destroyed;
        }
    }
    void create_read_event(ReadEventId, EventMode) override {
        m_timestamps.push_back(std::chrono::steady_clock::now());
    }
    const ReadEventTimestamps& get_timestamps() const override { return m_timestamps; }
    std::unique_ptr<ReadEventRecorder> clone() const override { return std::make_unique<CountingRecorder>(*this); }

private:
    int* m_destroyed;
    ReadEventTimestamps m_timestamps;
};

/// A coordinator share whose release can be observed without constructing a coordinator.
std::shared_ptr<interfaces::ReadCoordinator> observed_coordinator(const std::shared_ptr<int>& owner) {
    return std::shared_ptr<interfaces::ReadCoordinator>(owner,
                                                        reinterpret_cast<interfaces::ReadCoordinator*>(owner.get()));
}

ReadHolder make_read(uint64_t tag, const std::string& read_id, std::vector<int16_t>& samples) {
    ReadHolder read;
    read.read_tag = tag;
    read.sub_tag = 2;
    read.priority = interfaces::high_priority;
    read.metadata.insert("read_id", read_id);
    read.datasets.emplace(dataset::raw_data, DataView(samples, true));
    return read;
}

void expect_cleared(const ReadHolder& read) {
    EXPECT_EQ(read.read_tag, 0u);
    EXPECT_EQ(read.priority, 1u);
    EXPECT_EQ(read.sub_tag, 0u);
    EXPECT_TRUE(read.metadata.empty());
    EXPECT_TRUE(read.datasets.empty());
    EXPECT_EQ(read.coordinator, nullptr);
}

}  // namespace

TEST(ReadHolder, NewHolderHasDefaults) {
    const ReadHolder read;
    expect_cleared(read);
    EXPECT_EQ(read.shared_data, nullptr);
    EXPECT_EQ(read.event_recorder, nullptr);
}

TEST(ReadHolder, MoveConstructionCarriesEverythingAndClearsSource) {
    std::vector<int16_t> samples{1, 2, 3};
    const int16_t* buffer = samples.data();
    ReadHolder source = make_read(7, "r1", samples);
    auto coordinator_owner = std::make_shared<int>(0);
    source.coordinator = observed_coordinator(coordinator_owner);
    source.shared_data = std::make_shared<int>(5);
    source.set_event_recorder(std::make_unique<CountingRecorder>());

    ReadHolder target(std::move(source));
    expect_cleared(source);
    EXPECT_EQ(source.shared_data, nullptr);
    EXPECT_EQ(source.event_recorder, nullptr);

    EXPECT_EQ(target.read_tag, 7u);
    EXPECT_EQ(target.sub_tag, 2u);
    EXPECT_EQ(target.priority, 0u);
    EXPECT_EQ(target.metadata.get<read_data::read_id>(), "r1");
    ASSERT_TRUE(target.has_dataset(dataset::raw_data));
    EXPECT_EQ(target.get_dataset(dataset::raw_data).get_data<int16_t>(), buffer);
    EXPECT_EQ(target.coordinator.use_count(), 2);
    EXPECT_NE(target.shared_data, nullptr);
    EXPECT_NE(target.event_recorder, nullptr);

    // The source is usable again.
    source.read_tag = 9;
    source.metadata.insert<int32_t>("channel", 1);
    EXPECT_EQ(source.metadata.get<read_data::channel>(), 1);
}

TEST(ReadHolder, MoveAssignmentReleasesTheTargetsPreviousContents) {
    std::vector<int16_t> first{1};
    std::vector<int16_t> second{2, 2};
    ReadHolder target = make_read(1, "old", first);
    auto old_coordinator = std::make_shared<int>(0);
    target.coordinator = observed_coordinator(old_coordinator);
    int destroyed = 0;
    target.set_event_recorder(std::make_unique<CountingRecorder>(&destroyed));
    std::weak_ptr<void> old_shared = target.shared_data = std::make_shared<int>(1);

    ReadHolder source = make_read(2, "new", second);
    source.datasets.emplace(dataset::sequence, DataView(std::string("ACGT")));
    target = std::move(source);

    EXPECT_EQ(target.read_tag, 2u);
    EXPECT_EQ(target.metadata.get<read_data::read_id>(), "new");
    EXPECT_EQ(target.datasets.size(), 2u);
    EXPECT_EQ(target.get_dataset(dataset::raw_data).m_info.size, 2u);
    EXPECT_EQ(target.coordinator, nullptr);
    EXPECT_EQ(old_coordinator.use_count(), 1);  // released, not kept by the source
    EXPECT_TRUE(old_shared.expired());
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(target.event_recorder, nullptr);
    expect_cleared(source);
}

TEST(ReadHolder, ReadsMoveBetweenOwnersThroughAReadList) {
    interfaces::ReadList queue;
    for (uint64_t tag = 1; tag <= 3; ++tag) {
        std::vector<int16_t> samples(100, static_cast<int16_t>(tag));
        auto read = std::make_unique<ReadHolder>(make_read(tag, "read" + std::to_string(tag), samples));
        queue.push_back(std::move(read));
    }
    interfaces::ReadList done;
    done.splice(done.end(), queue);
    ASSERT_EQ(done.size(), 3u);
    uint64_t expected_tag = 1;
    for (const auto& read : done) {
        EXPECT_EQ(read->read_tag, expected_tag);
        EXPECT_EQ(read->get_dataset(dataset::raw_data).get_data<int16_t>()[99], static_cast<int16_t>(expected_tag));
        ++expected_tag;
    }
    ReadHolder taken(std::move(*done.front()));
    EXPECT_EQ(taken.metadata.get<read_data::read_id>(), "read1");
    expect_cleared(*done.front());
}

TEST(ReadHolder, DatasetLookupAndDuplicateIds) {
    std::vector<int16_t> samples{1, 2};
    ReadHolder read = make_read(1, "r", samples);
    EXPECT_THROW(read.get_dataset(dataset::sequence), std::out_of_range);
    std::vector<uint8_t> moves{1, 0};
    read.datasets.emplace(dataset::raw_data, DataView(moves, true));  // present: kept
    EXPECT_EQ(read.get_dataset(dataset::raw_data).m_info.type, DataSetType::int16);
    EXPECT_THROW(read.get_dataset(dataset::raw_data).get_data<uint8_t>(), std::runtime_error);
}

TEST(ReadHolder, ClearKeepsRecorderAndSharedData) {
    std::vector<int16_t> samples{1};
    ReadHolder read = make_read(3, "r", samples);
    read.shared_data = std::make_shared<int>(1);
    read.set_event_recorder(std::make_unique<CountingRecorder>());
    read.create_read_event(ReadEventId{}, EventMode{});
    auto coordinator_owner = std::make_shared<int>(0);
    read.coordinator = observed_coordinator(coordinator_owner);
    read.clear();
    expect_cleared(read);
    EXPECT_EQ(coordinator_owner.use_count(), 1);
    EXPECT_NE(read.shared_data, nullptr);
    read.create_read_event(ReadEventId{}, EventMode{});
    EXPECT_EQ(read.get_timestamps().size(), 2u);
}

TEST(ReadHolder, RecorderForwards) {
    ReadHolder read;
    read.create_read_event(ReadEventId{}, EventMode{});  // no recorder: nothing happens
    const ReadEventTimestamps& empty = read.get_timestamps();
    EXPECT_TRUE(empty.empty());
    {
        ReadHolder other;
        EXPECT_EQ(&other.get_timestamps(), &empty);  // one process-wide empty list
    }
    EXPECT_TRUE(empty.empty());

    int destroyed = 0;
    read.set_event_recorder(std::make_unique<CountingRecorder>(&destroyed));
    read.create_read_event(ReadEventId{}, EventMode{});
    EXPECT_EQ(read.get_timestamps().size(), 1u);
    read.set_event_recorder(std::make_unique<CountingRecorder>(&destroyed));
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(read.get_timestamps().empty());
    read.set_event_recorder(nullptr);
    EXPECT_EQ(destroyed, 2);
}

TEST(ReadHolder, GetByName) {
    ReadHolder read;
    read.metadata.insert<int8_t>("i8", 65);
    read.metadata.insert<uint8_t>("u8", 250);
    read.metadata.insert<int16_t>("i16", -300);
    read.metadata.insert<uint64_t>("u64", 12000450138ULL);
    read.metadata.insert<int64_t>("i64", -12);
    read.metadata.insert("nan", std::numeric_limits<float>::quiet_NaN());
    read.metadata.insert("inf", std::numeric_limits<double>::infinity());
    read.metadata.insert("neg_inf", -std::numeric_limits<float>::infinity());
    read.metadata.insert("d", 2.5);
    read.metadata.insert("f", 0.25f);
    read.metadata.insert("yes", true);
    read.metadata.insert("no", false);
    read.metadata.insert("s", std::string("text"));
    read.metadata.insert("empty", std::string());

    EXPECT_EQ(read.get_by_name("i8"), "65");
    EXPECT_EQ(read.get_by_name("u8"), "250");
    EXPECT_EQ(read.get_by_name("i16"), "-300");
    EXPECT_EQ(read.get_by_name("u64"), "12000450138");
    EXPECT_EQ(read.get_by_name("i64"), "-12");
    EXPECT_EQ(read.get_by_name("nan"), "0");
    EXPECT_EQ(read.get_by_name("inf"), "0");
    EXPECT_EQ(read.get_by_name("neg_inf"), "0");
    EXPECT_EQ(read.get_by_name("d"), "2.500000");
    EXPECT_EQ(read.get_by_name("f"), "0.250000");
    EXPECT_EQ(read.get_by_name("yes"), "TRUE");
    EXPECT_EQ(read.get_by_name("no"), "FALSE");
    EXPECT_EQ(read.get_by_name("s"), "text");
    EXPECT_EQ(read.get_by_name("empty"), "");
    EXPECT_EQ(read.get_by_name("absent"), "");
}

TEST(ReadHolder, DisplayTag) {
    EXPECT_EQ(ReadHolder::get_display_tag({0, 0}), "read 0 : 0");
    EXPECT_EQ(ReadHolder::get_display_tag({4294967296ULL, 3}), "read 4294967296 : 3");
    ReadHolder read;
    read.read_tag = 5;
    read.sub_tag = 1;
    EXPECT_EQ(read.get_display_tag(), "read 5 : 1");
}
