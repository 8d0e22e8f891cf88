#include "reference_server/server_options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

using namespace reference_server;

namespace {

CommandLine parse(std::vector<std::string> arguments) { return parse_command_line(arguments); }

std::string write_temp(const std::string& content) {
    char path[] = "/tmp/vexil_config_XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    std::ofstream(path) << content;
    return path;
}

}  // namespace

TEST(ServerOptions, AddressesMustBeIpcOrTcp) {
    EXPECT_NO_THROW(validate_address("ipc:///tmp/x.sock"));
    EXPECT_NO_THROW(validate_address("tcp://127.0.0.1:5555"));
    EXPECT_NO_THROW(validate_address("tcp://*:5555"));
    EXPECT_NO_THROW(validate_address("tcp://127.0.0.1:*"));
    EXPECT_THROW(validate_address("ipc://"), std::invalid_argument);
    EXPECT_THROW(validate_address("5555"), std::invalid_argument);
    EXPECT_THROW(validate_address("tcp://localhost"), std::invalid_argument);
    EXPECT_THROW(validate_address("tcp://localhost:port"), std::invalid_argument);
    EXPECT_THROW(validate_address("udp://x:1"), std::invalid_argument);
}

TEST(ServerOptions, ServeModeReadsEveryOption) {
    const auto command = parse({"--address",
                                "ipc:///tmp/s",
                                "--config",
                                "fast:4",
                                "--config",
                                "slow:12",
                                "--no-model",
                                "--max-reads-per-client",
                                "7",
                                "--fault",
                                "silence,request=HEARTBEAT_PING",
                                "--request-log",
                                "/tmp/log",
                                "--quiet",
                                "--calling-threads",
                                "0",
                                "--no-held-pulls",
                                "--max-load-file-mb",
                                "3",
                                "--split-reads",
                                "2"});
    EXPECT_EQ(3U << 20, command.server.max_load_file_bytes);
    EXPECT_EQ(2U, command.server.split_reads);
    EXPECT_EQ(CommandLine::Mode::serve, command.mode);
    EXPECT_EQ(0U, command.server.calling_threads);
    EXPECT_FALSE(command.server.hold_pulls);
    EXPECT_EQ("ipc:///tmp/s", command.server.address);
    ASSERT_EQ(2U, command.server.configurations.size());
    EXPECT_EQ("fast", command.server.configurations[0].name);
    EXPECT_EQ(4U, command.server.configurations[0].model_stride);
    EXPECT_EQ(12U, command.server.configurations[1].model_stride);
    EXPECT_FALSE(command.server.use_signal_model);
    EXPECT_EQ(7U, command.server.max_reads_per_client);
    ASSERT_EQ(1U, command.server.faults.size());
    EXPECT_EQ(FaultAction::silence, command.server.faults[0].action);
    EXPECT_EQ("/tmp/log", command.server.request_log_path);
    EXPECT_TRUE(command.server.quiet);
}

TEST(ServerOptions, DefaultsOfferConfigurationsWithNonZeroStrides) {
    const auto command = parse({"--address", "tcp://127.0.0.1:5555"});
    ASSERT_FALSE(command.server.configurations.empty());
    for (const auto& config : command.server.configurations) {
        EXPECT_GT(config.model_stride, 0U);
    }
    EXPECT_TRUE(command.server.use_signal_model);
}

TEST(ServerOptions, BadCommandLinesGiveClearErrors) {
    EXPECT_THROW(parse({}), std::invalid_argument);                        // no address
    EXPECT_THROW(parse({"--address"}), std::invalid_argument);             // no value
    EXPECT_THROW(parse({"--address", "nowhere"}), std::invalid_argument);  // bad address
    EXPECT_THROW(parse({"--address", "ipc:///tmp/s", "--config", "fast:0"}), std::invalid_argument);
    EXPECT_THROW(parse({"--address", "ipc:///tmp/s", "--config", "fast"}), std::invalid_argument);
    EXPECT_THROW(parse({"--address", "ipc:///tmp/s", "--bogus"}), std::invalid_argument);
    for (const char* option : {"--max-load-file-mb", "--split-reads"}) {
        EXPECT_THROW(parse({"--address", "ipc:///tmp/s", option, "0"}), std::invalid_argument) << option;
    }
    EXPECT_THROW(parse({"--address", "ipc:///tmp/s", "--split-reads", "101"}), std::invalid_argument);
    EXPECT_THROW(parse({"--address", "ipc:///tmp/s", "--config-file", "/nonexistent/file"}), std::runtime_error);
    EXPECT_THROW(parse({"simulate"}), std::invalid_argument);
    EXPECT_THROW(parse({"simulate", "--sequence", "ACGT", "--fasta", "x.fa"}), std::invalid_argument);
    EXPECT_THROW(parse({"simulate", "--sequence", "ACGT", "--address", "ipc:///x"}), std::invalid_argument);
}

TEST(ServerOptions, HelpWinsOverMissingAddress) {
    EXPECT_EQ(CommandLine::Mode::help, parse({"--help"}).mode);
    EXPECT_NE(std::string::npos, usage_text("prog").find("--address"));
}

TEST(ServerOptions, SimulateModeReadsItsOptions) {
    const auto command = parse({"simulate", "--sequence", "ACGT", "--stride", "3", "--offset", "-4.5", "--scaling",
                                "0.25", "--noise", "2", "--seed", "9", "--binary", "--output", "/tmp/o"});
    EXPECT_EQ(CommandLine::Mode::simulate, command.mode);
    EXPECT_EQ("ACGT", command.sequence);
    EXPECT_EQ(3U, command.simulation.model_stride);
    EXPECT_FLOAT_EQ(-4.5F, command.simulation.daq_offset);
    EXPECT_FLOAT_EQ(0.25F, command.simulation.daq_scaling);
    EXPECT_DOUBLE_EQ(2.0, command.simulation.noise_bound);
    EXPECT_EQ(9U, command.simulation.seed);
    EXPECT_TRUE(command.binary_output);
    EXPECT_EQ("/tmp/o", command.output_path);
}

TEST(ServerOptions, ConfigurationFile) {
    const auto path = write_temp("# name stride type\n\nfast 5\nhac 10 transformer\ndup 5 rnn duplex\n");
    const auto configs = read_configuration_file(path);
    ASSERT_EQ(3U, configs.size());
    EXPECT_EQ("hac", configs[1].name);
    EXPECT_EQ("transformer", configs[1].model_type);
    EXPECT_TRUE(configs[2].duplex);
    EXPECT_FALSE(configs[0].duplex);

    const auto bad = write_temp("fast 5\nslow zero\n");
    try {
        read_configuration_file(bad);
        FAIL() << "a bad stride must be refused";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string::npos, std::string(error.what()).find(":2:"));  // names the line
    }
    EXPECT_THROW(read_configuration_file(write_temp("# nothing\n")), std::runtime_error);
    std::remove(path.c_str());
    std::remove(bad.c_str());
}
