#include "reference_server/reference_server.h"

#include "ipc_tools/connection_info.h"
#include "reference_server/barcode_kits.h"
#include "server_test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <zmq.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>
#include <tuple>

using namespace reference_server;
using namespace server_test;

namespace {

class ServerTest : public ::testing::Test {
protected:
    void start(ServerOptions options = {}) {
        options.address = m_dir.ipc_endpoint();
        m_server = std::make_unique<ReferenceServer>(std::move(options));
        m_client = std::make_unique<TestClient>(m_server->endpoint());
    }
    void SetUp() override { start(); }

    TempDir m_dir;
    std::unique_ptr<ReferenceServer> m_server;
    std::unique_ptr<TestClient> m_client;
};

}  // namespace

TEST_F(ServerTest, ListsAndLoadsConfigurations) {
    const Message configs = m_client->send(GET_CONFIGS);
    ASSERT_EQ(RETURN_CONFIGS, configs.get_type());
    const auto* list = configs.get_message_data()->content_as_ConfigData()->configurations();
    ASSERT_NE(nullptr, list);
    ASSERT_EQ(default_configurations().size(), list->size());
    for (const auto* config : *list) {
        EXPECT_GT(config->model_stride(), 0U);
        EXPECT_FALSE(config->config_name()->str().empty());
        EXPECT_FALSE(config->model_type()->str().empty());
        EXPECT_FALSE(config->model_version_id()->str().empty());
    }
    EXPECT_EQ("dna_sim_fast", list->Get(0)->config_name()->str());

    EXPECT_EQ(SUCCESS, m_client->send(LOAD_CONFIG, "", 0, "dna_sim_hac").get_type());
    const Message unknown = m_client->send(LOAD_CONFIG, "", 0, "no_such_config");
    EXPECT_EQ(REQUEST_FAILED, unknown.get_type());
    EXPECT_EQ("Unknown basecall configuration: no_such_config", reply_text(unknown));
}

TEST_F(ServerTest, ConfigurationsComeFromTheOptions) {
    ServerOptions options;
    options.configurations = {parse_configuration("custom:7")};
    m_client.reset();
    m_server.reset();
    start(options);
    const Message configs = m_client->send(GET_CONFIGS);
    const auto* list = configs.get_message_data()->content_as_ConfigData()->configurations();
    ASSERT_EQ(1U, list->size());
    EXPECT_EQ("custom", list->Get(0)->config_name()->str());
    EXPECT_EQ(7U, list->Get(0)->model_stride());
}

TEST_F(ServerTest, ConnectGivesFreshIdsAndTheConnectedInfo) {
    const Message first = m_client->connect_reply("dna_sim_fast", "alice");
    ASSERT_EQ(CONNECTED, first.get_type());
    const auto info = ConnectedInfo::parse(reply_text(first));
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->client_uid.empty());
    EXPECT_EQ(info->client_uid, first.get_message_data()->client_id()->str());
    EXPECT_FALSE(info->server_version.empty());
    EXPECT_FALSE(info->minimap_version.empty());

    const Message second = m_client->connect_reply("dna_sim_fast", "alice");
    EXPECT_NE(info->client_uid, ConnectedInfo::parse(reply_text(second))->client_uid);
}

TEST_F(ServerTest, ConnectRefusals) {
    // Configuration known but never loaded.
    EXPECT_EQ(INVALID_CONFIG,
              m_client->send(CONNECT, "", 1, "dna_sim_hac:>timeout_interval=1>client_name=x").get_type());
    EXPECT_EQ(INVALID_CONFIG, m_client->send(CONNECT, "", 1, "nothing:>client_name=x").get_type());
    EXPECT_EQ(INVALID_BARCODE_KIT,
              m_client->connect_reply("dna_sim_fast", "x", ">barcode_kits=SIM-BC12 NO-SUCH-KIT").get_type());
    EXPECT_EQ(INVALID_INDEX,
              m_client->connect_reply("dna_sim_fast", "x", ">align_ref=" + m_dir.path("missing.fa")).get_type());
    EXPECT_EQ(INVALID_BED, m_client->connect_reply("dna_sim_fast", "x", ">bed_file=" + m_dir.path("x.bed")).get_type());

    const auto empty_index = m_dir.write("empty.fa", "");
    ASSERT_EQ(SUCCESS, m_client->send(LOAD_INDEX, "", 0, empty_index).get_type());
    EXPECT_EQ(INDEX_NO_SEQ, m_client->connect_reply("dna_sim_fast", "x", ">align_ref=" + empty_index).get_type());

    // A connection string that does not parse is a bad request.
    EXPECT_THROW(m_client->send(CONNECT, "", 1, "dna_sim_fast:>broken"), BadRequest);
}

