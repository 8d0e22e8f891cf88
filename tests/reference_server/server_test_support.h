#pragma once

// Helpers shared by the reference server's integration tests: a temporary folder and simulated
// reads (from test_support/, which the benchmarks share too), read-block messages as a client
// sends them, and a small client over RequestBroker.

#include "ipc_tools/message.h"
#include "ipc_tools/request_broker.h"
#include "test_support/simulated_reads.h"
#include "test_support/slow_factor.h"
#include "test_support/temp_dir.h"

#include <flatbuffers/flatbuffers.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace server_test {

/// Poll time-out of tests that provoke silence: short, so that four unanswered polls stay cheap,
/// but long enough for an answer from a server slowed down by the thread sanitizer or the load.
#if defined(__SANITIZE_THREAD__)
inline const auto short_poll_timeout_ms = static_cast<std::uint32_t>(1000 * test_support::machine_slowness());
#else
inline const auto short_poll_timeout_ms = static_cast<std::uint32_t>(100 * test_support::machine_slowness());
#endif

/// Time-out of exchanges meant to be answered: the thread sanitizer slows both ends many times.
constexpr std::uint32_t reply_timeout_ms = 2000 * test_support::slow_factor;
using test_support::condition_timeout;

using namespace ipc_tools;

using test_support::random_sequence;
using test_support::simulated_read;
using test_support::TempDir;
using test_support::TestRead;

inline flatbuffers::Offset<vexil_ipc::ReadBlockData> append_block(flatbuffers::FlatBufferBuilder& fbb,
                                                                  const TestRead& read, std::uint32_t index,
                                                                  std::uint32_t num_blocks, std::size_t first,
                                                                  std::size_t count) {
    const auto raw = fbb.CreateVector(read.raw.data() + first, count);
    const auto read_id = fbb.CreateString(read.read_id);
    const auto strand_id = fbb.CreateString("strand_" + read.read_id);
    vexil_ipc::ReadBlockDataBuilder block(fbb);
    block.add_type(index == 0 ? vexil_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK
                              : vexil_ipc::ReadBlockType_PASS_NEXT_RAW_BLOCK);
    block.add_read_tag(read.tag);
    block.add_block_index(index);
    block.add_num_blocks(num_blocks);
    block.add_duration(static_cast<std::uint32_t>(read.raw.size()));
    block.add_daq_offset(read.daq_offset);
    block.add_daq_scaling(read.daq_scaling);
    block.add_read_id(read_id);
    block.add_raw_data(raw);
    block.add_strand_id(strand_id);
    block.add_start_time(1000 + read.tag);
    return block.Finish();
}

inline Message finish_message(flatbuffers::FlatBufferBuilder& fbb, const std::string& client_id,
                              vexil_ipc::Content type, flatbuffers::Offset<void> content) {
    const auto id = fbb.CreateString(client_id);
    const vexil_ipc::ProtocolVersion version(16, 0, 0);
    fbb.Finish(vexil_ipc::CreateMessageData(fbb, &version, id, type, content), vexil_ipc::MessageDataIdentifier());
    return Message(fbb);
}

/// The block messages of one read, blocks of at most `block_size` samples.
inline std::vector<Message> read_messages(const std::string& client_id, const TestRead& read, std::size_t block_size) {
    const std::size_t blocks = (read.raw.size() + block_size - 1) / block_size;
    std::vector<Message> messages;
    for (std::size_t i = 0; i < blocks; ++i) {
        flatbuffers::FlatBufferBuilder fbb(2 * block_size + 256);
        const std::size_t first = i * block_size;
        const auto block = append_block(fbb, read, static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(blocks),
                                        first, std::min(block_size, read.raw.size() - first));
        messages.push_back(finish_message(fbb, client_id, vexil_ipc::Content_ReadBlockData, block.Union()));
    }
    return messages;
}

