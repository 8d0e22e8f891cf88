#include "basecall_client/read_block_message_builder.h"

#include "reference_server/reference_server.h"
#include "tests/reference_server/server_test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

namespace {

using basecall_service::append_read_block_data;
using basecall_service::build_read_batch_message;
using basecall_service::build_read_block_messages;
using bass::data_wrappers::dataset;
using bass::data_wrappers::DataView;
using interfaces::ReadHolder;

std::vector<std::int16_t> ramp(std::size_t count) {
    std::vector<std::int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<std::int16_t>(i % 30011 - 15000);
    }
    return samples;
}

ReadHolder make_read(std::uint64_t tag, std::vector<std::int16_t> samples, const std::string& read_id = "") {
    ReadHolder read;
    read.read_tag = tag;
    const std::string id = read_id.empty() ? "read_" + std::to_string(tag) : read_id;
    read.metadata.insert<std::uint64_t>("duration", samples.size());
    read.metadata.insert<float>("daq_offset", 4.5F);
    read.metadata.insert<float>("daq_scaling", 0.25F);
    read.metadata.insert("read_id", id);
    read.metadata.insert("strand_id", "strand_" + id);
    read.datasets.emplace(dataset::raw_data, DataView(std::move(samples)));
    return read;
}

const vexil_ipc::ReadBlockData* block_of(const ipc_tools::Message& message) {
    const auto* block = message.get_message_data()->content_as_ReadBlockData();
    EXPECT_NE(block, nullptr);
    return block;
}

std::vector<std::int16_t> samples_of(const vexil_ipc::ReadBlockData* block) {
    return block->raw_data() == nullptr
                   ? std::vector<std::int16_t>()
                   : std::vector<std::int16_t>(block->raw_data()->begin(), block->raw_data()->end());
}

TEST(ReadBlockMessages, LongReadIsSplitIntoBlocksOfAtMostTheBlockSize) {
    const auto samples = ramp(600000);
    const ReadHolder read = make_read(42, samples);
    const auto messages = build_read_block_messages(read, 256000, "client-7");

    ASSERT_EQ(messages.size(), 3U);
    const std::vector<std::size_t> expected_sizes = {256000, 256000, 600000 - 2 * 256000};
    std::size_t first = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(messages[i].get_type(), i == 0 ? ipc_tools::PASS_FIRST_RAW_BLOCK : ipc_tools::PASS_NEXT_RAW_BLOCK);
        const auto* data = messages[i].get_message_data();
        EXPECT_EQ(data->client_id()->str(), "client-7");
        EXPECT_EQ(data->version()->major(), 16U);
        const auto* block = block_of(messages[i]);
        EXPECT_EQ(block->block_index(), i);
        EXPECT_EQ(block->num_blocks(), 3U);
        EXPECT_EQ(block->duration(), 600000U);
        EXPECT_EQ(block->read_tag(), 42U);
        EXPECT_EQ(block->read_id()->str(), "read_42");
        EXPECT_EQ(block->strand_id()->str(), "strand_read_42");
        EXPECT_FLOAT_EQ(block->daq_offset(), 4.5F);
        EXPECT_FLOAT_EQ(block->daq_scaling(), 0.25F);
        const auto block_samples = samples_of(block);
        ASSERT_EQ(block_samples.size(), expected_sizes[i]);
        EXPECT_TRUE(std::equal(block_samples.begin(), block_samples.end(), samples.begin() + first));
        EXPECT_EQ(block->called_block(), nullptr);
        EXPECT_EQ(block->duplex_strand_1(), nullptr);
        first += expected_sizes[i];
    }
    EXPECT_EQ(basecall_service::block_builder_initial_size(256000), 2U * 256000 + 236);
    // The read itself is left as it was.
    EXPECT_EQ(read.get_dataset(dataset::raw_data).m_info.size, 600000U);
}

TEST(ReadBlockMessages, BlockCountEdges) {
    const auto exact = build_read_block_messages(make_read(1, ramp(256000)), 256000, "c");
    ASSERT_EQ(exact.size(), 1U);
    EXPECT_EQ(exact[0].get_type(), ipc_tools::PASS_FIRST_RAW_BLOCK);
    EXPECT_EQ(block_of(exact[0])->num_blocks(), 1U);

    EXPECT_TRUE(build_read_block_messages(make_read(2, {}), 256000, "c").empty());
    EXPECT_EQ(build_read_block_messages(make_read(3, ramp(256001)), 256000, "c").size(), 2U);
    EXPECT_THROW(build_read_block_messages(make_read(4, ramp(10)), 0, "c"), std::invalid_argument);
}