TEST_F(ServerTest, HeartbeatDisconnectAndUnknownClients) {
    EXPECT_EQ(HEARTBEAT_ECHO, m_client->send(HEARTBEAT_PING).get_type());
    const std::string id = m_client->connect();
    EXPECT_EQ(HEARTBEAT_ECHO, m_client->send(HEARTBEAT_PING, id).get_type());
    EXPECT_EQ(NONE_PENDING, m_client->send(GET_FIRST_CALLED_BLOCK, id).get_type());
    EXPECT_EQ(SUCCESS, m_client->send(NO_MORE_DATA, id).get_type());
    EXPECT_EQ(DISCONNECTED, m_client->send(DISCONNECT, id).get_type());
    // The broker treats CLIENT_NOT_RECOGNISED as a server restart.
    EXPECT_THROW(m_client->send(HEARTBEAT_PING, id), TimeoutError);
    m_client->reset();
    EXPECT_THROW(m_client->send(GET_FIRST_CALLED_BLOCK, "never_connected"), TimeoutError);
}

TEST_F(ServerTest, SimulatedReadComesBackWithItsExactSequenceAndMoves) {
    const std::string id = m_client->connect("dna_sim_fast", "tester", ">move_and_trace_enabled=1");
    const TestRead read = simulated_read(42, random_sequence(400, 3));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, read));
    const ReturnedRead called = m_client->fetch_read(id);
    EXPECT_EQ(42U, called.tag);
    EXPECT_EQ(read.read_id, called.read_id);
    EXPECT_EQ(read.raw.size(), called.duration);
    EXPECT_EQ(read.sequence, called.sequence);
    EXPECT_EQ(read.sequence.size(), called.qstring.size());
    EXPECT_EQ(std::vector<std::uint8_t>(read.sequence.size(), 1), called.moves);
    EXPECT_EQ(read.sequence.size() * 8, called.trace_bytes);
    EXPECT_EQ(0U, called.state_values);
    EXPECT_EQ(5U, called.model_stride);
    EXPECT_EQ(read.sequence.size(), called.event_capacity);
    EXPECT_TRUE(called.has_scaling);
    EXPECT_TRUE(called.genomes.empty());
    EXPECT_FALSE(called.has_barcoding);
    EXPECT_EQ(NONE_PENDING, m_client->send(GET_FIRST_CALLED_BLOCK, id).get_type());
}

TEST_F(ServerTest, TraceOnlyWhenEnabledAndNotDisabledAndStateDataWhenAsked) {
    const std::string plain = m_client->connect();
    const TestRead read = simulated_read(1, random_sequence(100, 4));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(plain, read));
    const auto without = m_client->fetch_read(plain, 2);  // pull state data
    EXPECT_TRUE(without.moves.empty());
    EXPECT_EQ(read.sequence.size() * 4, without.state_values);
    EXPECT_EQ(4U, without.state_size);

    const std::string traced = m_client->connect("dna_sim_fast", "t", ">move_and_trace_enabled=1");
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(traced, read));
    const auto disabled = m_client->fetch_read(traced, 1);  // events disabled
    EXPECT_TRUE(disabled.moves.empty());
    EXPECT_EQ(read.sequence, disabled.sequence);
}

TEST_F(ServerTest, LongReadsTravelInSeveralBlocksBothWays) {
    const std::string id = m_client->connect("dna_sim_fast", "tester", ">move_and_trace_enabled=1");
    const TestRead read = simulated_read(7, random_sequence(1000, 5));
    const auto messages = read_messages(id, read, 1800);  // 5000 samples: blocks of 1800, 1800, 1400
    ASSERT_EQ(3U, messages.size());
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, read, 1800));
    const auto called = m_client->fetch_read(id);
    EXPECT_EQ(3U, called.num_blocks);
    EXPECT_EQ(3U, called.blocks_received);
    EXPECT_EQ(read.sequence, called.sequence);
    EXPECT_EQ(read.sequence.size(), called.moves.size());
    EXPECT_EQ(read.raw.size(), called.duration);
    // All blocks have been fetched; another next block is a bad request.
    EXPECT_THROW(m_client->send(GET_NEXT_CALLED_BLOCK, id, 7, "strand"), BadRequest);
}

