#include "basecall_client/read_buffer.h"

#include "common/diagnostics/tracing/testability.h"
#include "common/diagnostics/tracing/trace_flush.h"
#include "reference_server/reference_server.h"
#include "tests/reference_server/server_test_support.h"

#include <gtest/gtest.h>

#include "test_support/trace_lines.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using basecall_service::QueueRefusal;
using basecall_service::ReadBuffer;
using bass::data_wrappers::dataset;
using bass::data_wrappers::DataView;
using common::synchronisation::Flag;
using interfaces::ReadHolder;
using interfaces::ReadList;
namespace tracing = common::diagnostics::tracing;

#if defined(__SANITIZE_THREAD__)
constexpr unsigned long SHORT_TIMEOUT_MS = 400;
#else
constexpr unsigned long SHORT_TIMEOUT_MS = 50;
#endif
// Long enough never to run out in a test that expects to be woken.
constexpr unsigned long LONG_TIMEOUT_MS = 60000;

using test_support::TraceLines;

const auto* const tracing_environment =
        ::testing::AddGlobalTestEnvironment(new test_support::TraceCollectingEnvironment([] {
            return tracing::TraceDomain<ReadBuffer::MetadataValidationTrace>::hftrace_domain_name() + "," +
                   tracing::TraceDomain<ReadBuffer>::hftrace_domain_name() + "," +
                   common::ClassName<ReadBuffer>::class_name();
        }));

ReadHolder make_read(std::uint64_t tag, std::uint64_t duration, std::uint64_t model_stride = 1) {
    ReadHolder read;
    read.read_tag = tag;
    read.metadata.insert<std::uint64_t>("duration", duration);
    read.metadata.insert<std::uint64_t>("model_stride", model_stride);
    read.metadata.insert<float>("daq_offset", 1.0F);
    read.metadata.insert<float>("daq_scaling", 0.5F);
    read.metadata.insert("read_id", "read_" + std::to_string(tag));
    read.metadata.insert("strand_id", "strand_" + std::to_string(tag));
    read.datasets.emplace(dataset::raw_data, DataView(std::vector<std::int16_t>(duration, 7)));
    return read;
}

std::unique_ptr<ReadHolder> make_read_ptr(std::uint64_t tag, std::uint64_t duration) {
    return std::make_unique<ReadHolder>(make_read(tag, duration));
}

std::unique_ptr<ReadBuffer> make_buffer(unsigned long max_groups, unsigned long block_size = 256000) {
    auto buffer = std::make_unique<ReadBuffer>();
    buffer->set_block_size(block_size);
    buffer->set_max_input_queue_size(max_groups);
    buffer->set_max_read_failures(10);
    return buffer;
}

// The read tags of the front group's messages, and its message types.
struct GroupView {
    std::vector<std::uint32_t> tags;
    std::vector<ipc_tools::MessageType> types;
    std::string client_id;
};

GroupView front_group(ReadBuffer& buffer) {
    GroupView view;
    for (const auto& message : buffer.next_read_messages()) {
        view.types.push_back(message.get_type());
        const auto* data = message.get_message_data();
        view.client_id = data->client_id()->str();
        if (const auto* block = data->content_as_ReadBlockData()) {
            if (block->block_index() == 0) {
                view.tags.push_back(block->read_tag());
            }
        } else if (const auto* batch = data->content_as_ReadBatchData()) {
            for (const auto* read : *batch->read_blocks()) {
                view.tags.push_back(read->read_tag());
            }
        }
    }
    return view;
}

// Drains the input queue group by group, submitting each.
std::vector<GroupView> submit_all(ReadBuffer& buffer) {
    std::vector<GroupView> groups;
    while (buffer.num_queued_reads() != 0) {
        groups.push_back(front_group(buffer));
        buffer.reads_submitted();
    }
    return groups;
}

std::vector<std::uint64_t> tags_of(const ReadList& reads) {
    std::vector<std::uint64_t> tags;
    for (const auto& read : reads) {
        tags.push_back(read->read_tag);
    }
    return tags;
}

void fill_queue(ReadBuffer& buffer, std::uint64_t first_tag, std::size_t groups) {
    for (std::size_t i = 0; i < groups; ++i) {
        ReadHolder read = make_read(first_tag + i, 100);
        ASSERT_TRUE(buffer.queue_read(read, 0));
    }
}

TEST(ReadBuffer, ShortReadsGoStraightToTheOutputQueue) {
    auto buffer = make_buffer(1);
    fill_queue(*buffer, 100, 1);
    buffer->set_no_more_data();

    ReadHolder short_read = make_read(1, 199, 10);
    EXPECT_TRUE(buffer->queue_read(short_read, 0));
    EXPECT_EQ(short_read.read_tag, 0U);  // taken
    EXPECT_EQ(buffer->num_reads_out(), 1U);

    ReadHolder long_enough = make_read(2, 200, 10);
    EXPECT_FALSE(buffer->queue_read(long_enough, 0));
    EXPECT_EQ(long_enough.read_tag, 2U);  // refused and still the caller's
    EXPECT_EQ(buffer->num_queued_reads(), 1U);
}