TEST(ReadBlockMessages, BatchHoldsEveryReadWholeInOrder) {
    std::vector<ReadHolder> reads;
    reads.push_back(make_read(10, ramp(1000)));
    reads.push_back(make_read(11, ramp(2000)));
    reads.push_back(make_read(12, ramp(500)));
    const std::vector<const ReadHolder*> views = {&reads[0], &reads[1], &reads[2]};
    const auto message = build_read_batch_message(views, "batcher");

    EXPECT_EQ(message.get_type(), ipc_tools::PASS_READ_BATCH);
    EXPECT_EQ(message.get_message_data()->client_id()->str(), "batcher");
    const auto* batch = message.get_message_data()->content_as_ReadBatchData();
    ASSERT_NE(batch, nullptr);
    EXPECT_EQ(batch->batch_type(), 0U);
    ASSERT_EQ(batch->read_blocks()->size(), 3U);
    const std::vector<std::uint32_t> sizes = {1000, 2000, 500};
    for (std::uint32_t i = 0; i < 3; ++i) {
        const auto* block = batch->read_blocks()->Get(i);
        EXPECT_EQ(block->read_tag(), 10 + i);
        EXPECT_EQ(block->type(), vexil_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK);
        EXPECT_EQ(block->block_index(), 0U);
        EXPECT_EQ(block->num_blocks(), 1U);
        EXPECT_EQ(block->duration(), sizes[i]);
        EXPECT_EQ(samples_of(block), ramp(sizes[i]));
    }
    EXPECT_EQ(basecall_service::batch_builder_initial_size(3, 3500), 7640U);
}

TEST(ReadBlockMessages, OptionalFieldsFollowTheirMetadata) {
    // Duplex pairing needs all four keys.
    ReadHolder partial = make_read(5, ramp(10));
    partial.metadata.insert<float>("sampling_rate", 4000.0F);
    partial.metadata.insert<std::int32_t>("channel", 12);
    partial.metadata.insert<std::uint32_t>("mux", 3);
    EXPECT_EQ(block_of(build_read_block_messages(partial, 100, "")[0])->duplex_pairing(), nullptr);
    partial.metadata.insert("run_id", "run-9");
    const auto paired = build_read_block_messages(partial, 100, "");
    const auto* pairing = block_of(paired[0])->duplex_pairing();
    ASSERT_NE(pairing, nullptr);
    EXPECT_FLOAT_EQ(pairing->sampling_rate(), 4000.0F);
    EXPECT_EQ(pairing->channel(), 12);
    EXPECT_EQ(pairing->mux(), 3U);
    EXPECT_EQ(pairing->run_id()->str(), "run-9");
    // Present but mistyped: the typed access refuses it.
    partial.metadata.insert<std::uint32_t>("channel", 12U);
    EXPECT_THROW(build_read_block_messages(partial, 100, ""), std::out_of_range);

    // Scaling override only for the bool true; missing values default to 0.
    ReadHolder scaled = make_read(6, ramp(10));
    scaled.metadata.insert<bool>("scaling_override", false);
    EXPECT_EQ(block_of(build_read_block_messages(scaled, 100, "")[0])->scaling_override(), nullptr);
    scaled.metadata.insert<std::int32_t>("scaling_override", 1);
    EXPECT_EQ(block_of(build_read_block_messages(scaled, 100, "")[0])->scaling_override(), nullptr);
    scaled.metadata.insert<bool>("scaling_override", true);
    scaled.metadata.insert<float>("scaling_override_median", 80.5F);
    const auto override_messages = build_read_block_messages(scaled, 100, "");
    const auto* override_table = block_of(override_messages[0])->scaling_override();
    ASSERT_NE(override_table, nullptr);
    EXPECT_FLOAT_EQ(override_table->median(), 80.5F);
    EXPECT_FLOAT_EQ(override_table->med_abs_dev(), 0.0F);

    // Start time and event count only as u64.
    ReadHolder timed = make_read(7, ramp(10));
    timed.metadata.insert<std::uint32_t>("start_time", 1234U);
    timed.metadata.insert<std::uint64_t>("num_dravik_events", 77);
    const auto timed_messages = build_read_block_messages(timed, 100, "");
    EXPECT_EQ(block_of(timed_messages[0])->start_time(), 0U);
    EXPECT_EQ(block_of(timed_messages[0])->num_dravik_events(), 77U);
    timed.metadata.insert<std::uint64_t>("start_time", 5000000000ULL);
    EXPECT_EQ(block_of(build_read_block_messages(timed, 100, "")[0])->start_time(), 5000000000ULL);
}

TEST(ReadBlockMessages, TagsTravelAsLow32BitsAndEmptyIdIsWritten) {
    ReadHolder read = make_read((std::uint64_t{1} << 32) + 17, ramp(10));
    read.sub_tag = (std::uint64_t{3} << 32) + 2;
    const auto messages = build_read_block_messages(read, 100, "");
    const auto* data = messages[0].get_message_data();
    ASSERT_NE(data->client_id(), nullptr);
    EXPECT_EQ(data->client_id()->str(), "");
    EXPECT_EQ(block_of(messages[0])->read_tag(), 17U);
    EXPECT_EQ(block_of(messages[0])->sub_tag(), 2U);
}