TEST_F(ServerTest, BlocksOutOfOrderOrWithoutFirstBlockAreBadRequests) {
    const std::string id = m_client->connect();
    const TestRead read = simulated_read(9, random_sequence(300, 6));
    auto messages = read_messages(id, read, 500);
    ASSERT_EQ(3U, messages.size());
    EXPECT_THROW(m_client->send(std::move(messages[1])), BadRequest);
    m_client->reset();
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->send(std::move(messages[0])).get_type());
    EXPECT_THROW(m_client->send(std::move(messages[2])), BadRequest);
    m_client->reset();
    // The broken read was dropped: nothing comes back, and a clean resend works.
    EXPECT_EQ(NONE_PENDING, m_client->send(GET_FIRST_CALLED_BLOCK, id).get_type());
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, read, 500));
    EXPECT_EQ(read.sequence, m_client->fetch_read(id).sequence);
}

TEST_F(ServerTest, BatchesComeBackAsACompletedBatchInOrder) {
    const std::string id = m_client->connect();
    std::vector<TestRead> reads;
    for (std::uint32_t tag = 10; tag < 13; ++tag) {
        reads.push_back(simulated_read(tag, random_sequence(50 + tag, tag)));
    }
    ASSERT_EQ(BATCH_ACCEPTED, m_client->send(batch_message(id, reads)).get_type());
    const Message reply = m_client->send(GET_FIRST_CALLED_BLOCK, id);
    ASSERT_EQ(RETURN_COMPLETED_BATCH, reply.get_type());
    const auto* batch = reply.get_message_data()->content_as_ReadBatchData();
    EXPECT_EQ(1U, batch->batch_type());
    ASSERT_EQ(3U, batch->read_blocks()->size());
    for (std::size_t i = 0; i < reads.size(); ++i) {
        ReturnedRead called;
        add_block(called, batch->read_blocks()->Get(static_cast<flatbuffers::uoffset_t>(i)));
        EXPECT_EQ(reads[i].tag, called.tag);
        EXPECT_EQ(1U, called.num_blocks);
        EXPECT_EQ(reads[i].sequence, called.sequence);
    }
}

TEST_F(ServerTest, AlignsToTheExactPositionAndStrandAndReportsBedHits) {
    const std::string reference = random_sequence(5000, 11);
    const auto fasta =
            m_dir.write("ref.fa", ">decoy\n" + random_sequence(3000, 12) + "\n>chr_sim\n" + reference + "\n");
    const auto bed = m_dir.write("regions.bed", "chr_sim\t1000\t1100\tregion_a\nchr_sim\t4000\t4100\tregion_b\n");
    EXPECT_EQ(SUCCESS, m_client->send(LOAD_INDEX, "", 0, fasta + ":>minimap_opt_string=-k 15").get_type());
    EXPECT_EQ(SUCCESS, m_client->send(LOAD_BED, "", 0, bed).get_type());

    const Message indices = m_client->send(GET_INDICES);
    ASSERT_EQ(RETURN_CONFIGS, indices.get_type());
    const auto* list = indices.get_message_data()->content_as_ConfigData()->alignment_indices();
    ASSERT_EQ(1U, list->size());
    EXPECT_EQ(std::filesystem::canonical(fasta).string(), list->Get(0)->index_name()->str());
    EXPECT_NE(std::string::npos, list->Get(0)->sam_header()->str().find("@SQ\tSN:chr_sim\tLN:5000"));

    const std::string id = m_client->connect("dna_sim_fast", "aligner", ">align_ref=" + fasta + ">bed_file=" + bed);
    const TestRead forward = simulated_read(1, reference.substr(1050, 300));
    const TestRead reverse = simulated_read(2, reverse_complement(reference.substr(2500, 300)));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, forward));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, reverse));

    const auto first = m_client->fetch_read(id);
    ASSERT_EQ(1U, first.genomes.size());
    EXPECT_EQ("chr_sim", first.genomes[0]);
    EXPECT_EQ(1050U, first.genome_starts[0]);
    EXPECT_EQ('+', first.directions[0]);
    EXPECT_EQ(1U, first.bed_hits[0]);
    EXPECT_EQ("chr_sim\t1000\t1100\tregion_a", first.bed_lines[0]);
    EXPECT_EQ(0U, first.sam_records[0].find("read_1\t0\tchr_sim\t1051\t60\t300M\t"));

    const auto second = m_client->fetch_read(id);
    ASSERT_EQ(1U, second.genomes.size());
    EXPECT_EQ(2500U, second.genome_starts[0]);
    EXPECT_EQ('-', second.directions[0]);
    EXPECT_EQ(0U, second.bed_hits[0]);
    EXPECT_EQ(0U, second.sam_records[0].find("read_2\t16\tchr_sim\t2501\t"));
}