TEST(ReadBuffer, FullQueueRefusesAndTheCallerKeepsTheRead) {
    auto buffer = make_buffer(2);
    fill_queue(*buffer, 1, 2);
    ReadHolder read = make_read(9, 300);
    EXPECT_FALSE(buffer->queue_read(read, 0));
    EXPECT_EQ(read.read_tag, 9U);
    ASSERT_TRUE(read.has_dataset(dataset::raw_data));
    EXPECT_EQ(read.get_dataset(dataset::raw_data).m_info.size, 300U);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(buffer->queue_read(read, SHORT_TIMEOUT_MS));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(SHORT_TIMEOUT_MS));
    EXPECT_EQ(read.read_tag, 9U);

    // Nothing is admitted before the maximum is set.
    ReadBuffer unset;
    ReadHolder other = make_read(3, 300);
    EXPECT_FALSE(unset.queue_read(other, 0));
    EXPECT_EQ(other.read_tag, 3U);

    // A read without a stride is a caller error; nothing is queued.
    ReadHolder no_stride = make_read(4, 300);
    no_stride.metadata = bass::data_wrappers::Metadata();
    no_stride.metadata.insert<std::uint64_t>("duration", 300);
    EXPECT_THROW(buffer->queue_read(no_stride, 0), std::out_of_range);
    EXPECT_EQ(buffer->num_queued_reads(), 2U);
}

TEST(ReadBuffer, WaitingProducerIsAdmittedWhenAGroupLeavesOrItsDeferredNoticeIsGiven) {
    auto buffer = make_buffer(1);
    fill_queue(*buffer, 1, 1);
    Flag holds_lock;
    ReadHolder read = make_read(2, 300);
    auto producer = std::async(std::launch::async,
                               [&] { return buffer->testable_queue_read(read, LONG_TIMEOUT_MS, &holds_lock); });
    // Once the producer holds the lock, reads_submitted can only get it while the producer waits.
    holds_lock.wait();
    buffer->reads_submitted();
    EXPECT_TRUE(producer.get());
    EXPECT_EQ(buffer->num_queued_reads(), 1U);
    EXPECT_EQ(buffer->num_submitted_reads(), 1U);
    EXPECT_EQ(front_group(*buffer).tags, std::vector<std::uint32_t>{2});

    // A deferred notice wakes the producer at the announcement, long before its time-out.
    Flag waits_again;
    ReadHolder next = make_read(3, 300);
    auto next_producer = std::async(std::launch::async,
                                    [&] { return buffer->testable_queue_read(next, LONG_TIMEOUT_MS, &waits_again); });
    waits_again.wait();
    buffer->reads_submitted(ReadBuffer::RoomNotice::deferred);
    buffer->announce_room();
    ASSERT_EQ(next_producer.wait_for(std::chrono::milliseconds(LONG_TIMEOUT_MS / 2)), std::future_status::ready);
    EXPECT_TRUE(next_producer.get());
    EXPECT_EQ(front_group(*buffer).tags, std::vector<std::uint32_t>{3});

    // A queue filled past its limit (its limit lowered here, as a pass_reads list can overfill it)
    // wakes the producer once a group leaves it with room, however many left before.
    buffer->set_max_input_queue_size(3);
    fill_queue(*buffer, 4, 2);
    buffer->set_max_input_queue_size(1);
    Flag waits_for_room;
    ReadHolder last = make_read(6, 300);
    auto last_producer = std::async(
            std::launch::async, [&] { return buffer->testable_queue_read(last, LONG_TIMEOUT_MS, &waits_for_room); });
    waits_for_room.wait();
    for (int group = 0; group < 3; ++group) {
        buffer->reads_submitted(ReadBuffer::RoomNotice::deferred);
        buffer->announce_room();
    }
    ASSERT_EQ(last_producer.wait_for(std::chrono::milliseconds(LONG_TIMEOUT_MS / 2)), std::future_status::ready);
    EXPECT_TRUE(last_producer.get());
    EXPECT_EQ(front_group(*buffer).tags, std::vector<std::uint32_t>{6});
}

