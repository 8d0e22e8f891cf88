#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/client_options.h"
#include "ipc_tools/connection_info.h"
#include "ipc_tools/connection_string.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <stdexcept>
#include <string>

using namespace ipc_tools;
using connection_string::get_kvps;

namespace {

std::map<std::string, std::string> kvps(const std::string& text) {
    const auto pairs = get_kvps(text);
    EXPECT_TRUE(pairs.has_value()) << text;
    return pairs.value_or(std::map<std::string, std::string>());
}

}  // namespace

TEST(ClientOptionsTest, registry_holds_the_37_keys_in_order) {
    const client_options::RegisteredClientOptions registry;
    ASSERT_EQ(37u, registry.keys().size());
    EXPECT_EQ("barcode_kits", registry.keys().front());
    EXPECT_EQ("min_score_barcode_front", registry.keys()[9]);
    EXPECT_EQ("additional_lamp_context_bases", registry.keys()[23]);
    EXPECT_EQ("pair_by_channel", registry.keys().back());
    EXPECT_EQ(std::type_index(typeid(unsigned int)), registry.type_of("max_read_split_depth"));
    EXPECT_EQ(std::type_index(typeid(unsigned long long)), registry.type_of("min_length_lamp_target"));
    EXPECT_FALSE(registry.type_of("timeout_interval"));
    EXPECT_FALSE(registry.type_of("client_name"));
    EXPECT_EQ("7.2.15+74d612b19", apps::application_version_string(false));
    EXPECT_EQ("7.2.15+74d612b19", apps::application_version_string(true));
}

TEST(ConnectionStringTest, pair_lists) {
    EXPECT_TRUE(kvps("").empty());
    for (const char* malformed : {"a=1", ">a", ">=1", ">a=1>>b=2", ">"}) {
        EXPECT_FALSE(get_kvps(malformed).has_value()) << malformed;
    }
    EXPECT_EQ((std::map<std::string, std::string>{{"a", "2"}}), kvps(">a=1>a=2"));
    EXPECT_EQ((std::map<std::string, std::string>{{"a", "b=c"}}), kvps(">a=b=c"));
    EXPECT_EQ((std::map<std::string, std::string>{{"a", "1"}}), kvps(">a=1>"));
    EXPECT_EQ((std::map<std::string, std::string>{{"a", ""}, {"b", "x: y"}}), kvps(">a=>b=x: y"));

    std::uint32_t value = 0;
    EXPECT_TRUE(connection_string::parse_value(" 42abc", value));
    EXPECT_EQ(42u, value);
    EXPECT_FALSE(connection_string::parse_value("x", value));
    EXPECT_FALSE(connection_string::parse_value("99999999999", value));
    EXPECT_EQ(">k=7", connection_string::create_kvp("k", 7u));
}

TEST(ConnectionInfoTest, builds_the_documented_string) {
    ConnectionInfo info;
    info.config_name = "fast_model";
    info.client_name = "client_1";
    info.timeout_interval = 2000;
    EXPECT_EQ("fast_model:>timeout_interval=2000>client_name=client_1", info.build_connection_string());

    info.options.insert("min_score_barcode_front", 60.0f);
    info.options.insert("barcode_kits", std::string("kit_a"));
    info.options.insert("detect_barcodes", true);
    info.options.insert("not_registered", std::string("stays home"));
    EXPECT_EQ(
            "fast_model:>timeout_interval=2000>client_name=client_1>barcode_kits=kit_a>detect_barcodes=1"
            ">min_score_barcode_front=60.000000",
            info.build_connection_string());

    ConnectionInfo unnamed;
    EXPECT_EQ(":>timeout_interval=0>client_name=", unnamed.build_connection_string());
}

TEST(ConnectionInfoTest, paths_are_made_canonical) {
    ConnectionInfo info;
    info.align_ref = ".";
    info.bed_file = "/abs/file.bed";
    info.build_connection_string();
    EXPECT_EQ(boost::filesystem::current_path().string(), info.align_ref);
    EXPECT_EQ("/abs/file.bed", info.bed_file);
}

TEST(ConnectionInfoTest, refuses_text_that_would_smuggle_in_options) {
    const auto expect_refused = [](ConnectionInfo info, const std::string& named) {
        try {
            info.build_connection_string();
            ADD_FAILURE() << named << " was encoded";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string::npos, std::string(error.what()).find(named)) << error.what();
        }
    };
    ConnectionInfo base;
    base.config_name = "fast_model";

    ConnectionInfo hostile_name = base;
    hostile_name.client_name = "me>detect_barcodes=1";
    expect_refused(hostile_name, "client_name");

    ConnectionInfo hostile_option = base;
    hostile_option.options.insert("barcode_kits", std::string("kit_a>align_ref=/etc/passwd"));
    expect_refused(hostile_option, "barcode_kits");

    ConnectionInfo hostile_config = base;
    hostile_config.config_name = "fast:>post_out=1";
    expect_refused(hostile_config, "fast:>post_out=1");

    // A ">" or ":" alone in the configuration name is still read back faithfully.
    ConnectionInfo odd_config = base;
    odd_config.config_name = "dir>fast:";
    std::string error;
    const auto parsed = ConnectionInfo::parse(odd_config.build_connection_string(), error);
    ASSERT_TRUE(parsed);
    EXPECT_EQ("dir>fast:", parsed->config_name);
}

