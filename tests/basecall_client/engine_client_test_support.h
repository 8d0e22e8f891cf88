#pragma once

// Helpers shared by the engine's read-loop, client and end-to-end tests: simulated reads as the
// engine holds them, an in-process reference server and the checks made on called reads.

#include "../reference_server/server_test_support.h"

#include "basecall_client/basecall_client.h"
#include "basecall_client/read_processing_protocol.h"
#include "data_wrappers/data_view.h"
#include "interfaces/read_holder.h"
#include "reference_server/reference_server.h"
#include "test_support/slow_factor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace engine_test {

using namespace std::chrono_literals;

using test_support::slow_factor;

// Poll time-out of the link: short, so that a silent server costs little, but long enough for an
// answer from a server slowed down by a sanitizer.
inline const std::uint32_t request_timeout_ms = server_test::short_poll_timeout_ms * (slow_factor > 1 ? 2 : 1);
using test_support::condition_timeout;

constexpr std::uint64_t model_stride = 5;

inline std::string config_name() { return "dna_sim_fast"; }

// A simulated read of `bases` bases (model_stride samples each) as the engine holds it.
struct SourceRead {
    server_test::TestRead read;
    std::unique_ptr<interfaces::ReadHolder> holder;
};

inline std::unique_ptr<interfaces::ReadHolder> make_holder(const server_test::TestRead& read, std::uint64_t tag) {
    auto holder = std::make_unique<interfaces::ReadHolder>();
    holder->read_tag = tag;
    holder->metadata.insert("read_id", read.read_id);
    holder->metadata.insert("strand_id", "strand_" + read.read_id);
    holder->metadata.insert<float>("daq_offset", read.daq_offset);
    holder->metadata.insert<float>("daq_scaling", read.daq_scaling);
    holder->metadata.insert<std::uint64_t>("duration", read.raw.size());
    holder->metadata.insert<std::uint64_t>("model_stride", model_stride);
    holder->datasets.emplace(bass::data_wrappers::dataset::raw_data,
                             bass::data_wrappers::DataView(std::vector<std::int16_t>(read.raw)));
    return holder;
}

// The reads a test passes, by tag, with the sequence each must come back with.
class ReadSet {
public:
    // Adds a read of `bases` random bases; returns its holder (to pass) and remembers its sequence.
    std::unique_ptr<interfaces::ReadHolder> add(std::uint64_t tag, std::size_t bases) {
        const std::string sequence = server_test::random_sequence(bases, static_cast<std::uint32_t>(tag));
        const auto read =
                server_test::simulated_read(static_cast<std::uint32_t>(tag), sequence,
                                            static_cast<std::uint32_t>(model_stride), static_cast<std::uint32_t>(tag));
        m_sequences[tag] = sequence;
        return make_holder(read, tag);
    }
    const std::map<std::uint64_t, std::string>& sequences() const { return m_sequences; }
    std::size_t size() const { return m_sequences.size(); }

private:
    std::map<std::uint64_t, std::string> m_sequences;
};

// Checks one called read against its source: exact sequence, one quality per base and, when
// moves were asked for, one move per base over `duration / stride` events.
inline void expect_called_read(const interfaces::ReadHolder& read, const std::string& expected_sequence,
                               bool with_moves) {
    using bass::data_wrappers::dataset;
    SCOPED_TRACE("read tag " + std::to_string(read.read_tag));
    ASSERT_TRUE(read.has_dataset(dataset::sequence));
    EXPECT_EQ(read.get_dataset(dataset::sequence).get_string(), expected_sequence);
    ASSERT_TRUE(read.has_dataset(dataset::qstring));
    EXPECT_EQ(read.get_dataset(dataset::qstring).get_string().size(), expected_sequence.size());
    if (with_moves) {
        ASSERT_TRUE(read.has_dataset(dataset::movement));
        const auto& moves = read.get_dataset(dataset::movement);
        ASSERT_EQ(moves.m_info.size, expected_sequence.size());
        const auto* data = moves.get_data<std::uint8_t>();
        EXPECT_EQ(std::accumulate(data, data + moves.m_info.size, 0U), expected_sequence.size());
    }
}

// Polls `condition` every few milliseconds until it holds or the time-out passes.
inline bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds timeout = condition_timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

inline reference_server::ServerOptions server_options(const server_test::TempDir& dir) {
    reference_server::ServerOptions options;
    options.address = dir.ipc_endpoint();
    options.quiet = true;
    return options;
}

inline reference_server::FaultRule fault(reference_server::FaultAction action, ipc_tools::MessageType request,
                                         std::uint64_t from = 1, std::uint64_t count = 1) {
    reference_server::FaultRule rule;
    rule.action = action;
    rule.request = request;
    rule.from = from;
    rule.count = count;
    return rule;
}

constexpr unsigned long client_block_size = 4000;  // samples: 800 bases per block
constexpr unsigned int file_load_timeout_s = 5;

inline ipc_tools::ConnectionInfo connection_info(const std::string& name = "engine_test") {
    ipc_tools::ConnectionInfo info;
    info.config_name = config_name();
    info.client_name = name;
    info.options.insert("move_and_trace_enabled", true);
    info.timeout_interval = 60000;
    return info;
}

// A client whose loop waits only briefly before NO_MORE_DATA, so that finishing stays quick.
inline std::unique_ptr<basecall_service::BasecallClient> make_client(
        unsigned long max_queue = 100, unsigned long max_failures = 10,
        basecall_service::BasecallClient::ThreadHook hook = nullptr) {
    auto client = std::make_unique<basecall_service::BasecallClient>(client_block_size, max_queue, max_failures, false,
                                                                     false, hook);
    auto protocol = std::make_shared<basecall_service::ReadProcessingProtocol>();
    protocol->set_no_more_data_pause(std::chrono::milliseconds(10));
    client->set_read_processing_protocol(protocol);
    return client;
}

// Completed reads by read tag; a tag seen twice fails the test.
inline std::map<std::uint64_t, std::unique_ptr<interfaces::ReadHolder>> collect_by_tag(
        basecall_service::BasecallClient& client) {
    interfaces::ReadList out;
    client.get_completed_reads(out, interfaces::medium_priority);
    std::map<std::uint64_t, std::unique_ptr<interfaces::ReadHolder>> by_tag;
    for (auto& read : out) {
        const auto tag = read->read_tag;
        EXPECT_TRUE(by_tag.emplace(tag, std::move(read)).second) << "read " << tag << " returned twice";
    }
    return by_tag;
}

}  // namespace engine_test