TEST(ReadBuffer, PauseBetweenPullsEndsOnlyForAQueuedReadOrAWake) {
    using Clock = std::chrono::steady_clock;
    auto buffer = make_buffer(4);
    ReadHolder in_flight = make_read(1, 300);
    ASSERT_TRUE(buffer->queue_read(in_flight, 0));
    buffer->reads_submitted();
    // A read in flight is no reason to stop pausing, unlike for the idle wait.
    const auto start = Clock::now();
    EXPECT_FALSE(buffer->wait_for_queued_reads(std::chrono::milliseconds(20)));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
    // A wake given before the wait is not lost; it ends one wait only.
    buffer->wake_worker();
    EXPECT_TRUE(buffer->wait_for_queued_reads(std::chrono::milliseconds(LONG_TIMEOUT_MS)));
    EXPECT_FALSE(buffer->wait_for_queued_reads(std::chrono::milliseconds(1)));

    for (const bool by_queueing : {false, true}) {
        auto worker = std::async(std::launch::async, [&buffer] {
            return buffer->wait_for_queued_reads(std::chrono::milliseconds(LONG_TIMEOUT_MS));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ReadHolder read = make_read(2, 300);
        if (by_queueing) {
            ASSERT_TRUE(buffer->queue_read(read, 0));
        } else {
            buffer->wake_worker();
        }
        ASSERT_EQ(worker.wait_for(std::chrono::milliseconds(LONG_TIMEOUT_MS / 2)), std::future_status::ready);
        EXPECT_TRUE(worker.get());
    }
}

TEST(ReadBuffer, IdleWorkerWaitsItsPauseOrUntilAReadIsQueued) {
    using Clock = std::chrono::steady_clock;
    auto buffer = make_buffer(4);
    const auto idle_start = Clock::now();
    buffer->wait_for_reads(std::chrono::milliseconds(20));
    EXPECT_GE(Clock::now() - idle_start, std::chrono::milliseconds(20));

    // Queued by either path while the worker waits, a read ends the wait long before its pause.
    const auto waiting_worker = [&buffer] {
        return std::async(std::launch::async, [&buffer] {
            const auto start = Clock::now();
            buffer->wait_for_reads(std::chrono::milliseconds(LONG_TIMEOUT_MS));
            return Clock::now() - start;
        });
    };
    auto worker = waiting_worker();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ReadHolder read = make_read(1, 300);
    ASSERT_TRUE(buffer->queue_read(read, 0));
    EXPECT_LT(worker.get(), std::chrono::milliseconds(LONG_TIMEOUT_MS / 2));

    buffer->reads_submitted();
    buffer->read_retrieved(1);
    worker = waiting_worker();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ReadList list;
    list.push_back(make_read_ptr(2, 30));
    list.push_back(make_read_ptr(3, 30));
    ASSERT_TRUE(buffer->queue_reads(list, 0));
    EXPECT_LT(worker.get(), std::chrono::milliseconds(LONG_TIMEOUT_MS / 2));
}

TEST(ReadBuffer, NoMoreDataReleasesWaitingProducers) {
    auto buffer = make_buffer(1);
    fill_queue(*buffer, 1, 1);
    Flag holds_lock;
    ReadHolder read = make_read(2, 300);
    auto producer = std::async(std::launch::async,
                               [&] { return buffer->testable_queue_read(read, LONG_TIMEOUT_MS, &holds_lock); });
    holds_lock.wait();
    buffer->set_no_more_data();
    EXPECT_FALSE(producer.get());
    EXPECT_EQ(read.read_tag, 2U);

    // A declared end wins even when there is room.
    buffer->reads_submitted();
    EXPECT_FALSE(buffer->queue_read(read, 0));
    ReadList list;
    list.push_back(make_read_ptr(5, 10));
    EXPECT_FALSE(buffer->queue_reads(list, 0));
    EXPECT_EQ(tags_of(list), std::vector<std::uint64_t>{5});
}

TEST(ReadBuffer, DestructionWaitsForWaitingProducersWhichGetTheirReadsBack) {
    auto buffer = make_buffer(1);
    fill_queue(*buffer, 1, 1);
    Flag first_holds_lock;
    Flag second_holds_lock;
    ReadHolder first = make_read(2, 300);
    ReadHolder second = make_read(3, 300);
    auto first_producer = std::async(
            std::launch::async, [&] { return buffer->testable_queue_read(first, LONG_TIMEOUT_MS, &first_holds_lock); });
    auto second_producer = std::async(std::launch::async, [&] {
        return buffer->testable_queue_read(second, LONG_TIMEOUT_MS, &second_holds_lock);
    });
    first_holds_lock.wait();
    second_holds_lock.wait();
    buffer.reset();
    EXPECT_FALSE(first_producer.get());
    EXPECT_FALSE(second_producer.get());
    EXPECT_EQ(first.read_tag, 2U);
    EXPECT_EQ(second.read_tag, 3U);
}

TEST(ReadBuffer, QueueReadsBatchesShortReadsUpToTheBlockSize) {
    const auto groups_for = [](const std::vector<std::uint64_t>& durations) {
        auto buffer = make_buffer(100, 100);
        ReadList reads;
        for (std::size_t i = 0; i < durations.size(); ++i) {
            reads.push_back(make_read_ptr(i, durations[i]));
        }
        EXPECT_TRUE(buffer->queue_reads(reads, 0));
        EXPECT_TRUE(reads.empty());
        EXPECT_EQ(buffer->num_queued_reads(), durations.size());
        std::vector<std::vector<std::uint32_t>> tags;
        for (const auto& group : submit_all(*buffer)) {
            const bool is_batch = group.types.front() == ipc_tools::PASS_READ_BATCH;
            EXPECT_EQ(is_batch ? 1U : group.types.size(), group.types.size());
            tags.push_back(group.tags);
            tags.back().insert(tags.back().begin(), is_batch ? 1 : 0);  // marks batches
        }
        return tags;
    };
    using Groups = std::vector<std::vector<std::uint32_t>>;
    // Each group: {is_batch, tags...}
    EXPECT_EQ(groups_for({40, 50, 30, 200, 60}), (Groups{{0, 3}, {1, 0, 1}, {1, 2, 4}}));
    EXPECT_EQ(groups_for({60, 60, 60}), (Groups{{0, 0}, {0, 1}, {1, 2}}));
    EXPECT_EQ(groups_for({100, 1}), (Groups{{0, 0}, {1, 1}}));
    EXPECT_EQ(groups_for({101}), (Groups{{0, 0}}));
}

TEST(ReadBuffer, QueueReadsAddsEveryGroupOnceThereIsRoom) {
    auto buffer = make_buffer(2, 100);
    fill_queue(*buffer, 50, 1);
    ReadList reads;
    for (std::uint64_t tag : {1, 2, 3}) {
        reads.push_back(make_read_ptr(tag, 101));  // three singles
    }
    EXPECT_TRUE(buffer->queue_reads(reads, 0));
    EXPECT_EQ(buffer->num_queued_reads(), 4U);
    ReadList empty;
    EXPECT_FALSE(buffer->queue_reads(empty, 0));
    buffer->reads_submitted();
    buffer->reads_submitted();
    buffer->reads_submitted();
    EXPECT_TRUE(buffer->queue_reads(empty, 0));
}

TEST(ReadBuffer, RefusedListComesBackWholeInTheCallersOrder) {
    auto buffer = make_buffer(1, 100);
    fill_queue(*buffer, 50, 1);
    ReadList reads;
    const std::vector<std::uint64_t> tags = {7, 8, 3, 9, 6};
    const std::vector<std::uint64_t> durations = {40, 150, 30, 60, 10};
    std::vector<const ReadHolder*> originals;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        reads.push_back(make_read_ptr(tags[i], durations[i]));
        originals.push_back(reads.back().get());
    }
    // Repeated tags, within the list or with a read in flight, refuse the list at once, whole.
    QueueRefusal refusal;
    reads.back()->read_tag = 3 + (std::uint64_t{1} << 32);  // the same 32 bits on the wire
    EXPECT_FALSE(buffer->queue_reads(reads, LONG_TIMEOUT_MS, &refusal));
    EXPECT_EQ(refusal.reason, QueueRefusal::Reason::tag_repeated);
    EXPECT_EQ(refusal.text(), "read tag " + std::to_string(reads.back()->read_tag) + " is repeated in the list");
    {
        // Of several repeats, the first in the list's order is named, whatever the tags' order.
        ReadList repeats;
        for (const std::uint64_t tag : {5, 9, 9, 5}) {
            repeats.push_back(make_read_ptr(tag, 10));
        }
        EXPECT_EQ(basecall_service::first_repeated_tag(repeats), std::next(repeats.begin(), 2)->get());
    }
    reads.back()->read_tag = 50;
    EXPECT_FALSE(buffer->queue_reads(reads, LONG_TIMEOUT_MS, &refusal));
    EXPECT_EQ(refusal.text(), "read tag 50 is already in flight");
    EXPECT_TRUE(buffer->tag_in_flight(50));
    reads.back()->read_tag = 6;
    EXPECT_FALSE(buffer->queue_reads(reads, SHORT_TIMEOUT_MS, &refusal));
    EXPECT_EQ(refusal.reason, QueueRefusal::Reason::no_room);
    ASSERT_EQ(reads.size(), tags.size());
    std::size_t i = 0;
    for (const auto& read : reads) {
        EXPECT_EQ(read.get(), originals[i++]);
    }

    // A read whose messages cannot be built: nothing is built while the queue is full, so the
    // refusal comes first; with room, an error. The list is as it was both times.
    reads.back()->metadata = bass::data_wrappers::Metadata();
    reads.back()->metadata.insert<std::uint64_t>("duration", 10);
    EXPECT_FALSE(buffer->queue_reads(reads, 0));
    buffer->reads_submitted();
    EXPECT_THROW(buffer->queue_reads(reads, 0), std::out_of_range);
    ASSERT_EQ(reads.size(), tags.size());
    i = 0;
    for (const auto& read : reads) {
        EXPECT_EQ(read.get(), originals[i++]);
    }
    EXPECT_EQ(buffer->num_queued_reads(), 0U);
}

TEST(ReadBuffer, ReconnectionRequeuesInFlightThenQueuedReadsUnderTheNewId) {
    auto buffer = make_buffer(100, 100);
    buffer->set_connection_id("old");
    for (std::uint64_t tag : {7, 3, 5}) {
        ReadHolder read = make_read(tag, 150);
        ASSERT_TRUE(buffer->queue_read(read, 0));
    }
    submit_all(*buffer);
    ReadList reads;
    reads.push_back(make_read_ptr(11, 30));
    reads.push_back(make_read_ptr(12, 30));
    reads.push_back(make_read_ptr(13, 150));
    reads.push_back(make_read_ptr(14, 80));  // closes the batch of 11, 12; then alone in its own batch
    ASSERT_TRUE(buffer->queue_reads(reads, 0));
    ASSERT_EQ(buffer->num_submitted_reads(), 3U);

    buffer->set_connection_id("new");
    EXPECT_EQ(buffer->num_submitted_reads(), 0U);
    EXPECT_EQ(buffer->num_queued_reads(), 7U);
    std::vector<std::uint32_t> order;
    for (const auto& group : submit_all(*buffer)) {
        EXPECT_EQ(group.client_id, "new");
        EXPECT_NE(group.types.front(), ipc_tools::PASS_READ_BATCH);
        ASSERT_EQ(group.tags.size(), 1U);
        order.push_back(group.tags.front());
    }
    EXPECT_EQ(order, (std::vector<std::uint32_t>{3, 5, 7, 13, 11, 12, 14}));
}

TEST(ReadBuffer, ReadsInFlightTooOftenAreGivenBackUncalled) {
    auto buffer = make_buffer(100);
    ReadHolder veteran = make_read(1, 300);
    ASSERT_TRUE(buffer->queue_read(veteran, 0));
    submit_all(*buffer);
    for (int reconnection = 1; reconnection <= 10; ++reconnection) {
        buffer->set_connection_id("c" + std::to_string(reconnection));
        ASSERT_EQ(buffer->num_reads_out(), 0U) << reconnection;
        if (reconnection == 10) {
            ReadHolder newcomer = make_read(2, 300);
            ASSERT_TRUE(buffer->queue_read(newcomer, 0));
        }
        submit_all(*buffer);
    }
    ASSERT_EQ(buffer->num_submitted_reads(), 2U);
    buffer->set_connection_id("c11");
    EXPECT_EQ(buffer->num_submitted_reads(), 0U);
    EXPECT_EQ(buffer->num_queued_reads(), 0U);
    ReadList out;
    buffer->get_reads_out(out);
    EXPECT_EQ(tags_of(out), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(out.front()->get_dataset(dataset::raw_data).m_info.size, 300U);
    EXPECT_TRUE(buffer->all_reads_processed());

    // Counts restarted: the next read in flight survives a reconnection again.
    ReadHolder fresh = make_read(3, 300);
    ASSERT_TRUE(buffer->queue_read(fresh, 0));
    submit_all(*buffer);
    buffer->set_connection_id("c12");
    EXPECT_EQ(buffer->num_queued_reads(), 1U);

    // A limit of 0 gives back at the first reconnection.
    ReadBuffer strict;
    strict.set_max_input_queue_size(10);
    strict.set_max_read_failures(0);
    ReadHolder read = make_read(4, 300);
    ASSERT_TRUE(strict.queue_read(read, 0));
    submit_all(strict);
    strict.set_connection_id("x");
    EXPECT_EQ(strict.num_reads_out(), 1U);
}

TEST(ReadBuffer, ProducersWaitWhileARequeueLeavesTooManyGroups) {
    // 20 groups in flight and 5 queued: a reconnection makes 25 groups against a maximum of 20.
    auto limited = make_buffer(20);
    fill_queue(*limited, 1, 20);
    submit_all(*limited);
    fill_queue(*limited, 30, 5);
    limited->set_connection_id("again");
    ASSERT_EQ(limited->num_queued_reads(), 25U);
    ReadHolder extra = make_read(99, 100);

    Flag holds_lock;
    std::atomic<bool> returned{false};
    auto producer = std::async(std::launch::async, [&] {
        const bool taken = limited->testable_queue_read(extra, LONG_TIMEOUT_MS, &holds_lock);
        returned = true;
        return taken;
    });
    holds_lock.wait();
    for (int i = 0; i < 5; ++i) {
        limited->reads_submitted();
    }
    // 20 groups left: still no room.
    EXPECT_FALSE(returned.load());
    limited->reads_submitted();
    EXPECT_TRUE(producer.get());
    EXPECT_EQ(limited->num_queued_reads(), 20U);
}

TEST(ReadBuffer, RetrievalDeliversReadsWithTheirParkedSubReads) {
    auto buffer = make_buffer(10);
    for (std::uint64_t tag : {1, 2}) {
        ReadHolder read = make_read(tag, 300);
        ASSERT_TRUE(buffer->queue_read(read, 0));
    }
    submit_all(*buffer);
    ASSERT_NE(buffer->get_submitted_read_holder(1), nullptr);
    EXPECT_EQ(buffer->get_submitted_read_holder(5), nullptr);

    ReadHolder sub;
    sub.read_tag = 1;
    sub.sub_tag = 4;
    sub.metadata.insert("read_id", "sub_a");
    ReadHolder* stored = buffer->add_temp_sub_read(sub);
    ASSERT_NE(stored, nullptr);
    ReadHolder duplicate;
    duplicate.read_tag = 1;
    duplicate.sub_tag = 4;
    EXPECT_EQ(buffer->add_temp_sub_read(duplicate), stored);
    buffer->sub_read_retrieved(1, 4);
    buffer->sub_read_retrieved(1, 99);  // unknown: nothing happens

    buffer->read_retrieved(1);
    ReadHolder late;
    late.read_tag = 1;
    late.sub_tag = 5;
    buffer->add_temp_sub_read(late);
    buffer->sub_read_retrieved(1, 5);  // after its parent: delivered at once

    EXPECT_THROW(buffer->read_retrieved(1), std::out_of_range);
    ReadHolder* second = buffer->get_submitted_read_holder(2);
    EXPECT_THROW(buffer->reads_retrieved({second, second}), std::out_of_range);

    ReadList out;
    out.push_back(make_read_ptr(77, 10));
    buffer->get_reads_out(out);
    ASSERT_EQ(out.size(), 5U);
    auto it = out.begin();
    EXPECT_EQ((*it++)->read_tag, 77U);
    EXPECT_EQ((*it)->read_tag, 1U);
    EXPECT_EQ((*it++)->sub_tag, 0U);
    EXPECT_EQ((*it)->sub_tag, 4U);
    EXPECT_EQ((*it++)->metadata.get<read_data::read_id>(), "sub_a");
    EXPECT_EQ((*it++)->sub_tag, 5U);
    EXPECT_EQ((*it)->read_tag, 2U);

    buffer->get_reads_out(out);
    EXPECT_EQ(out.size(), 5U);
    EXPECT_TRUE(buffer->all_reads_processed());
}

TEST(ReadBuffer, LostReadsComeBackUncalledAndTagsStayInFlightUntilHandedBack) {
    auto buffer = make_buffer(10);
    ReadHolder read = make_read(8, 400);
    ASSERT_TRUE(buffer->queue_read(read, 0));
    ReadHolder same_tag = make_read(8, 300);
    QueueRefusal refusal;
    EXPECT_FALSE(buffer->queue_read(same_tag, LONG_TIMEOUT_MS, &refusal));
    EXPECT_EQ(refusal.reason, QueueRefusal::Reason::tag_in_flight);
    EXPECT_EQ(same_tag.metadata.get<read_data::duration>(), 300U) << "a refused read stays the caller's";
    submit_all(*buffer);
    ASSERT_EQ(buffer->num_submitted_reads(), 1U);
    EXPECT_EQ(buffer->get_submitted_read_holder(8)->metadata.get<read_data::duration>(), 400U);
    EXPECT_FALSE(buffer->all_reads_processed());
    EXPECT_EQ(buffer->clear_submitted_reads(), 1U);
    EXPECT_TRUE(buffer->all_reads_processed());
    ReadList out;
    buffer->get_reads_out(out);
    ASSERT_EQ(tags_of(out), (std::vector<std::uint64_t>{8}));
    EXPECT_EQ(out.front()->get_dataset(dataset::raw_data).m_info.size, 400U);
    EXPECT_EQ(buffer->num_reads_returned_uncalled(), 1U);
    EXPECT_THROW(buffer->next_read_messages(), std::out_of_range);
    buffer->reads_submitted();  // nothing queued: nothing happens
    // Handed back, the tag is free again.
    EXPECT_FALSE(buffer->tag_in_flight(8));
    EXPECT_TRUE(buffer->queue_read(same_tag, 0));
}

TEST(ReadBuffer, ReadsLeavingWithoutResultsTakeTheirCompletedSubReads) {
    auto buffer = make_buffer(10);
    for (std::uint64_t tag : {1, 2, 3}) {
        ReadHolder read = make_read(tag, 300);
        ASSERT_TRUE(buffer->queue_read(read, 0));
    }
    buffer->reads_submitted();  // 1 in flight; 2 and 3 queued
    ReadHolder complete;
    complete.read_tag = 1;
    complete.sub_tag = 1;
    buffer->add_temp_sub_read(complete);
    buffer->sub_read_retrieved(1, 1);
    ReadHolder half_filled;
    half_filled.read_tag = 1;
    half_filled.sub_tag = 2;
    buffer->add_temp_sub_read(half_filled);

    // The caller passed a dataset of its own; a call that failed half-way left results behind.
    ReadHolder& in_flight = *buffer->get_submitted_read_holder(1);
    in_flight.datasets.emplace(dataset::align_results, DataView(std::string("caller's")));
    in_flight.metadata.insert("start_time", std::uint64_t{11});
    ReadHolder& results = *buffer->results_of(1);
    EXPECT_EQ(buffer->results_of(1), &results);
    EXPECT_EQ(buffer->results_of(2), nullptr);  // queued, not in flight
    results.datasets.emplace(dataset::sequence, DataView(std::string("ACG")));
    results.metadata.insert("start_time", std::uint64_t{99});
    results.metadata.insert("mean_qscore", 12.0F);

    // The connection ends: queued and in-flight reads alike come back, in flight first, exactly
    // as they were passed.
    EXPECT_EQ(buffer->return_unfinished_reads(), 3U);
    EXPECT_TRUE(buffer->all_reads_processed());
    EXPECT_EQ(buffer->num_reads_returned_uncalled(), 3U);
    ReadList out;
    buffer->get_reads_out(out);
    ASSERT_EQ(tags_of(out), (std::vector<std::uint64_t>{1, 1, 2, 3}));
    EXPECT_FALSE(out.front()->has_dataset(dataset::sequence));
    EXPECT_TRUE(out.front()->has_dataset(dataset::raw_data));
    EXPECT_TRUE(out.front()->has_dataset(dataset::align_results));
    EXPECT_EQ(out.front()->metadata.get_value<std::uint64_t>("start_time"), 11U);
    EXPECT_FALSE(out.front()->metadata.exists("mean_qscore"));
    EXPECT_EQ((*std::next(out.begin()))->sub_tag, 1U);
    // The incomplete sub-read went with its parent: completing it now delivers nothing.
    buffer->sub_read_retrieved(1, 2);
    EXPECT_EQ(buffer->num_reads_out(), 0U);
}

TEST(ReadBuffer, ReadQueuedAcrossAReconnectionTravelsUnderTheNewId) {
    auto buffer = make_buffer(1);
    buffer->set_connection_id("old");
    fill_queue(*buffer, 1, 1);
    ReadHolder late = make_read(2, 300);
    Flag holds_lock;
    // The producer builds under "old", then waits for room; the reconnection comes meanwhile.
    auto producer = std::async(std::launch::async,
                               [&] { return buffer->testable_queue_read(late, LONG_TIMEOUT_MS, &holds_lock); });
    holds_lock.wait();
    buffer->set_connection_id("new");
    buffer->reads_submitted();
    ASSERT_TRUE(producer.get());
    ASSERT_EQ(buffer->num_queued_reads(), 1U);
    EXPECT_EQ(front_group(*buffer).client_id, "new");

    // The same for a list of reads forming a single and a batch.
    auto listed = make_buffer(1, 100);
    listed->set_connection_id("old");
    fill_queue(*listed, 10, 1);
    ReadList reads;
    reads.push_back(make_read_ptr(11, 150));
    reads.push_back(make_read_ptr(12, 40));
    reads.push_back(make_read_ptr(13, 40));
    auto lister = std::async(std::launch::async, [&] { return listed->queue_reads(reads, LONG_TIMEOUT_MS); });
    // Bounded: the producer is waiting for room once it counts as waiting.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(LONG_TIMEOUT_MS);
    while (listed->num_waiting_producers() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(listed->num_waiting_producers(), 1U);
    listed->set_connection_id("new");
    listed->reads_submitted();
    ASSERT_TRUE(lister.get());
    for (const auto& group : submit_all(*listed)) {
        EXPECT_EQ(group.client_id, "new");
    }
}

TEST(ReadBuffer, FailureCountsLeaveWithTheirReadsAndReadsWithoutSamplesAreGivenBack) {
    auto buffer = make_buffer(10, 100);
    buffer->set_max_read_failures(1);
    for (int round = 1; round <= 2; ++round) {
        // Tag 5 survives one reconnection in flight each round: its count must not carry over.
        ReadHolder read = make_read(5, 300);
        ASSERT_TRUE(buffer->queue_read(read, 0));
        submit_all(*buffer);
        buffer->results_of(5)->datasets.emplace(dataset::qstring, DataView(std::string("!!")));
        ReadHolder parked;
        parked.read_tag = 5;
        parked.sub_tag = 1;
        buffer->add_temp_sub_read(parked);
        buffer->sub_read_retrieved(5, 1);
        buffer->set_connection_id("round" + std::to_string(round));
        ASSERT_EQ(buffer->num_queued_reads(), 1U) << round;
        // Requeued for a new call: a half-done call's results and sub-reads must not stand
        // beside the next one's.
        buffer->reads_submitted();
        EXPECT_FALSE(buffer->get_submitted_read_holder(5)->has_dataset(dataset::qstring));
        // Retrieved, the read takes its results in: their keys and datasets replace the caller's
        // under the same ids, the caller's others stay.
        buffer->get_submitted_read_holder(5)->datasets.emplace(dataset::sequence, DataView(std::string("caller's")));
        ReadHolder& results = *buffer->results_of(5);
        EXPECT_FALSE(results.has_dataset(dataset::qstring));
        results.metadata.insert("read_id", std::string("called"));
        results.metadata.insert("mean_qscore", 12.0F);
        results.datasets.emplace(dataset::sequence, DataView(std::string("ACG")));
        results.datasets.emplace(dataset::qstring, DataView(std::string("!!!")));
        buffer->read_retrieved(5);
        ReadList collected;
        buffer->get_reads_out(collected);
        ASSERT_EQ(tags_of(collected), (std::vector<std::uint64_t>{5}));
        const ReadHolder& called = *collected.front();
        EXPECT_EQ(called.metadata.get_value<std::string>("read_id"), "called");
        EXPECT_EQ(called.metadata.get_value<float>("mean_qscore"), 12.0F);
        EXPECT_EQ(called.get_dataset(dataset::sequence).get_string(), "ACG");
        EXPECT_EQ(called.get_dataset(dataset::qstring).get_string(), "!!!");
        EXPECT_TRUE(called.has_dataset(dataset::raw_data));
    }
    EXPECT_EQ(buffer->num_reads_returned_uncalled(), 0U);

    // A sample-less read travels in a batch; requeued alone it has no block to send.
    ReadList reads;
    reads.push_back(make_read_ptr(20, 0));
    reads.push_back(make_read_ptr(21, 50));
    ASSERT_TRUE(buffer->queue_reads(reads, 0));
    submit_all(*buffer);
    buffer->set_connection_id("again");
    const auto groups = submit_all(*buffer);
    ASSERT_EQ(groups.size(), 1U);
    EXPECT_EQ(groups.front().tags, (std::vector<std::uint32_t>{21}));
    ReadList out;
    buffer->get_reads_out(out);
    EXPECT_EQ(tags_of(out), (std::vector<std::uint64_t>{20}));
    EXPECT_EQ(buffer->num_reads_returned_uncalled(), 1U);
}

class RecordingStateLogger : public common::diagnostics::state::StateLogger {
public:
    void log(std::string name, std::string value) override { entries.emplace_back(name, value); }
    void log(std::string name, bool value) override { entries.emplace_back(name, value ? "true" : "false"); }
    void log(std::string name, long long value) override { entries.emplace_back(name, std::to_string(value)); }
    void log(std::string name, unsigned long long value) override { entries.emplace_back(name, std::to_string(value)); }
    void log(std::string name, double value) override { entries.emplace_back(name, std::to_string(value)); }
    std::unique_ptr<common::diagnostics::state::ChildSection> create_child_section(std::string) override {
        return nullptr;
    }
    std::vector<std::pair<std::string, std::string>> entries;
};

TEST(ReadBuffer, StateReportNamesEveryCounter) {
    auto buffer = make_buffer(6, 100);
    buffer->set_connection_id("client-3");
    ReadList reads;
    reads.push_back(make_read_ptr(1, 30));
    reads.push_back(make_read_ptr(2, 30));
    reads.push_back(make_read_ptr(3, 300));
    ASSERT_TRUE(buffer->queue_reads(reads, 0));
    buffer->reads_submitted();  // the single
    RecordingStateLogger logger;
    buffer->report_state(logger);
    const std::vector<std::pair<std::string, std::string>> expected = {
            {"m_queued_reads (awaiting pushing to server)", "2"},
            {"m_message_queue_in (awaiting sending to server)", "1"},
            {"m_submitted_reads (pushed to server not yet pulled)", "1"},
            {"m_reads_out (output queue of reads from server)", "0"},
            {"m_max_input_queue_size", "6"},
            {"m_block_size ", "100"},
            {"m_connection_id ", "client-3"}};
    EXPECT_EQ(logger.entries, expected);
    EXPECT_THROW(ReadBuffer().set_block_size(0), std::invalid_argument);
}

TEST(ReadBuffer, InconsistentBarcodeMetadataIsTraced) {
    auto buffer = make_buffer(10);
    ReadHolder read = make_read(5, 10, 10);  // short: validated on its way to the output queue
    read.metadata.insert("barcode_arrangement", "barcode01");
    read.metadata.insert("barcode_full_arrangement", "x");
    read.metadata.insert("barcode_kit", "kit");
    ASSERT_TRUE(buffer->queue_read(read, 0));

    const std::string expected =
            "Read placed directly on output queue without sending to server. Missing metadata key, "
            "barcode_arrangement is present but barcode_variant is missing. Read ID: read_5, Read tag: 5, "
            "failed validation count: ";
    bool found = false;
    for (const auto& line : TraceLines::instance().flushed()) {
        found = found || line.find(expected) != std::string::npos;
    }
    EXPECT_TRUE(found);

    ReadHolder stray = make_read(6, 10, 10);
    stray.metadata.insert("lamp_target_score", 1.0F);
    stray.metadata.insert("read_id", 12);  // not a text
    ASSERT_TRUE(buffer->queue_read(stray, 0));
    found = false;
    for (const auto& line : TraceLines::instance().flushed()) {
        found = found || line.find(
                                 "Unexpected metadata key, barcode_arrangement is missing but lamp_target_score "
                                 "is present. Read ID: unknown, Read tag: 6") != std::string::npos;
    }
    EXPECT_TRUE(found);
}

// The lines written since `first` whose text holds `part`.
std::vector<std::string> lines_with(std::size_t first, const std::string& part) {
    std::vector<std::string> found;
    const auto lines = TraceLines::instance().flushed();
    for (std::size_t i = first; i < lines.size(); ++i) {
        if (lines[i].find(part) != std::string::npos) {
            found.push_back(lines[i]);
        }
    }
    return found;
}

TEST(ReadBuffer, SettingsAndDestructionWriteTheirTraceLines) {
    const std::size_t first = TraceLines::instance().flushed().size();
    auto buffer = make_buffer(1);
    // Each setting is one message line, not a scope with entry and exit lines.
    const auto settings = lines_with(first, "ReadBuffer::set_block_size");
    ASSERT_EQ(settings.size(), 1U);
    EXPECT_NE(settings.front().find("[TRACE]"), std::string::npos) << settings.front();
    EXPECT_NE(settings.front().find(" 256000"), std::string::npos) << settings.front();
    EXPECT_EQ(lines_with(first, "ReadBuffer::set_max_input_queue_size").size(), 1U);
    EXPECT_EQ(lines_with(first, "ReadBuffer::set_max_read_failures").size(), 1U);

    fill_queue(*buffer, 1, 1);
    Flag holds_lock;
    ReadHolder waiting = make_read(2, 300);
    auto producer = std::async(std::launch::async,
                               [&] { return buffer->testable_queue_read(waiting, LONG_TIMEOUT_MS, &holds_lock); });
    holds_lock.wait();
    buffer.reset();
    EXPECT_FALSE(producer.get());
    EXPECT_EQ(lines_with(first, "creating latch for thread count: 1").size(), 1U);
    const auto counted = lines_with(first, "counted down latch. m_num_queue_read_waiting_threads: 0");
    ASSERT_EQ(counted.size(), 1U);
    EXPECT_NE(counted.front().find("ReadBuffer::testable_queue_read"), std::string::npos);
}

// A caller that asks to wait for ever must not be refused at once by a wrapped deadline.
TEST(ReadBuffer, VeryLongTimeOutWaitsForRoom) {
    auto buffer = make_buffer(1);
    fill_queue(*buffer, 1, 1);
    Flag holds_lock;
    ReadHolder read = make_read(2, 300);
    auto producer = std::async(std::launch::async, [&] {
        return buffer->testable_queue_read(read, std::numeric_limits<unsigned long>::max(), &holds_lock);
    });
    holds_lock.wait();
    buffer->reads_submitted();
    EXPECT_TRUE(producer.get());
    EXPECT_EQ(buffer->num_queued_reads(), 1U);

    buffer->reads_submitted();
    fill_queue(*buffer, 3, 1);
    ReadList reads;
    reads.push_back(make_read_ptr(4, 300));
    auto list_producer = std::async(
            std::launch::async, [&] { return buffer->queue_reads(reads, std::numeric_limits<unsigned long>::max()); });
    // Either still waiting or already admitted: a wrapped deadline would refuse it at once.
    buffer->reads_submitted();
    EXPECT_TRUE(list_producer.get());
}

// Plays the worker against the reference server: every read queued is called back to its sequence.
TEST(ReadBuffer, QueuedReadsTravelThroughTheServerAndBack) {
    server_test::TempDir dir;
    reference_server::ServerOptions options;
    options.address = dir.ipc_endpoint();
    options.quiet = true;
    reference_server::ReferenceServer server(options);
    server_test::TestClient client(server.endpoint());

    auto buffer = make_buffer(10, 1500);
    const std::string client_id = client.connect();
    buffer->set_connection_id(client_id);
    std::map<std::uint64_t, std::string> sequences;
    ReadList reads;
    for (std::uint32_t tag = 1; tag <= 4; ++tag) {
        // Tag 1 is long (several blocks); the others are short enough to share a batch.
        const auto simulated = server_test::simulated_read(tag, server_test::random_sequence(tag == 1 ? 900 : 60, tag));
        auto read = std::make_unique<ReadHolder>(make_read(tag, simulated.raw.size(), 5));
        read->datasets.clear();
        read->datasets.emplace(dataset::raw_data, DataView(std::vector<std::int16_t>(simulated.raw)));
        read->metadata.insert<float>("daq_offset", simulated.daq_offset);
        read->metadata.insert<float>("daq_scaling", simulated.daq_scaling);
        sequences[tag] = simulated.sequence;
        reads.push_back(std::move(read));
    }
    ASSERT_TRUE(buffer->queue_reads(reads, 0));

    std::map<std::uint64_t, std::string> called;
    while (buffer->num_queued_reads() != 0) {
        for (auto& message : buffer->next_read_messages()) {
            const auto reply = client.send(std::move(message)).get_type();
            ASSERT_TRUE(reply == ipc_tools::RAW_BLOCK_ACCEPTED || reply == ipc_tools::BATCH_ACCEPTED);
        }
        buffer->reads_submitted();
    }
    while (buffer->num_submitted_reads() != 0) {
        const auto reply = client.send(ipc_tools::GET_FIRST_CALLED_BLOCK, client_id);
        if (reply.get_type() == ipc_tools::RETURN_COMPLETED_BATCH) {
            std::vector<ReadHolder*> holders;
            for (const auto* block : *reply.get_message_data()->content_as_ReadBatchData()->read_blocks()) {
                called[block->read_tag()] = block->called_block()->sequence()->str();
                holders.push_back(buffer->get_submitted_read_holder(block->read_tag()));
            }
            buffer->reads_retrieved(holders);
        } else {
            ASSERT_EQ(reply.get_type(), ipc_tools::RETURN_FIRST_CALLED_BLOCK);
            const auto tag = reply.get_message_data()->content_as_ReadBlockData()->read_tag();
            const std::string strand = "strand_" + std::to_string(tag);
            std::string sequence =
                    reply.get_message_data()->content_as_ReadBlockData()->called_block()->sequence()->str();
            const auto num_blocks = reply.get_message_data()->content_as_ReadBlockData()->num_blocks();
            for (std::uint32_t block = 1; block < num_blocks; ++block) {
                const auto next = client.send(ipc_tools::GET_NEXT_CALLED_BLOCK, client_id, tag, strand);
                ASSERT_EQ(next.get_type(), ipc_tools::RETURN_NEXT_CALLED_BLOCK);
                sequence += next.get_message_data()->content_as_ReadBlockData()->called_block()->sequence()->str();
            }
            EXPECT_GT(num_blocks, 1U);
            called[tag] = sequence;
            buffer->read_retrieved(tag);
        }
    }
    EXPECT_EQ(called, sequences);
    ReadList out;
    buffer->get_reads_out(out);
    EXPECT_EQ(out.size(), 4U);
    EXPECT_TRUE(buffer->all_reads_processed());
}

}  // namespace
