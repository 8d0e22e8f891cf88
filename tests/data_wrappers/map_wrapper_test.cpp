#include "data_wrappers/map_wrapper.h"

#include <gtest/gtest.h>

#include "test_support/error_text.h"

#include <cmath>
#include <functional>
#include <limits>
#include <sstream>

using bass::data_wrappers::MapWrapper;

namespace {

using test_support::message_of;

std::string text_of(const MapWrapper& map) {
    std::ostringstream stream;
    map.write_to_stream(stream);
    return stream.str();
}

}  // namespace

TEST(MapWrapper, ExtractIsTypeExact) {
    MapWrapper map;
    map.insert<int32_t>("a", 1);
    const int32_t* as_int32 = nullptr;
    EXPECT_TRUE(map.extract("a", as_int32));
    ASSERT_NE(as_int32, nullptr);
    EXPECT_EQ(*as_int32, 1);

    const uint32_t* as_uint32 = reinterpret_cast<const uint32_t*>(&map);  // must be reset to null
    EXPECT_FALSE(map.extract("a", as_uint32));
    EXPECT_EQ(as_uint32, nullptr);
    const int64_t* as_int64 = nullptr;
    EXPECT_FALSE(map.extract("a", as_int64));

    const int32_t sentinel = 7;
    const int32_t* untouched = &sentinel;
    EXPECT_FALSE(map.extract("missing", untouched));
    EXPECT_EQ(untouched, &sentinel);
}

TEST(MapWrapper, WideIntegersAreStoredWithFixedWidthTypes) {
    MapWrapper map;
    map.insert("ull", 5ULL);
    map.insert("ll", -5LL);
    unsigned long long moved = 9;
    map.emplace("emplaced", std::move(moved));
    map.insert("ch", 'A');

    const uint64_t* u = nullptr;
    ASSERT_TRUE(map.extract("ull", u));
    EXPECT_EQ(*u, 5u);
    const int64_t* s = nullptr;
    ASSERT_TRUE(map.extract("ll", s));
    EXPECT_EQ(*s, -5);
    ASSERT_TRUE(map.extract("emplaced", u));
    EXPECT_EQ(*u, 9u);
    const int8_t* c = nullptr;
    ASSERT_TRUE(map.extract("ch", c));
    EXPECT_EQ(*c, 65);
    EXPECT_EQ(map.get_value<unsigned long long>("ull"), 5ULL);
}

TEST(MapWrapper, ExtractedPointerChangesTheStoredValue) {
    MapWrapper map;
    map.insert<float>("f", 1.5f);
    float* value = nullptr;
    ASSERT_TRUE(map.extract("f", value));
    *value = 2.5f;
    EXPECT_EQ(map.get_value<float>("f"), 2.5f);
}

TEST(MapWrapper, StoringReplacesValueOfAnyType) {
    MapWrapper map;
    map.insert("k", std::string("text"));
    map.insert<int32_t>("k", 3);
    const std::string* text = reinterpret_cast<const std::string*>(&map);
    EXPECT_FALSE(map.extract("k", text));
    EXPECT_EQ(text, nullptr);
    EXPECT_TRUE(map.exists("k"));
    EXPECT_EQ(map.size(), 1u);
    EXPECT_EQ(map.check_type("k"), typeid(int32_t));
    EXPECT_EQ(map.check_type("absent"), typeid(void));
}

TEST(MapWrapper, StringLiteralIsStoredAsString) {
    MapWrapper map;
    map.insert("k", "literal");
    EXPECT_EQ(map.get_value<std::string>("k"), "literal");
}

TEST(MapWrapper, EmplaceMovesStrings) {
    MapWrapper map;
    std::string value(100, 'x');
    map.emplace("k", std::move(value));
    EXPECT_TRUE(value.empty());
    EXPECT_EQ(map.get_value<std::string>("k"), std::string(100, 'x'));
}

TEST(MapWrapper, GetValueOfWrongTypeOrMissingKey) {
    MapWrapper map;
    map.insert<uint32_t>("k", 1);
    EXPECT_EQ(message_of<std::out_of_range>([&] { map.get_value<int32_t>("k"); }), "Could not find key 'k' in map.");
    EXPECT_EQ(message_of<std::out_of_range>([&] { map.get_value<int32_t>("x"); }), "Could not find key 'x' in map.");
}

