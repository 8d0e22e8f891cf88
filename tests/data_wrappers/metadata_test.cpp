#include "data_wrappers/metadata.h"

#include <gtest/gtest.h>

#include <sstream>

using bass::data_wrappers::MapWrapper;
using bass::data_wrappers::Metadata;

TEST(Metadata, KeyTypesNameTheirKeysAndTypes) {
    EXPECT_STREQ(read_data::read_id::key, "read_id");
    EXPECT_STREQ(read_data::duplex_strand_2::key, "duplex_strand_2");
    EXPECT_STREQ(basecall_data::scaling_med_abs_dev::key, "scaling_med_abs_dev");
    EXPECT_STREQ(client_options::move_and_trace_enabled::key, "move_and_trace_enabled");
    EXPECT_STREQ(vexil::config_details::duplex::key, "duplex");
    EXPECT_STREQ(bass::data_wrappers::read_data::mux::name(), "mux");
    static_assert(std::is_same<read_data::channel::value_type, int32_t>::value, "channel is int32");
    static_assert(std::is_same<read_data::mux::value_type, uint32_t>::value, "mux is uint32");
    static_assert(std::is_same<read_data::duration::value_type, uint64_t>::value, "duration is uint64");
    static_assert(std::is_same<basecall_data::mean_qscore::value_type, float>::value, "mean_qscore is float");
}

TEST(Metadata, GetReturnsAReferenceToTheStoredValue) {
    Metadata metadata;
    metadata.insert("daq_scaling", 1.5f);
    float& scaling = metadata.get<read_data::daq_scaling>();
    EXPECT_EQ(scaling, 1.5f);
    scaling = 2.5f;
    EXPECT_EQ(metadata.get_value<float>("daq_scaling"), 2.5f);
}

TEST(Metadata, GetOfWrongTypeIsReportedAsNotFound) {
    Metadata metadata;
    metadata.insert("daq_scaling", 1.5);
    metadata.insert<uint32_t>("channel", 4);
    try {
        metadata.get<read_data::daq_scaling>();
        FAIL() << "expected std::out_of_range";
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "Key 'daq_scaling' not found.");
    }
    EXPECT_THROW(metadata.get<read_data::channel>(), std::out_of_range);
    EXPECT_THROW(metadata.get<read_data::read_id>(), std::out_of_range);
}

TEST(Metadata, WellKnownKeysStoredThroughWideOverloadsAreFound) {
    Metadata metadata;
    metadata.insert("duration", 12000450138ULL);
    metadata.emplace("model_stride", 5ULL);
    EXPECT_EQ(metadata.get<read_data::duration>(), 12000450138u);
    EXPECT_EQ(metadata.get<basecall_data::model_stride>(), 5u);
}

TEST(Metadata, SchemaConstructorDropsEntriesOutsideTheSchema) {
    MapWrapper values;
    values.insert("read_id", std::string("r1"));
    values.insert<int32_t>("channel", 3);
    Metadata filtered(std::move(values), {{"read_id", std::type_index(typeid(std::string))}});
    EXPECT_TRUE(values.empty());
    EXPECT_EQ(filtered.size(), 1u);
    EXPECT_EQ(filtered.get<read_data::read_id>(), "r1");

    MapWrapper more;
    more.insert("read_id", std::string("r1"));
    more.insert<int32_t>("channel", 3);
    Metadata kept(std::move(more), {});
    EXPECT_EQ(kept.size(), 2u);
}

TEST(Metadata, MovedFromIsEmptyAndUsable) {
    Metadata source;
    source.insert("read_id", std::string("r1"));
    Metadata target(std::move(source));
    EXPECT_TRUE(source.empty());
    source.insert<uint32_t>("mux", 2);
    EXPECT_EQ(source.get<read_data::mux>(), 2u);

    Metadata assigned;
    assigned = std::move(target);
    EXPECT_TRUE(target.empty());
    EXPECT_EQ(assigned.get<read_data::read_id>(), "r1");
}

TEST(Metadata, WritesLikeMapWrapper) {
    Metadata metadata;
    metadata.insert<uint32_t>("mux", 3);
    MapWrapper map;
    map.insert<uint32_t>("mux", 3);
    std::ostringstream a;
    std::ostringstream b;
    metadata.write_to_stream(a);
    map.write_to_stream(b);
    EXPECT_EQ(a.str(), "{ (mux=3) }");
    EXPECT_EQ(a.str(), b.str());
}