TEST_F(ServerTest, IndexAndBedLoadFailures) {
    const Message missing = m_client->send(LOAD_INDEX, "", 0, m_dir.path("absent.fa"));
    EXPECT_EQ(REQUEST_FAILED, missing.get_type());
    EXPECT_NE(std::string::npos, reply_text(missing).find("absent.fa"));
    const auto fasta = m_dir.write("ref.fa", ">a\nACGT\n");
    EXPECT_EQ(INVALID_ALIGNER_OPTIONS,
              m_client->send(LOAD_INDEX, "", 0, fasta + ":>minimap_opt_string=nonsense").get_type());
    EXPECT_EQ(REQUEST_FAILED, m_client->send(LOAD_BED, "", 0, m_dir.path("absent.bed")).get_type());
    EXPECT_EQ(REQUEST_FAILED, m_client->send(LOAD_BED, "", 0, m_dir.write("bad.bed", "a\tx\ty\n")).get_type());
}

TEST_F(ServerTest, FilesThatAreNotRegularOrTooLargeAreRefusedAtOnce) {
    ServerOptions options;
    options.max_load_file_bytes = 1000;
    m_client.reset();
    m_server.reset();
    start(options);
    const std::string fifo = m_dir.path("pipe.fa");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));  // opening it for reading would wait for a writer
    const std::string folder = m_dir.path("folder");
    std::filesystem::create_directory(folder);
    const std::string header = ">r\n";
    const auto at_limit = m_dir.write("at_limit.fa", header + std::string(1000 - header.size() - 1, 'A') + "\n");
    const auto over_limit = m_dir.write("over_limit.fa", header + std::string(1000, 'A') + "\n");
    const auto big_bed = m_dir.write("big.bed", std::string(50, '#') + "\n" + std::string(1000, 'x'));

    const std::vector<std::tuple<MessageType, std::string, std::string>> refused{
            {LOAD_INDEX, "/dev/zero", "not a regular file"}, {LOAD_INDEX, fifo, "not a regular file"},
            {LOAD_INDEX, folder, "not a regular file"},      {LOAD_BED, folder, "not a regular file"},
            {LOAD_INDEX, over_limit, "limit of 1000"},       {LOAD_BED, big_bed, "limit of 1000"}};
    for (const auto& [type, path, why] : refused) {
        const Message reply = m_client->send(type, "", 0, path);
        EXPECT_EQ(REQUEST_FAILED, reply.get_type()) << path;
        EXPECT_NE(std::string::npos, reply_text(reply).find(why)) << reply_text(reply);
        EXPECT_NE(std::string::npos, reply_text(reply).find(path)) << reply_text(reply);
    }
    EXPECT_EQ(SUCCESS, m_client->send(LOAD_INDEX, "", 0, at_limit).get_type());
    const Message listed = m_client->send(GET_INDICES);
    const auto* indices = listed.get_message_data()->content_as_ConfigData()->alignment_indices();
    ASSERT_EQ(1U, indices->size());  // nothing refused was registered
    EXPECT_EQ(std::filesystem::canonical(at_limit).string(), indices->Get(0)->index_name()->str());
    EXPECT_EQ(INVALID_BED, m_client->connect_reply("dna_sim_fast", "x", ">bed_file=" + folder).get_type());
}

TEST_F(ServerTest, LargeFilesLoadOnTheirOwnThreadWhileOtherClientsAreServed) {
    // Above what loads within a request.
    const std::string reference = random_sequence(100000, 21);
    const auto fasta = m_dir.write("large.fa", ">large\n" + reference + "\n>gap\n" + std::string(5 << 20, 'N') + "\n");
    EXPECT_EQ(LOADING, m_client->send(LOAD_INDEX, "", 0, fasta).get_type());
    TestClient other(m_server->endpoint());
    const std::string id = other.connect();
    const TestRead read = simulated_read(1, reference.substr(100, 200));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, other.pass_read(id, read));
    EXPECT_EQ(read.sequence, other.fetch_read(id).sequence);

    MessageType answer = LOADING;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (answer == LOADING && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        answer = m_client->send(LOAD_INDEX, "", 0, fasta).get_type();
    }
    ASSERT_EQ(SUCCESS, answer);
    const std::string aligned = m_client->connect("dna_sim_fast", "a", ">align_ref=" + fasta);
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(aligned, read));
    const auto called = m_client->fetch_read(aligned);
    ASSERT_EQ(1U, called.genome_starts.size());
    EXPECT_EQ(100U, called.genome_starts[0]);
}