TEST(ConnectionInfoTest, parses_what_it_builds) {
    ConnectionInfo info;
    info.config_name = "hac_model";
    info.client_name = "reader 2";
    info.timeout_interval = 15000;
    info.options.insert("barcode_kits", std::string("kit_a kit_b"));
    info.options.insert("num_extra_bases_trim", -3);
    info.options.insert("max_read_split_depth", 4u);
    info.options.insert("additional_lamp_context_bases", 12345678901ull);
    info.options.insert("min_score_lamp", 1.5f);
    info.options.insert("move_and_trace_enabled", true);
    info.options.insert("align_type", std::string("coarse"));
    info.options.insert("minimap_opt_string", std::string("-k 15 -w=10"));

    std::string error = "untouched";
    const auto parsed = ConnectionInfo::parse(info.build_connection_string(), error);
    ASSERT_TRUE(parsed);
    EXPECT_EQ("", error);
    EXPECT_EQ("hac_model", parsed->config_name);
    EXPECT_EQ("reader 2", parsed->client_name);
    EXPECT_EQ(15000u, parsed->timeout_interval);
    EXPECT_EQ("kit_a kit_b", parsed->barcode_kits);
    EXPECT_EQ("coarse", parsed->align_type);
    EXPECT_EQ("-k 15 -w=10", parsed->minimap_opt_string);
    EXPECT_EQ(2u, parsed->priority);
    EXPECT_EQ(-3, parsed->options.get_value<int>("num_extra_bases_trim"));
    EXPECT_EQ(4u, parsed->options.get_value<unsigned int>("max_read_split_depth"));
    EXPECT_EQ(12345678901ull, parsed->options.get_value<unsigned long long>("additional_lamp_context_bases"));
    EXPECT_FLOAT_EQ(1.5f, parsed->options.get_value<float>("min_score_lamp"));
    EXPECT_TRUE(parsed->options.get_value<bool>("move_and_trace_enabled"));
    EXPECT_EQ("kit_a kit_b", parsed->options.get_value<std::string>("barcode_kits"));
}

TEST(ConnectionInfoTest, parse_edge_cases) {
    std::string error = "kept";
    auto parsed = ConnectionInfo::parse("fast_model", error);
    ASSERT_TRUE(parsed);
    EXPECT_EQ("fast_model", parsed->config_name);
    EXPECT_EQ("auto", parsed->align_type);
    EXPECT_EQ(0u, parsed->timeout_interval);
    EXPECT_EQ("kept", error);

    EXPECT_FALSE(ConnectionInfo::parse("fast_model:>timeout_interval=x", error));
    EXPECT_EQ("Failed to parse barcoding options in connection string: >timeout_interval=x", error);
    EXPECT_FALSE(ConnectionInfo::parse("fast_model:>client_name", error));

    parsed = ConnectionInfo::parse(
            "m:>detect_barcodes=true>detect_adapter=2>min_score_primer=abc"
            ">num_extra_bases_trim=99999999999>unknown=1",
            error);
    ASSERT_TRUE(parsed);
    EXPECT_FALSE(parsed->options.get_value<bool>("detect_barcodes"));
    EXPECT_TRUE(parsed->options.get_value<bool>("detect_adapter"));
    EXPECT_FLOAT_EQ(0.0f, parsed->options.get_value<float>("min_score_primer"));
    EXPECT_EQ(std::numeric_limits<int>::max(), parsed->options.get_value<int>("num_extra_bases_trim"));
    EXPECT_FALSE(parsed->options.exists("unknown"));
}

TEST(ConnectedInfoTest, codec) {
    EXPECT_FALSE(ConnectedInfo::parse(">client_uid=7>server_version=1.0"));
    const auto parsed = ConnectedInfo::parse(">client_uid=7>server_version=1.0>minimap_version=2.24>extra=x");
    ASSERT_TRUE(parsed);
    EXPECT_EQ("7", parsed->client_uid);
    EXPECT_EQ("1.0", parsed->server_version);
    EXPECT_EQ("2.24", parsed->minimap_version);

    ConnectedInfo info;
    info.client_uid = "abc-1";
    info.server_version = "7.2.15";
    info.minimap_version = "";
    EXPECT_EQ(">client_uid=abc-1>server_version=7.2.15>minimap_version=", info.create_message_string());
    const auto round_trip = ConnectedInfo::parse(info.create_message_string());
    ASSERT_TRUE(round_trip);
    EXPECT_EQ("abc-1", round_trip->client_uid);
    EXPECT_EQ("", round_trip->minimap_version);

    // Without a client id no later request of the connection could be made.
    EXPECT_FALSE(ConnectedInfo::parse(">client_uid=>server_version=1.0>minimap_version=2"));
    EXPECT_FALSE(ConnectedInfo::parse("client_uid=1>server_version=1.0>minimap_version=2"));
    EXPECT_FALSE(ConnectedInfo::parse(""));
}