TEST(MapWrapper, GetAsString) {
    MapWrapper map;
    map.insert<int8_t>("i8", -5);
    map.insert<uint8_t>("u8", 200);
    map.insert("b", true);
    map.insert("f", 0.1f);
    map.insert("d", 1e-7);
    map.insert("neg", -3.0);
    map.insert<uint64_t>("u64", std::numeric_limits<uint64_t>::max());
    map.insert<int64_t>("i64", std::numeric_limits<int64_t>::min());
    map.insert("s", std::string("text"));
    EXPECT_EQ(map.get_as_string("i8"), "-5");
    EXPECT_EQ(map.get_as_string("u8"), "200");
    EXPECT_EQ(map.get_as_string("b"), "1");
    EXPECT_EQ(map.get_as_string("f"), "0.100000");
    EXPECT_EQ(map.get_as_string("d"), "0.000000");
    EXPECT_EQ(map.get_as_string("neg"), "-3.000000");
    EXPECT_EQ(map.get_as_string("u64"), "18446744073709551615");
    EXPECT_EQ(map.get_as_string("i64"), "-9223372036854775808");
    EXPECT_EQ(map.get_as_string("s"), "text");
    EXPECT_EQ(message_of<std::out_of_range>([&] { map.get_as_string("zz"); }), "Key 'zz' not found.");
}

TEST(MapWrapper, WriteToStream) {
    MapWrapper map;
    EXPECT_EQ(text_of(map), "{}");
    map.insert<uint64_t>("k", 7);
    EXPECT_EQ(text_of(map), "{ (k=7) }");
    MapWrapper two;
    two.insert<int32_t>("b", 1);
    two.insert("a", std::string("x"));
    EXPECT_EQ(text_of(two), "{ (a=x), (b=1) }");
    std::ostringstream stream;
    stream << two;
    EXPECT_EQ(stream.str(), "{ (a=x), (b=1) }");
}

TEST(MapWrapper, EqualityComparesFloatsWithinTolerance) {
    MapWrapper a;
    MapWrapper b;
    EXPECT_TRUE(a == b);
    a.insert("f", 1.0f);
    b.insert("f", 1.0f + 5e-7f);
    EXPECT_TRUE(a == b);
    b.insert("f", 1.0f + 2e-6f);
    EXPECT_FALSE(a == b);

    a.insert("d", 1.0);
    b.insert("f", 1.0f);
    b.insert("d", 1.0 + 5e-7);
    EXPECT_TRUE(a == b);
    b.insert("d", 1.0 + 2e-6);
    EXPECT_FALSE(a == b);

    MapWrapper nan_a;
    MapWrapper nan_b;
    nan_a.insert("n", std::nan(""));
    nan_b.insert("n", std::nan(""));
    EXPECT_FALSE(nan_a == nan_b);
}

TEST(MapWrapper, EqualityNeedsSameTypesAndKeys) {
    MapWrapper a;
    MapWrapper b;
    a.insert<int32_t>("k", 1);
    b.insert<uint32_t>("k", 1);
    EXPECT_FALSE(a == b);
    b.insert<int32_t>("k", 1);
    EXPECT_TRUE(a == b);
    b.remove("k");
    b.insert<int32_t>("other", 1);
    EXPECT_FALSE(a == b);
    a.insert("s", std::string("ab"));
    b = a;
    EXPECT_TRUE(a == b);
    b.insert("s", std::string("ac"));
    EXPECT_TRUE(a != b);
}

namespace {

// A merge's target: "a" is a string that a merged int replaces, "b" a bool that stays.
MapWrapper merge_target() {
    MapWrapper target;
    target.insert("a", std::string("x"));
    target.insert("b", true);
    return target;
}

}  // namespace

TEST(MapWrapper, MergeReplacesAndKeeps) {
    MapWrapper target = merge_target();
    MapWrapper source;
    source.insert<int32_t>("a", 1);
    target.merge(source);
    EXPECT_EQ(target.get_value<int32_t>("a"), 1);
    EXPECT_TRUE(target.get_value<bool>("b"));
    EXPECT_EQ(source.size(), 1u);
}

TEST(MapWrapper, MergingATemporaryMovesItsEntriesOver) {
    MapWrapper target = merge_target();
    MapWrapper source;
    source.insert<int32_t>("a", 1);
    source.insert("long_key_of_more_than_sixteen", std::string("moved"));
    source.insert<uint8_t>("0_before_all", 7);
    const std::string* moved = nullptr;
    ASSERT_TRUE(source.extract("long_key_of_more_than_sixteen", moved));
    target.merge(std::move(source));
    EXPECT_EQ(target.get_value<int32_t>("a"), 1);  // the other's value wins, whatever its type
    EXPECT_TRUE(target.get_value<bool>("b"));
    const std::string* stored = nullptr;
    ASSERT_TRUE(target.extract("long_key_of_more_than_sixteen", stored));
    EXPECT_EQ(stored, moved);  // the entry itself, not a copy
    std::vector<std::string> keys;
    for (const auto& entry : target.get_keys()) {
        keys.push_back(entry.first);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"0_before_all", "a", "b", "long_key_of_more_than_sixteen"}));
    EXPECT_EQ(target.get_value<uint8_t>("0_before_all"), 7);
    EXPECT_TRUE(source.empty());
    source.insert<int32_t>("c", 3);
    EXPECT_EQ(source.size(), 1u);
    target.merge(std::move(target));
    EXPECT_EQ(target.size(), 4u);
}