inline Message batch_message(const std::string& client_id, const std::vector<TestRead>& reads) {
    flatbuffers::FlatBufferBuilder fbb(4096);
    std::vector<flatbuffers::Offset<vexil_ipc::ReadBlockData>> blocks;
    for (const auto& read : reads) {
        blocks.push_back(append_block(fbb, read, 0, 1, 0, read.raw.size()));
    }
    const auto list = fbb.CreateVector(blocks);
    vexil_ipc::ReadBatchDataBuilder batch(fbb);
    batch.add_read_blocks(list);
    return finish_message(fbb, client_id, vexil_ipc::Content_ReadBatchData, batch.Finish().Union());
}

/// What the tests look at in a returned read, joined over all of its blocks.
struct ReturnedRead {
    std::uint32_t tag = 0;
    std::uint32_t sub_tag = 0;
    std::uint64_t start_time = 0;
    std::string read_id;
    std::uint32_t duration = 0;
    std::uint32_t num_blocks = 0;
    std::uint32_t blocks_received = 0;
    std::uint32_t model_stride = 0;
    std::uint32_t event_capacity = 0;
    std::string sequence;
    std::string qstring;
    std::vector<std::uint8_t> moves;
    std::size_t trace_bytes = 0;
    std::size_t state_values = 0;
    std::uint32_t state_size = 0;
    std::vector<std::string> genomes;
    std::vector<std::uint32_t> genome_starts;
    std::vector<char> directions;
    std::vector<std::string> sam_records;
    std::vector<std::uint32_t> bed_hits;
    std::vector<std::string> bed_lines;
    std::string barcode_arrangement;
    bool has_barcoding = false;
    bool has_scaling = false;
};

inline void add_block(ReturnedRead& read, const vexil_ipc::ReadBlockData* block) {
    const auto* called = block->called_block();
    if (read.blocks_received++ == 0) {
        read.tag = block->read_tag();
        read.sub_tag = block->sub_tag();
        read.start_time = block->start_time();
        read.read_id = block->read_id() ? block->read_id()->str() : "";
        read.duration = block->duration();
        read.num_blocks = block->num_blocks();
        if (called != nullptr) {
            read.model_stride = called->model_stride();
            read.event_capacity = called->event_capacity();
            read.state_size = called->state_size();
            read.has_scaling = called->scaling() != nullptr;
            if (const auto* alignments = called->alignments()) {
                for (const auto* alignment : *alignments) {
                    read.genomes.push_back(alignment->Genome() ? alignment->Genome()->str() : "");
                    read.genome_starts.push_back(alignment->GenomeStart());
                    read.directions.push_back(static_cast<char>(alignment->Direction()));
                    read.sam_records.push_back(alignment->sam_record() ? alignment->sam_record()->str() : "");
                    read.bed_hits.push_back(alignment->BedHits());
                    read.bed_lines.push_back(alignment->bed_lines() ? alignment->bed_lines()->str() : "");
                }
            }
            if (const auto* barcoding = called->barcoding()) {
                read.has_barcoding = true;
                read.barcode_arrangement =
                        barcoding->barcode_arrangement() ? barcoding->barcode_arrangement()->str() : "";
            }
        }
    }
    if (called == nullptr) {
        return;
    }
    read.sequence += called->sequence() ? called->sequence()->str() : "";
    read.qstring += called->qstring() ? called->qstring()->str() : "";
    if (const auto* trace = called->trace_as_FlipflopTraceData()) {
        if (trace->movement()) {
            read.moves.insert(read.moves.end(), trace->movement()->begin(), trace->movement()->end());
        }
        read.trace_bytes += trace->flipflop_trace() ? trace->flipflop_trace()->size() : 0;
    }
    read.state_values += called->state_data() ? called->state_data()->size() : 0;
}

