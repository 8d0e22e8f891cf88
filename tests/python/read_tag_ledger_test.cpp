// The tag ledger of tessellpy's client class, without a server or an interpreter.
#include "python/read_tag_ledger.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using tessellpy::ReadTagLedger;

namespace {

ReadTagLedger::Groups groups_of(const std::vector<std::uint64_t>& tags) {
    ReadTagLedger::Groups groups;
    for (const auto tag : tags) {
        groups.emplace_back();
        groups.back().emplace_back();
        groups.back().back().set_read_tag(tag);
    }
    return groups;
}

std::uint64_t reserved(ReadTagLedger& ledger, const std::vector<std::uint64_t>& tags, std::size_t client) {
    std::string reason;
    const auto pass = ledger.reserve(tags, client, reason);
    EXPECT_TRUE(pass.has_value()) << reason;
    return pass.value_or(0);
}

TEST(ReadTagLedger, RefusesHeldAndRepeatedTagsWithTheEngineTextsAndHoldsNothingOfARefusedList) {
    ReadTagLedger ledger;
    reserved(ledger, {7}, 0);
    std::string reason;
    EXPECT_FALSE(ledger.reserve({8, 7}, 1, reason));
    EXPECT_EQ(reason, "read tag 7 is already in flight");
    EXPECT_FALSE(ledger.reserve({9, 10, 9}, 1, reason));
    EXPECT_EQ(reason, "read tag 9 is repeated in the list");
    // Neither refused list left a tag behind.
    reserved(ledger, {8, 9, 10}, 1);
    EXPECT_EQ(ledger.held_per_client(2), (std::vector<std::size_t>{1, 3}));
}

TEST(ReadTagLedger, SettlingFreesRefusedPassesAndLeavesALaterPassAlone) {
    ReadTagLedger ledger;
    const auto refused = reserved(ledger, {1, 2}, 0);
    ledger.settle({1, 2}, refused, false);
    EXPECT_EQ(ledger.held_per_client(1), (std::vector<std::size_t>{0}));

    // Tag 3 is taken, handed back and collected, and passed again before the first pass settles.
    const auto first = reserved(ledger, {3}, 0);
    ledger.release_returned(groups_of({3}), 0, {1});
    const auto second = reserved(ledger, {3}, 1);
    ledger.settle({3}, first, false);
    EXPECT_EQ(ledger.held_per_client(2), (std::vector<std::size_t>{0, 1}));
    ledger.settle({3}, second, true);
    std::string reason;
    EXPECT_FALSE(ledger.reserve({3}, 0, reason));
}

TEST(ReadTagLedger, ReturnedReadsFreeOnlyTheTagsTheirClientHolds) {
    ReadTagLedger ledger;
    ledger.settle({4}, reserved(ledger, {4}, 0), true);
    ledger.settle({5}, reserved(ledger, {5}, 1), true);
    // Client 0 hands back nothing, client 1 a read carrying tag 4 and its own 5.
    ledger.release_returned(groups_of({4, 5}), 0, {0, 2});
    EXPECT_EQ(ledger.held_per_client(2), (std::vector<std::size_t>{1, 0}));
}

TEST(ReadTagLedger, LeftoversOfAConnectionAreKeptDroppedOrLeftToTheirPass) {
    ReadTagLedger ledger;
    ledger.settle({1, 2}, reserved(ledger, {1, 2}, 0), true);
    const auto under_way = reserved(ledger, {3}, 0);
    ledger.settle({4}, reserved(ledger, {4}, 1), true);

    // Client 0's last connection still held read 1 completed; read 2 it dropped.
    ledger.keep_leftovers(0, groups_of({1}));
    EXPECT_EQ(ledger.held_per_client(2), (std::vector<std::size_t>{1, 1}));  // 3 under way, 4 untouched
    std::string reason;
    EXPECT_FALSE(ledger.reserve({1}, 1, reason));
    ledger.settle({2}, reserved(ledger, {2}, 1), false);
    ledger.settle({3}, under_way, true);

    const auto kept = ledger.take_kept();
    ASSERT_EQ(kept.size(), 1U);
    EXPECT_EQ(kept[0][0].get_read_tag(), 1U);
    EXPECT_TRUE(ledger.take_kept().empty());
    ledger.release_returned(kept, kept.size(), {kept.size(), kept.size()});
    ledger.settle({1}, reserved(ledger, {1}, 1), false);
}

}  // namespace
