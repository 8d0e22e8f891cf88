#include "basecall_client/read_record.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

using basecall_service::ReadRecord;
using bass::data_wrappers::dataset;
using bass::data_wrappers::DataView;
using interfaces::ReadHolder;
using interfaces::ReadList;

ReadRecord make_record(std::uint64_t tag) {
    auto read = std::make_unique<ReadHolder>();
    read->read_tag = tag;
    read->metadata.insert<std::uint64_t>("start_time", 11);
    read->metadata.insert("read_id", "read_" + std::to_string(tag));
    read->datasets.emplace(dataset::raw_data, DataView(std::vector<std::int16_t>(4, 7)));
    read->datasets.emplace(dataset::align_results, DataView(std::vector<std::int16_t>(2, 1)));
    return ReadRecord(std::move(read));
}

ReadHolder sub_read(std::uint64_t tag, std::uint64_t sub_tag, const std::string& read_id) {
    ReadHolder sub;
    sub.read_tag = tag;
    sub.sub_tag = sub_tag;
    sub.metadata.insert("read_id", read_id);
    return sub;
}

std::vector<std::uint64_t> sub_tags_of(const ReadList& reads) {
    std::vector<std::uint64_t> tags;
    for (const auto& read : reads) {
        tags.push_back(read->sub_tag);
    }
    return tags;
}

TEST(ReadRecord, CalledReadTakesTheCallsKeysAndDatasetsOverWhatTheCallerPassed) {
    ReadRecord record = make_record(5);
    ReadHolder& results = record.results();
    EXPECT_EQ(&record.results(), &results);
    EXPECT_EQ(results.read_tag, 5U);
    results.metadata.insert<std::uint64_t>("start_time", 99);
    results.metadata.insert("mean_qscore", 12.0F);
    results.datasets.emplace(dataset::sequence, DataView(std::string("ACG")));
    results.datasets.emplace(dataset::align_results, DataView(std::vector<std::int16_t>(3, 1)));
    // Until it leaves, the read holds exactly what the caller passed.
    EXPECT_FALSE(record.read().metadata.exists("mean_qscore"));

    const auto called = record.take_called();
    EXPECT_EQ(called->metadata.get_value<std::uint64_t>("start_time"), 99U);
    EXPECT_EQ(called->metadata.get_value<std::string>("read_id"), "read_5");
    EXPECT_TRUE(called->metadata.exists("mean_qscore"));
    EXPECT_TRUE(called->has_dataset(dataset::raw_data));
    EXPECT_TRUE(called->has_dataset(dataset::sequence));
    EXPECT_EQ(called->get_dataset(dataset::align_results).m_info.size, 3U);
}

TEST(ReadRecord, UncalledReadLeavesAsPassedWithOnlyItsCompletedSubReads) {
    ReadRecord record = make_record(3);
    record.results().metadata.insert("mean_qscore", 12.0F);
    ReadHolder first = sub_read(3, 2, "first");
    ReadHolder* stored = record.add_sub_read(first);
    ReadHolder duplicate = sub_read(3, 2, "duplicate");
    EXPECT_EQ(record.add_sub_read(duplicate), stored);
    EXPECT_EQ(stored->metadata.get_value<std::string>("read_id"), "first");
    ReadHolder later = sub_read(3, 1, "later");
    record.add_sub_read(later);
    ReadHolder unfinished = sub_read(3, 9, "unfinished");
    record.add_sub_read(unfinished);

    EXPECT_EQ(record.take_sub_read(4), nullptr);
    record.park_sub_read(record.take_sub_read(2));
    record.park_sub_read(record.take_sub_read(1));
    EXPECT_EQ(record.take_sub_read(2), nullptr);  // taken once only

    const auto uncalled = record.take_uncalled();
    EXPECT_FALSE(uncalled->metadata.exists("mean_qscore"));
    EXPECT_TRUE(record.release_sub_reads_being_filled().empty());  // the unfinished one was dropped
    ReadList out;
    record.take_parked_sub_reads(out);
    EXPECT_EQ(sub_tags_of(out), (std::vector<std::uint64_t>{1, 2}));
    record.take_parked_sub_reads(out);
    EXPECT_EQ(out.size(), 2U);
}

TEST(ReadRecord, ANewCallForgetsTheLastOnesWorkButNotItsFailures) {
    ReadRecord record = make_record(8);
    EXPECT_EQ(record.count_failure(), 1U);
    EXPECT_EQ(record.count_failure(), 2U);
    record.results().metadata.insert("mean_qscore", 12.0F);
    ReadHolder filling = sub_read(8, 1, "filling");
    record.add_sub_read(filling);
    ReadHolder parked = sub_read(8, 2, "parked");
    record.add_sub_read(parked);
    record.park_sub_read(record.take_sub_read(2));

    record.reset_call();
    EXPECT_EQ(record.failures(), 2U);
    EXPECT_FALSE(record.results().metadata.exists("mean_qscore"));
    EXPECT_EQ(record.take_sub_read(1), nullptr);
    ReadList out;
    record.take_parked_sub_reads(out);
    EXPECT_TRUE(out.empty());
    record.forget_failures();
    EXPECT_EQ(record.failures(), 0U);

    // A sub-read left filling when its parent leaves called is handed over, not lost.
    ReadHolder late = sub_read(8, 3, "late");
    record.add_sub_read(late);
    const auto released = record.release_sub_reads_being_filled();
    ASSERT_EQ(released.size(), 1U);
    EXPECT_EQ(released.begin()->first, 3U);
    EXPECT_EQ(record.take_sub_read(3), nullptr);
    EXPECT_EQ(record.take_called()->read_tag, 8U);
}

}  // namespace