/// A client on one REQ socket, sending one request at a time.
class TestClient {
public:
    explicit TestClient(const std::string& endpoint, std::uint32_t timeout_ms = reply_timeout_ms)
        : m_endpoint(endpoint), m_timeout_ms(timeout_ms) {
        m_broker.prepare_connection(endpoint, timeout_ms);
    }

    /// Throws the broker's errors; after one, call reset() before the next request.
    Message send(Message request) {
        Message reply;
        m_broker.send_request(request, reply);
        return reply;
    }
    Message send(MessageType type, const std::string& client_id = {}, std::uint32_t value = 0,
                 const std::string& text = {}) {
        return send(Message(type, client_id, value, text));
    }
    void reset() { m_broker.prepare_connection(m_endpoint, m_timeout_ms); }

    /// LOAD_CONFIG, then CONNECT with "<config>:>timeout_interval=60000>client_name=<name><extra>":
    /// a test client does not ping, so the server forgets it only after a minute of silence.
    /// Returns the CONNECTED reply.
    Message connect_reply(const std::string& config, const std::string& name = "tester",
                          const std::string& extra = {}) {
        const Message loaded = send(LOAD_CONFIG, "", 0, config);
        if (loaded.get_type() != SUCCESS) {
            throw std::runtime_error("LOAD_CONFIG answered " + message_type_as_string(loaded.get_type()));
        }
        return send(CONNECT, "", 1, config + ":>timeout_interval=60000>client_name=" + name + extra);
    }
    std::string connect(const std::string& config = "dna_sim_fast", const std::string& name = "tester",
                        const std::string& extra = {}) {
        const Message reply = connect_reply(config, name, extra);
        if (reply.get_type() != CONNECTED) {
            throw std::runtime_error("CONNECT answered " + message_type_as_string(reply.get_type()));
        }
        return reply.get_message_data()->client_id()->str();
    }

    /// Sends every block of a read; returns the reply to the last one sent.
    MessageType pass_read(const std::string& client_id, const TestRead& read, std::size_t block_size = 1U << 20) {
        MessageType last = UNSET;
        for (auto& message : read_messages(client_id, read, block_size)) {
            last = send(std::move(message)).get_type();
            if (last != RAW_BLOCK_ACCEPTED) {
                break;
            }
        }
        return last;
    }

    /// GET_FIRST_CALLED_BLOCK, then every further block. The reply must be a single read.
    ReturnedRead fetch_read(const std::string& client_id, std::uint32_t options = 0) {
        const Message first = send(GET_FIRST_CALLED_BLOCK, client_id, options);
        if (first.get_type() != RETURN_FIRST_CALLED_BLOCK) {
            throw std::runtime_error("GET_FIRST_CALLED_BLOCK answered " + message_type_as_string(first.get_type()));
        }
        ReturnedRead read;
        const auto* block = first.get_message_data()->content_as_ReadBlockData();
        add_block(read, block);
        const std::string strand = block->strand_id() ? block->strand_id()->str() : "";
        while (read.blocks_received < read.num_blocks) {
            const Message next = send(GET_NEXT_CALLED_BLOCK, client_id, read.tag, strand);
            if (next.get_type() != RETURN_NEXT_CALLED_BLOCK) {
                throw std::runtime_error("GET_NEXT_CALLED_BLOCK answered " + message_type_as_string(next.get_type()));
            }
            add_block(read, next.get_message_data()->content_as_ReadBlockData());
        }
        return read;
    }

private:
    std::string m_endpoint;
    std::uint32_t m_timeout_ms;
    RequestBroker m_broker;
};

inline std::string reply_text(const Message& reply) {
    const auto* simple = reply.get_message_data()->content_as_SimpleReplyData();
    return simple != nullptr && simple->text() != nullptr ? simple->text()->str() : std::string();
}

inline std::uint32_t reply_value(const Message& reply) {
    const auto* simple = reply.get_message_data()->content_as_SimpleReplyData();
    return simple != nullptr ? simple->value() : 0U;
}

}  // namespace server_test