TEST(MapWrapper, MergedValuesAreIndependentCopies) {
    MapWrapper target;
    MapWrapper source;
    source.insert("s", std::string("x"));
    target.merge(source);
    std::string* stored = nullptr;
    ASSERT_TRUE(target.extract("s", stored));
    *stored = "changed";
    EXPECT_EQ(source.get_value<std::string>("s"), "x");
}

TEST(MapWrapper, MovesLeaveSourceEmptyAndUsable) {
    MapWrapper source;
    source.insert<int32_t>("a", 1);
    MapWrapper target(std::move(source));
    EXPECT_TRUE(source.empty());
    EXPECT_EQ(source.size(), 0u);
    source.insert<int32_t>("b", 2);
    EXPECT_EQ(source.get_value<int32_t>("b"), 2);

    MapWrapper assigned;
    assigned.insert<int32_t>("old", 3);
    assigned = std::move(source);
    EXPECT_TRUE(source.empty());  // not swapped: the target's old entry is gone
    EXPECT_FALSE(assigned.exists("old"));
    EXPECT_TRUE(assigned.exists("b"));

    auto& self = assigned;
    assigned = std::move(self);
    EXPECT_TRUE(assigned.empty());
    assigned.insert<int32_t>("c", 1);
    EXPECT_EQ(assigned.size(), 1u);
}

TEST(MapWrapper, CopiesAreDeep) {
    MapWrapper source;
    source.insert("s", std::string("x"));
    MapWrapper copy(source);
    copy.insert("s", std::string("y"));
    EXPECT_EQ(source.get_value<std::string>("s"), "x");
    MapWrapper assigned;
    assigned = source;
    source.clear();
    EXPECT_EQ(assigned.get_value<std::string>("s"), "x");
}

TEST(MapWrapper, RemoveAbsentKeyThrowsAndChangesNothing) {
    MapWrapper map;
    map.insert<int32_t>("a", 1);
    EXPECT_EQ(message_of<std::out_of_range>([&] { map.remove("b"); }), "Key 'b' not found.");
    EXPECT_EQ(map.size(), 1u);
    map.remove("a");
    EXPECT_TRUE(map.empty());
}

TEST(MapWrapper, GetKeysInKeyOrderWithTypes) {
    MapWrapper map;
    map.insert<int32_t>("b", 1);
    map.insert("a", 2.0f);
    const auto keys = map.get_keys();
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].first, "a");
    EXPECT_EQ(keys[0].second, std::type_index(typeid(float)));
    EXPECT_EQ(keys[1].first, "b");
    EXPECT_EQ(keys[1].second, std::type_index(typeid(int32_t)));
}

TEST(MapWrapper, ValidateReportsStoredTypesAndRemoves) {
    MapWrapper map;
    map.insert<int32_t>("a", 1);
    map.insert("b", 2.0f);
    map.insert("c", std::string("x"));
    MapWrapper::Schema schema{{"a", std::type_index(typeid(int32_t))}, {"z", std::type_index(typeid(bool))}};

    auto report = map.validate(schema, false);
    ASSERT_EQ(report.size(), 2u);
    EXPECT_EQ(report.at("b"), std::type_index(typeid(float)));
    EXPECT_EQ(report.at("c"), std::type_index(typeid(std::string)));
    EXPECT_EQ(map.size(), 3u);

    EXPECT_EQ(map.validate({}, false).size(), 3u);

    map.validate(schema, true);
    EXPECT_EQ(map.size(), 1u);
    EXPECT_TRUE(map.exists("a"));

    MapWrapper::Schema wrong_type{{"a", std::type_index(typeid(uint32_t))}};
    report = map.validate(wrong_type, false);
    ASSERT_EQ(report.size(), 1u);
    EXPECT_EQ(report.at("a"), std::type_index(typeid(int32_t)));
}

TEST(MapWrapper, SwapExchangesEntries) {
    MapWrapper a;
    MapWrapper b;
    a.insert<int32_t>("a", 1);
    a.swap(b);
    EXPECT_TRUE(a.empty());
    EXPECT_TRUE(b.exists("a"));
}

TEST(MapWrapper, EmplaceWithExplicitTypesStoresFixedWidthValues) {
    MapWrapper map;
    map.emplace<bool>("b", true);
    map.emplace<int>("i", -3);
    map.emplace<unsigned long long>("u", 12000450138ULL);
    map.emplace<float>("f", 0.5f);
    map.emplace<std::string>("s", std::string("x"));
    const int32_t* i = nullptr;
    const uint64_t* u = nullptr;
    ASSERT_TRUE(map.extract("i", i));
    EXPECT_EQ(*i, -3);
    ASSERT_TRUE(map.extract("u", u));
    EXPECT_EQ(*u, 12000450138ULL);
    EXPECT_EQ(map.check_type("b"), typeid(bool));
    EXPECT_EQ(map.check_type("f"), typeid(float));
    EXPECT_EQ(map.get_as_string("s"), "x");
}