TEST_F(ServerTest, SplitReadsComeBackAsParentAndPartsInBothPaths) {
    ServerOptions options;
    options.split_reads = 2;
    m_client.reset();
    m_server.reset();
    start(options);
    const std::string id = m_client->connect("dna_sim_fast", "split", ">move_and_trace_enabled=1");
    // Sub-read i of k holds bases [n(i-1)/k, ni/k) of the parent's n.
    const auto part = [](const std::string& whole, std::uint32_t sub) {
        const std::size_t first = whole.size() * (sub - 1) / 2;
        return sub == 0 ? whole : whole.substr(first, whole.size() * sub / 2 - first);
    };

    // One read a pull, sub-reads first, each in as many blocks as the read came in.
    const TestRead long_read = simulated_read(7, random_sequence(1001, 5));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, long_read, 1800));  // three blocks
    for (const std::uint32_t sub : {1U, 2U, 0U}) {
        const auto called = m_client->fetch_read(id, 2);  // with state data
        const std::string expected = part(long_read.sequence, sub);
        EXPECT_EQ(7U, called.tag);
        ASSERT_EQ(sub, called.sub_tag);
        EXPECT_EQ(3U, called.blocks_received);
        EXPECT_EQ(expected, called.sequence) << "sub " << sub;
        EXPECT_EQ(expected.size(), called.event_capacity);
        EXPECT_EQ(std::vector<std::uint8_t>(expected.size(), 1), called.moves);
        EXPECT_EQ(expected.size() * 8, called.trace_bytes);
        EXPECT_EQ(expected.size() * 4, called.state_values);
        EXPECT_EQ(sub == 0 ? long_read.raw.size() : expected.size() * 5, called.duration);
        EXPECT_EQ(1007U + (sub == 2 ? 500U * 5 : 0U), called.start_time);
    }
    EXPECT_EQ(NONE_PENDING, m_client->send(GET_FIRST_CALLED_BLOCK, id).get_type());

    // A batch lists an even tag's sub-reads after it, an odd tag's before it; a read of fewer
    // bases than parts stays whole.
    const std::vector<TestRead> reads{simulated_read(10, random_sequence(61, 10)),
                                      simulated_read(11, random_sequence(60, 11)), simulated_read(12, "G")};
    ASSERT_EQ(BATCH_ACCEPTED, m_client->send(batch_message(id, reads)).get_type());
    const Message reply = m_client->send(GET_FIRST_CALLED_BLOCK, id);
    ASSERT_EQ(RETURN_COMPLETED_BATCH, reply.get_type());
    const auto* blocks = reply.get_message_data()->content_as_ReadBatchData()->read_blocks();
    const std::vector<std::pair<std::size_t, std::uint32_t>> order{{0, 0}, {0, 1}, {0, 2}, {1, 1},
                                                                   {1, 2}, {1, 0}, {2, 0}};
    ASSERT_EQ(order.size(), blocks->size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        const auto& [index, sub] = order[i];
        ReturnedRead called;
        add_block(called, blocks->Get(static_cast<flatbuffers::uoffset_t>(i)));
        EXPECT_EQ(reads[index].tag, called.tag) << i;
        EXPECT_EQ(sub, called.sub_tag) << i;
        EXPECT_EQ(part(reads[index].sequence, sub), called.sequence) << i;
        EXPECT_EQ(called.sequence.size(), called.moves.size()) << i;
    }
}