TEST(ReadBlockMessages, BadReadsAreRefusedWithClearErrors) {
    ReadHolder no_raw = make_read(1, ramp(10));
    no_raw.datasets.clear();
    EXPECT_THROW(build_read_block_messages(no_raw, 100, ""), std::out_of_range);

    ReadHolder wrong_type = make_read(2, {});
    wrong_type.datasets.clear();
    wrong_type.datasets.emplace(dataset::raw_data, DataView(std::vector<float>(10, 1.0F)));
    wrong_type.metadata.insert<std::uint64_t>("duration", 10);
    try {
        build_read_block_messages(wrong_type, 100, "");
        FAIL() << "float raw data was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Invalid array type requested.");
    }

    ReadHolder no_id = make_read(3, ramp(10));
    no_id.metadata = bass::data_wrappers::Metadata();
    no_id.metadata.insert<std::uint64_t>("duration", 10);
    no_id.metadata.insert<float>("daq_offset", 1.0F);
    no_id.metadata.insert<float>("daq_scaling", 1.0F);
    EXPECT_THROW(build_read_block_messages(no_id, 100, ""), std::out_of_range);

    // A duration that claims more samples than the raw data holds must not read past its end.
    ReadHolder overlong = make_read(4, ramp(10));
    overlong.metadata.insert<std::uint64_t>("duration", 1000);
    EXPECT_THROW(build_read_block_messages(overlong, 100, ""), std::runtime_error);
    std::vector<const ReadHolder*> batch = {&overlong};
    EXPECT_THROW(build_read_batch_message(batch, ""), std::runtime_error);
}

class ReadBlockMessagesAgainstServer : public ::testing::Test {
protected:
    ReadBlockMessagesAgainstServer() : m_server(options()), m_client(m_server.endpoint()) {
        m_client_id = m_client.connect();
    }

    reference_server::ServerOptions options() const {
        reference_server::ServerOptions server_options;
        server_options.address = m_dir.ipc_endpoint();
        server_options.quiet = true;
        return server_options;
    }

    static ReadHolder read_of(const server_test::TestRead& simulated) {
        return make_read(simulated.tag, simulated.raw, simulated.read_id);
    }

    server_test::TempDir m_dir;
    reference_server::ReferenceServer m_server;
    server_test::TestClient m_client;
    std::string m_client_id;
};

TEST_F(ReadBlockMessagesAgainstServer, LongReadIsCalledBackBlockByBlock) {
    const auto simulated = server_test::simulated_read(21, server_test::random_sequence(700, 3));
    ReadHolder read = read_of(simulated);
    read.metadata.insert<float>("daq_offset", simulated.daq_offset);
    read.metadata.insert<float>("daq_scaling", simulated.daq_scaling);
    auto messages = build_read_block_messages(read, 1000, m_client_id);
    ASSERT_EQ(messages.size(), (simulated.raw.size() + 999) / 1000);
    ASSERT_GT(messages.size(), 2U);
    for (auto& message : messages) {
        EXPECT_EQ(m_client.send(std::move(message)).get_type(), ipc_tools::RAW_BLOCK_ACCEPTED);
    }
    const auto returned = m_client.fetch_read(m_client_id);
    EXPECT_EQ(returned.tag, 21U);
    EXPECT_EQ(returned.read_id, simulated.read_id);
    EXPECT_EQ(returned.num_blocks, (simulated.raw.size() + 999) / 1000);
    EXPECT_EQ(returned.sequence, simulated.sequence);
}

TEST_F(ReadBlockMessagesAgainstServer, BatchIsCalledBackReadByRead) {
    std::vector<server_test::TestRead> simulated;
    std::vector<ReadHolder> reads;
    for (std::uint32_t i = 0; i < 3; ++i) {
        simulated.push_back(server_test::simulated_read(30 + i, server_test::random_sequence(80 + 10 * i, 10 + i)));
        reads.push_back(read_of(simulated.back()));
        reads.back().metadata.insert<float>("daq_offset", simulated.back().daq_offset);
        reads.back().metadata.insert<float>("daq_scaling", simulated.back().daq_scaling);
    }
    const std::vector<const ReadHolder*> views = {&reads[0], &reads[1], &reads[2]};
    EXPECT_EQ(m_client.send(build_read_batch_message(views, m_client_id)).get_type(), ipc_tools::BATCH_ACCEPTED);

    const auto reply = m_client.send(ipc_tools::GET_FIRST_CALLED_BLOCK, m_client_id);
    ASSERT_EQ(reply.get_type(), ipc_tools::RETURN_COMPLETED_BATCH)
            << ipc_tools::message_type_as_string(reply.get_type());
    const auto* batch = reply.get_message_data()->content_as_ReadBatchData();
    ASSERT_NE(batch, nullptr);
    ASSERT_EQ(batch->read_blocks()->size(), 3U);
    for (std::uint32_t i = 0; i < 3; ++i) {
        const auto* block = batch->read_blocks()->Get(i);
        EXPECT_EQ(block->read_tag(), 30 + i);
        ASSERT_NE(block->called_block(), nullptr);
        EXPECT_EQ(block->called_block()->sequence()->str(), simulated[i].sequence);
    }
}

}  // namespace
