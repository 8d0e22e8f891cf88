#include "interfaces/read_coordinator.h"

#include "common/contract.h"
#include "interfaces/read_cloning.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

using interfaces::ReadCoordinator;
using interfaces::ReadHolder;
using interfaces::ReadList;

namespace {

std::unique_ptr<ReadHolder> make_read(uint64_t read_tag, uint64_t sub_tag,
                                      const std::shared_ptr<ReadCoordinator>& coordinator = nullptr) {
    auto read = std::make_unique<ReadHolder>();
    read->read_tag = read_tag;
    read->sub_tag = sub_tag;
    read->coordinator = coordinator;
    return read;
}

template <typename F>
std::string runtime_error_text(F&& call) {
    try {
        call();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<no runtime_error>";
}

}  // namespace

TEST(ReadCoordinator, hands_out_sub_tags_after_the_parents) {
    ReadCoordinator coordinator(42);
    EXPECT_EQ(coordinator.read_tag(), 42U);
    EXPECT_EQ(coordinator.num_tags(), 1U);
    EXPECT_EQ(coordinator.add_sub_tag(), 1U);
    EXPECT_EQ(coordinator.add_sub_tag(), 2U);
    EXPECT_EQ(coordinator.num_tags(), 3U);
}

TEST(ReadCoordinator, releases_reads_only_once_all_sub_tags_are_complete) {
    auto coordinator = std::make_shared<ReadCoordinator>(5);
    coordinator->add_sub_tag();
    coordinator->add_sub_tag();

    ReadList out;
    out.push_back(make_read(99, 0));  // replaced by a successful get_all_reads
    EXPECT_FALSE(coordinator->get_all_reads(out));
    coordinator->complete_read(make_read(5, 2, coordinator));
    coordinator->complete_read(make_read(5, 0, coordinator));
    EXPECT_FALSE(coordinator->get_all_reads(out));
    ASSERT_EQ(out.size(), 1U);
    EXPECT_EQ(out.front()->read_tag, 99U);

    coordinator->complete_read(make_read(5, 1, coordinator));
    ASSERT_TRUE(coordinator->get_all_reads(out));
    std::vector<uint64_t> order;
    for (const auto& read : out) {
        order.push_back(read->sub_tag);
        EXPECT_EQ(read->coordinator, coordinator);  // a handed-out read belongs to its family again
    }
    EXPECT_EQ(order, (std::vector<uint64_t>{2, 0, 1}));

    // Empty again, but the tag count stays: nothing more to hand out.
    ReadList again;
    EXPECT_FALSE(coordinator->get_all_reads(again));
    EXPECT_TRUE(again.empty());
    EXPECT_EQ(coordinator->num_tags(), 3U);
}

TEST(ReadCoordinator, refuses_unknown_and_repeated_sub_tags_without_losing_the_read) {
    auto coordinator = std::make_shared<ReadCoordinator>(7);
    coordinator->add_sub_tag();

    auto unknown = make_read(7, 2);
    EXPECT_EQ(runtime_error_text([&] { coordinator->complete_read(std::move(unknown)); }),
              "Tried to completed unexpected sub_tag: read 7 : 2, #tags=2");
    ASSERT_NE(unknown, nullptr);  // still the caller's
    EXPECT_EQ(unknown->sub_tag, 2U);

    coordinator->complete_read(make_read(7, 0));
    auto repeated = make_read(7, 0);
    EXPECT_EQ(runtime_error_text([&] { coordinator->complete_read(std::move(repeated)); }),
              "Tried to completed read twice: read 7 : 0");
    ASSERT_NE(repeated, nullptr);

    std::unique_ptr<ReadHolder> null_read;
    EXPECT_THROW(coordinator->complete_read(std::move(null_read)), std::runtime_error);

    // The failures left exactly one completed read behind.
    coordinator->complete_read(make_read(7, 1));
    ReadList out;
    ASSERT_TRUE(coordinator->get_all_reads(out));
    EXPECT_EQ(out.size(), 2U);
}

TEST(ReadCoordinator, read_of_another_tag_fails_the_contract) {
    using common::contract::ContractViolationPolicy;
    const auto previous = common::contract::set_contract_violation_policy(ContractViolationPolicy::report_and_throw);
    common::contract::testability::clear_violation_flag();

    auto coordinator = std::make_shared<ReadCoordinator>(7);
    auto foreign = make_read(8, 0);
    testing::internal::CaptureStderr();
    bool thrown = false;
    try {
        coordinator->complete_read(std::move(foreign));
    } catch (...) {
        thrown = true;
    }
    const std::string report = testing::internal::GetCapturedStderr();
    common::contract::set_contract_violation_policy(previous);

    EXPECT_TRUE(thrown);
    EXPECT_TRUE(common::contract::testability::contract_violation_occured());
    common::contract::testability::clear_violation_flag();
    EXPECT_THAT(report, testing::HasSubstr("Contract violation. Tried to complete read on the wrong coordinator: 7 vs "
                                           "read 8 : 0\ninterfaces/read_holder:404 \"m_read_tag == read->read_tag\""));
    ASSERT_NE(foreign, nullptr);
    ReadList out;
    EXPECT_TRUE(coordinator->get_all_reads(out) == false);
}

TEST(ReadCoordinator, family_that_never_completes_is_still_released) {
    std::weak_ptr<ReadCoordinator> watch;
    {
        auto coordinator = std::make_shared<ReadCoordinator>(3);
        watch = coordinator;
        coordinator->add_sub_tag();
        auto parent = make_read(3, 0, coordinator);
        auto child = make_read(3, 1, coordinator);
        coordinator.reset();
        // The child's share is the last outside the coordinator once the parent is gone.
        parent.reset();
        ReadCoordinator* raw = child->coordinator.get();
        raw->complete_read(std::move(child));
    }
    EXPECT_TRUE(watch.expired());
}

TEST(ReadCoordinator, completes_reads_from_many_threads) {
    constexpr int threads = 8;
    constexpr int reads_per_thread = 50;
    auto coordinator = std::make_shared<ReadCoordinator>(11);

    std::vector<std::vector<uint64_t>> drawn(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < reads_per_thread; ++i) {
                drawn[t].push_back(coordinator->add_sub_tag());
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    workers.clear();
    std::set<uint64_t> unique;
    for (const auto& tags : drawn) {
        unique.insert(tags.begin(), tags.end());
    }
    ASSERT_EQ(unique.size(), static_cast<std::size_t>(threads * reads_per_thread));
    EXPECT_EQ(*unique.begin(), 1U);
    EXPECT_EQ(*unique.rbegin(), static_cast<uint64_t>(threads * reads_per_thread));

    coordinator->complete_read(make_read(11, 0, coordinator));
    std::atomic<int> released{0};
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (const uint64_t tag : drawn[t]) {
                coordinator->complete_read(make_read(11, tag, coordinator));
                ReadList out;
                if (coordinator->get_all_reads(out)) {
                    released += static_cast<int>(out.size());
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(released.load(), threads * reads_per_thread + 1);
}

TEST(DerivedReadId, generators_run_side_by_side) {
    constexpr int rounds = 200;
    std::vector<std::string> first(rounds);
    std::vector<std::string> second(rounds);
    std::thread a([&] {
        for (int i = 0; i < rounds; ++i) {
            first[i] = interfaces::generate_dervived_uuid("read_" + std::to_string(i), 0);
        }
    });
    std::thread b([&] {
        for (int i = 0; i < rounds; ++i) {
            second[i] = interfaces::generate_dervived_uuid("read_" + std::to_string(i), 1);
        }
    });
    std::thread c([&] {
        for (int i = 0; i < rounds; ++i) {
            EXPECT_EQ(interfaces::generate_dervived_uuid("read_abc", 0), "eef5aab2-3120-56d3-8184-f23bb1fb4919");
        }
    });
    a.join();
    b.join();
    c.join();
    for (int i = 0; i < rounds; ++i) {
        EXPECT_EQ(first[i], interfaces::generate_dervived_uuid("read_" + std::to_string(i), 0));
        EXPECT_NE(first[i], second[i]);
    }
}