TEST_F(ServerTest, BarcodeKitsAndBarcoding) {
    const Message kits = m_client->send(GET_BARCODE_KITS);
    ASSERT_EQ(RETURN_CONFIGS, kits.get_type());
    const auto* list = kits.get_message_data()->content_as_ConfigData()->barcode_kit_definitions();
    ASSERT_EQ(builtin_barcode_kits().size(), list->size());
    EXPECT_EQ("SIM-BC12", list->Get(0)->kit_name()->str());
    EXPECT_EQ(12U, list->Get(0)->last_index());
    EXPECT_EQ("barcode%02i", list->Get(0)->naming_pattern()->str());

    const Message lamp = m_client->send(GET_LAMP_KITS);
    ASSERT_EQ(RETURN_CONFIGS, lamp.get_type());
    const auto* lamp_list = lamp.get_message_data()->content_as_ConfigData()->lamp_kit_definitions();
    ASSERT_EQ(1U, lamp_list->size());
    EXPECT_EQ(2U, lamp_list->Get(0)->targets()->size());

    const std::string id = m_client->connect("dna_sim_fast", "bc", ">barcode_kits=SIM-BC12");
    ASSERT_EQ(RAW_BLOCK_ACCEPTED,
              m_client->pass_read(id, simulated_read(1, barcode_sequence(3) + random_sequence(80, 1))));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, simulated_read(2, random_sequence(80, 2))));
    const auto classified = m_client->fetch_read(id);
    EXPECT_TRUE(classified.has_barcoding);
    EXPECT_EQ("barcode03", classified.barcode_arrangement);
    EXPECT_EQ("unclassified", m_client->fetch_read(id).barcode_arrangement);
}

TEST_F(ServerTest, StatisticsQueriesAndInternalState) {
    const std::string id = m_client->connect();
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, simulated_read(1, random_sequence(60, 1))));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, simulated_read(2, random_sequence(60, 2))));
    m_client->fetch_read(id);

    const Message stats = m_client->send(GET_STATISTICS);
    ASSERT_EQ(RETURN_STATISTICS, stats.get_type());
    const auto* table = stats.get_message_data()->content_as_ServerStats();
    EXPECT_EQ(2U, table->lifetime_reads_in());
    EXPECT_EQ(1U, table->lifetime_reads_out());
    EXPECT_EQ(2U, table->period_reads_in());
    ASSERT_EQ(1U, table->client_stats()->size());
    EXPECT_EQ(2U, table->client_stats()->Get(0)->input_read_count());
    EXPECT_EQ(1U, table->client_stats()->Get(0)->output_read_count());
    // A new period starts with every statistics request.
    EXPECT_EQ(0U, m_client->send(GET_STATISTICS).get_message_data()->content_as_ServerStats()->period_reads_in());

    const Message state = m_client->send(create_query_request(QueryCode::internal_state, ""));
    ASSERT_EQ(RESPONSE, state.get_type());
    const auto json = nlohmann::json::parse(reply_text(state));
    ASSERT_TRUE(json.contains("ServerInformation"));
    EXPECT_EQ(1, json["ServerInformation"]["connected_clients"]);
    EXPECT_TRUE(json["Clients"].contains(id));

    const Message help = m_client->send(create_query_request(QueryCode::minimap_info, ""));
    ASSERT_EQ(RESPONSE, help.get_type());
    const std::string text = reply_text(help);
    const auto newline = text.rfind('\n');
    ASSERT_NE(std::string::npos, newline);
    EXPECT_EQ(ServerOptions{}.aligner_version, text.substr(newline + 1));

    EXPECT_THROW(m_client->send(QUERY, "", 7), BadRequest);
}

TEST_F(ServerTest, NotReadyOnceAClientHoldsTooManyReads) {
    ServerOptions options;
    options.max_reads_per_client = 2;
    m_client.reset();
    m_server.reset();
    start(options);
    const std::string id = m_client->connect();
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, simulated_read(1, random_sequence(40, 1))));
    ASSERT_EQ(BATCH_ACCEPTED,
              m_client->send(batch_message(id, {simulated_read(2, random_sequence(40, 2))})).get_type());
    EXPECT_EQ(NOT_READY, m_client->pass_read(id, simulated_read(3, random_sequence(40, 3))));
    EXPECT_EQ(NOT_READY, m_client->send(batch_message(id, {simulated_read(4, random_sequence(40, 4))})).get_type());
    m_client->fetch_read(id);
    EXPECT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, simulated_read(3, random_sequence(40, 3))));
}

TEST_F(ServerTest, FastModeSkipsTheSignalModel) {
    ServerOptions options;
    options.use_signal_model = false;
    m_client.reset();
    m_server.reset();
    start(options);
    const std::string id = m_client->connect();
    const TestRead read = simulated_read(5, random_sequence(200, 9));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, read));
    const auto called = m_client->fetch_read(id);
    EXPECT_EQ(std::string(200, 'A'), called.sequence);
    EXPECT_EQ(read.raw.size(), called.duration);
}

TEST_F(ServerTest, PullsWithoutHoldingAnswerNonePendingUntilTheOldestReadIsCalled) {
    ServerOptions options;
    options.hold_pulls = false;
    options.calling_threads = 2;
    m_client.reset();
    m_server.reset();
    start(options);
    const std::string id = m_client->connect();
    // A long read first, then a short one that is called sooner: reads still come back in order.
    const TestRead long_read = simulated_read(1, random_sequence(60000, 1));
    const TestRead short_read = simulated_read(2, random_sequence(20, 2));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, long_read));
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, short_read));
    std::vector<std::uint32_t> tags;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (tags.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        const Message reply = m_client->send(GET_FIRST_CALLED_BLOCK, id);
        if (reply.get_type() == NONE_PENDING) {
            ASSERT_EQ(0U, reply_value(reply));  // not called yet is not lost
            continue;
        }
        ASSERT_EQ(RETURN_FIRST_CALLED_BLOCK, reply.get_type());
        ReturnedRead called;
        add_block(called, reply.get_message_data()->content_as_ReadBlockData());
        tags.push_back(called.tag);
        EXPECT_TRUE((called.tag == 1 ? long_read.sequence : short_read.sequence) == called.sequence) << called.tag;
    }
    EXPECT_EQ((std::vector<std::uint32_t>{1, 2}), tags);
}

TEST_F(ServerTest, ReadsCalledAfterTheReplyWithoutCallingThreadsAndRepliesBuiltAhead) {
    ServerOptions options;
    options.calling_threads = 0;
    m_client.reset();
    m_server.reset();
    start(options);
    const std::string id = m_client->connect();
    const std::vector<TestRead> reads{simulated_read(3, random_sequence(70, 3)),
                                      simulated_read(4, random_sequence(90, 4))};
    ASSERT_EQ(BATCH_ACCEPTED, m_client->send(batch_message(id, reads)).get_type());
    const Message reply = m_client->send(GET_FIRST_CALLED_BLOCK, id);
    ASSERT_EQ(RETURN_COMPLETED_BATCH, reply.get_type());
    ReturnedRead second;
    add_block(second, reply.get_message_data()->content_as_ReadBatchData()->read_blocks()->Get(1));
    EXPECT_EQ(reads[1].sequence, second.sequence);

    // Replies are built ahead for the options of the client's last pull: a pull with other
    // options, or one a fault corrupts, must not be given the one built ahead.
    const std::string traced = m_client->connect("dna_sim_fast", "t", ">move_and_trace_enabled=1");
    const TestRead read = simulated_read(5, random_sequence(1000, 5));
    for (const std::uint32_t options : {0U, 1U, 0U}) {
        ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(traced, read, 1800));  // three blocks
        const auto called = m_client->fetch_read(traced, options);
        EXPECT_EQ(read.sequence, called.sequence);
        EXPECT_EQ(3U, called.blocks_received);
        EXPECT_EQ(options == 0 ? read.sequence.size() : 0U, called.moves.size()) << "options " << options;
    }
    FaultRule corrupt;
    corrupt.action = FaultAction::unknown_read_tag;
    corrupt.request = GET_FIRST_CALLED_BLOCK;
    m_server->faults().add(corrupt);
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(traced, read));
    const Message corrupted = m_client->send(GET_FIRST_CALLED_BLOCK, traced);
    ASSERT_EQ(RETURN_FIRST_CALLED_BLOCK, corrupted.get_type());
    EXPECT_NE(read.tag, corrupted.get_message_data()->content_as_ReadBlockData()->read_tag());
}

TEST_F(ServerTest, AReadTheModelCannotCallIsRefusedWhenPushed) {
    const std::string id = m_client->connect();
    TestRead read = simulated_read(8, random_sequence(40, 8));
    read.daq_scaling = 0.0F;
    EXPECT_THROW(m_client->pass_read(id, read), BadRequest);
    m_client->reset();
    EXPECT_THROW(m_client->send(batch_message(id, {simulated_read(9, random_sequence(40, 9)), read})), BadRequest);
    m_client->reset();
    // Nothing of either was taken.
    EXPECT_EQ(NONE_PENDING, m_client->send(GET_FIRST_CALLED_BLOCK, id).get_type());
}

TEST_F(ServerTest, UndecodableAndNonRequestFramesAreBadRequests) {
    zmq::context_t context(1);
    zmq::socket_t socket(context, zmq::socket_type::req);
    socket.set(zmq::sockopt::linger, 0);
    socket.connect(m_server->endpoint());
    for (const std::string& payload : {std::string("abc"), std::string("0123456789abcdef"),
                                       std::string("\xF0\xFF\0\0"
                                                   "0016"
                                                   "xxxxxxxx",
                                                   16)}) {
        socket.send(zmq::buffer(payload));
        zmq::message_t frame;
        ASSERT_TRUE(socket.recv(frame));
        Message reply(std::move(frame));
        EXPECT_EQ(BAD_REQUEST, reply.get_type());
    }
    // A reply type sent as a request.
    EXPECT_THROW(m_client->send(Message(HEARTBEAT_ECHO, "", 0, "")), BadRequest);
    EXPECT_EQ(2U, m_server->request_log().count(UNSET));  // too short, and not verifiable
    EXPECT_EQ(1U, m_server->request_log().count(INVALID_PROTOCOL));
}

TEST_F(ServerTest, RequestLogRecordsOrderTypesAndClientIds) {
    m_client->send(GET_CONFIGS);
    const std::string id = m_client->connect();
    m_client->send(HEARTBEAT_PING, id);
    ASSERT_EQ(RAW_BLOCK_ACCEPTED, m_client->pass_read(id, simulated_read(77, random_sequence(40, 1))));
    const auto log = m_server->request_log().snapshot();
    ASSERT_EQ(5U, log.size());
    const std::vector<MessageType> expected{GET_CONFIGS, LOAD_CONFIG, CONNECT, HEARTBEAT_PING, PASS_FIRST_RAW_BLOCK};
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(i, log[i].sequence);
        EXPECT_EQ(expected[i], log[i].type) << i;
    }
    EXPECT_EQ("", log[2].client_id);
    EXPECT_EQ(id, log[3].client_id);
    EXPECT_EQ(77U, log[4].value);
    EXPECT_EQ("read_77", log[4].text);
    EXPECT_EQ("dna_sim_fast", log[1].text);
}

TEST_F(ServerTest, ServesManyClientsAtOnce) {
    constexpr int clients = 6;
    std::vector<std::future<bool>> results;
    for (int c = 0; c < clients; ++c) {
        results.push_back(std::async(std::launch::async, [this, c] {
            TestClient client(m_server->endpoint());
            const std::string id = client.connect("dna_sim_fast", "client" + std::to_string(c));
            for (std::uint32_t tag = 0; tag < 10; ++tag) {
                const TestRead read = simulated_read(tag, random_sequence(100 + tag, c * 100 + tag));
                if (client.pass_read(id, read, 200) != RAW_BLOCK_ACCEPTED ||
                    client.fetch_read(id).sequence != read.sequence) {
                    return false;
                }
            }
            return client.send(DISCONNECT, id).get_type() == DISCONNECTED;
        }));
    }
    for (auto& result : results) {
        EXPECT_TRUE(result.get());
    }
}

TEST(ReferenceServerLifetime, BadAddressesAndTcpEndpoints) {
    ServerOptions options;
    options.address = "ipc:///nonexistent_folder_for_sure/s.sock";
    EXPECT_THROW(ReferenceServer{options}, std::runtime_error);
    options.address = "bogus";
    EXPECT_THROW(ReferenceServer{options}, std::invalid_argument);

    options.address = "tcp://127.0.0.1:*";
    ReferenceServer server(options);
    EXPECT_EQ(0U, server.endpoint().find("tcp://127.0.0.1:"));
    EXPECT_NE("tcp://127.0.0.1:*", server.endpoint());
    TestClient client(server.endpoint());
    EXPECT_EQ(HEARTBEAT_ECHO, client.send(HEARTBEAT_PING).get_type());
    server.stop();
    server.stop();  // idempotent
}

TEST(ReferenceServerLifetime, ServesAndIsReachedOverIpv6Loopback) {
    std::ifstream interfaces("/proc/net/if_inet6");
    const std::string listed((std::istreambuf_iterator<char>(interfaces)), std::istreambuf_iterator<char>());
    if (listed.find("00000000000000000000000000000001") == std::string::npos) {
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    ServerOptions options;
    options.address = "tcp://[::1]:*";
    ReferenceServer server(options);
    EXPECT_EQ(0U, server.endpoint().find("tcp://[::1]:")) << server.endpoint();
    TestClient client(server.endpoint());
    EXPECT_EQ(HEARTBEAT_ECHO, client.send(HEARTBEAT_PING).get_type());
    EXPECT_FALSE(client.connect().empty());
}
