#include "basecall_client/called_read_decoder.h"

#include "basecall_client/request_broker_adapter.h"
#include "reference_server/fault_rules.h"
#include "reference_server/reference_server.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/reference_server/server_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <optional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Allocations above this fail in this program, as they would on a machine without the memory; with
// overcommit a reservation made on the server's word alone would otherwise pass unnoticed.
constexpr std::size_t ALLOCATION_LIMIT = std::size_t{1} << 30;

// The replacements pair malloc with free; gcc cannot see that new and delete are both replaced.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return size <= ALLOCATION_LIMIT ? std::malloc(size == 0 ? 1 : size) : nullptr;
}
void* operator new(std::size_t size) {
    if (void* memory = operator new(size, std::nothrow)) {
        return memory;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace {

using basecall_service::CalledBlockLink;
using basecall_service::CalledReadDecoder;
using basecall_service::CalledReadOptions;
using basecall_service::CalledReadStore;
using basecall_service::ConnectionError;
using basecall_service::ErrorState;
using interfaces::ReadHolder;
using ipc_tools::Message;
using ipc_tools::MessageType;

// Submitted reads and sub-reads kept as the read buffer keeps them.
class MapStore : public CalledReadStore {
public:
    ReadHolder& submit(uint64_t tag, std::size_t samples) {
        auto read = std::make_unique<ReadHolder>();
        read->read_tag = tag;
        read->metadata.insert("read_id", "read_" + std::to_string(tag));
        read->datasets.emplace(dataset::raw_data, bass::data_wrappers::DataView(std::vector<int16_t>(samples, 7)));
        auto& stored = *read;
        m_submitted[tag] = std::move(read);
        return stored;
    }
    ReadHolder* get_submitted_read_holder(unsigned long long tag) const override {
        const auto found = m_submitted.find(tag);
        return found == m_submitted.end() ? nullptr : found->second.get();
    }
    // Results are written into the submitted read itself here; the engine's buffer keeps them apart.
    ReadHolder* results_of(unsigned long long tag) override {
        results_asked.push_back(tag);
        return get_submitted_read_holder(tag);
    }
    ReadHolder make_sub_read(unsigned long long tag, unsigned long long sub_tag) const override {
        ReadHolder sub_read;
        if (const ReadHolder* parent = get_submitted_read_holder(tag)) {
            sub_read.read_tag = parent->read_tag;
            sub_read.metadata = parent->metadata;
        }
        sub_read.sub_tag = sub_tag;
        return sub_read;
    }
    ReadHolder* add_temp_sub_read(ReadHolder& sub_read) override {
        const auto key = std::make_pair(sub_read.read_tag, sub_read.sub_tag);
        auto& slot = m_sub_reads[key];
        if (!slot) {
            slot = std::make_unique<ReadHolder>(std::move(sub_read));
        }
        return slot.get();
    }
    std::map<uint64_t, std::unique_ptr<ReadHolder>> m_submitted;
    std::map<std::pair<uint64_t, uint64_t>, std::unique_ptr<ReadHolder>> m_sub_reads;
    std::vector<unsigned long long> results_asked;
};

// Answers GET_NEXT_CALLED_BLOCK requests with prepared replies, or fails like a broken link.
class ScriptedLink : public CalledBlockLink {
public:
    bool start_request(Message& request) override {
        requests.push_back(request.get_type());
        return true;
    }
    bool finish_request(Message& reply) override {
        if (replies.empty()) {
            m_error = {ConnectionError::timed_out, "Timeout waiting for reply"};
            return false;
        }
        reply = std::move(replies.front());
        replies.pop_front();
        m_error = {};
        return true;
    }
    const ErrorState& error_state() const override { return m_error; }

    std::deque<Message> replies;
    std::vector<MessageType> requests;

private:
    ErrorState m_error;
};

// The parts of a called block the tests vary.
struct Block {
    uint32_t tag = 1;
    uint32_t sub_tag = 0;
    uint32_t num_blocks = 1;
    std::optional<uint32_t> block_index;  // left out when empty, as a server may
    uint32_t duration = 1000;
    std::string sequence = "ACGT";
    std::string qstring = "####";
    bool with_qstring = true;
    uint32_t event_capacity = 4;
    std::vector<uint8_t> moves{1, 1, 1, 1};
    std::optional<uint32_t> event_count;  // the moves' count when empty
    std::string base_mod_alphabet;        // no modified-base table when empty
    std::vector<uint8_t> base_mod_probs;
    std::size_t trace_values = 32;
    uint32_t model_stride = 5;
    uint32_t trimmed_samples = 10;
    bool called_block = true;
    bool with_scaling = true;
    vexil_ipc::ReadBlockType type = vexil_ipc::ReadBlockType_RETURN_FIRST_CALLED_BLOCK;
};

Message block_message(const Block& spec) {
    flatbuffers::FlatBufferBuilder fbb;
    flatbuffers::Offset<vexil_ipc::CalledBlockData> called;
    if (spec.called_block) {
        const auto sequence = fbb.CreateString(spec.sequence);
        const auto qstring = fbb.CreateString(spec.qstring);
        const auto trace = vexil_ipc::CreateFlipflopTraceData(
                fbb, fbb.CreateVector(spec.moves), fbb.CreateVector(std::vector<uint8_t>(spec.trace_values, 9)));
        const auto scaling = vexil_ipc::CreateScalingData(fbb, 80.0F, 5.0F);
        const auto base_mod = spec.base_mod_alphabet.empty()
                                      ? flatbuffers::Offset<vexil_ipc::BaseModData>()
                                      : vexil_ipc::CreateBaseModData(fbb, fbb.CreateString(spec.base_mod_alphabet), 0,
                                                                     0, fbb.CreateVector(spec.base_mod_probs));
        vexil_ipc::CalledBlockDataBuilder builder(fbb);
        builder.add_event_capacity(spec.event_capacity);
        builder.add_event_count(spec.event_count.value_or(static_cast<uint32_t>(spec.moves.size())));
        builder.add_sequence_length(spec.event_capacity);
        builder.add_model_stride(spec.model_stride);
        builder.add_trimmed_samples(spec.trimmed_samples);
        builder.add_sequence(sequence);
        if (spec.with_qstring) {
            builder.add_qstring(qstring);
        }
        if (!spec.base_mod_alphabet.empty()) {
            builder.add_base_mod(base_mod);
        }
        builder.add_trace_type(vexil_ipc::TraceData_FlipflopTraceData);
        builder.add_trace(trace.Union());
        if (spec.with_scaling) {
            builder.add_scaling(scaling);
        }
        called = builder.Finish();
    }
    const auto strand = fbb.CreateString("strand_" + std::to_string(spec.tag));
    vexil_ipc::ReadBlockDataBuilder block(fbb);
    block.add_type(spec.type);
    block.add_read_tag(spec.tag);
    if (spec.block_index) {
        block.add_block_index(*spec.block_index);
    }
    block.add_num_blocks(spec.num_blocks);
    block.add_duration(spec.duration);
    block.add_sub_tag(spec.sub_tag);
    block.add_strand_id(strand);
    block.add_start_time(77);
    if (spec.called_block) {
        block.add_called_block(called);
    }
    return server_test::finish_message(fbb, "", vexil_ipc::Content_ReadBlockData, block.Finish().Union());
}

Message next_block(Block spec) {
    spec.type = vexil_ipc::ReadBlockType_RETURN_NEXT_CALLED_BLOCK;
    return block_message(spec);
}

const vexil_ipc::ReadBlockData* block_of(const Message& message) {
    return message.get_message_data()->content_as_ReadBlockData();
}

std::string sequence_of(const ReadHolder& read) { return read.get_dataset(dataset::sequence).get_string(); }

class CalledReadDecoderTest : public ::testing::Test {
protected:
    ReadHolder* decode(const Message& first, CalledReadOptions options = {}) {
        options.connection_id = "client-1";
        CalledReadDecoder decoder(m_store, m_link, options, m_error);
        ReadHolder* read = decoder.process_read_message(block_of(first));
        m_bounded = decoder.bounded();
        return read;
    }
    MapStore m_store;
    std::string m_bounded;
    ScriptedLink m_link;
    ErrorState m_error;
};

TEST_F(CalledReadDecoderTest, SingleBlockFillsMetadataAndDatasets) {
    ReadHolder& submitted = m_store.submit(1, 1000);
    ReadHolder* read = decode(block_message({}));
    ASSERT_EQ(&submitted, read);
    EXPECT_TRUE(m_link.requests.empty());
    EXPECT_EQ("ACGT", sequence_of(*read));
    EXPECT_EQ("####", read->get_dataset(dataset::qstring).get_string());
    EXPECT_EQ(4U, read->get_dataset(dataset::movement).m_info.size);
    EXPECT_EQ(4U, read->get_dataset(dataset::flipflop_trace).m_info.rows);
    EXPECT_EQ("strand_1", read->metadata.get_value<std::string>("strand_id"));
    EXPECT_EQ(1000U, read->metadata.get_value<uint64_t>("duration"));
    EXPECT_EQ(990U, read->metadata.get_value<uint64_t>("trimmed_duration"));
    EXPECT_EQ(200U, read->metadata.get_value<uint64_t>("num_events"));
    EXPECT_EQ(198U, read->metadata.get_value<uint64_t>("trimmed_events"));
    EXPECT_FLOAT_EQ(80.0F, read->metadata.get_value<float>("scaling_median"));
    EXPECT_FALSE(read->metadata.exists("scaling_version"));
    EXPECT_EQ("", read->metadata.get_value<std::string>("base_mod_alphabet"));
    EXPECT_FALSE(read->metadata.exists("base_mod_context"));
}

TEST_F(CalledReadDecoderTest, EdgeValuesOfTheCountsDoNotFail) {
    m_store.submit(1, 1000);
    Block spec;
    spec.model_stride = 0;
    spec.trimmed_samples = 1001;
    spec.with_scaling = false;
    ReadHolder* read = decode(block_message(spec));
    ASSERT_NE(nullptr, read) << basecall_service::to_string(m_error);
    EXPECT_EQ(0U, read->metadata.get_value<uint64_t>("num_events"));
    EXPECT_EQ(static_cast<uint64_t>(-1), read->metadata.get_value<uint64_t>("trimmed_duration"));
    EXPECT_FALSE(read->metadata.exists("scaling_median"));
}

TEST_F(CalledReadDecoderTest, LaterBlocksAreFetchedAndJoinedWithTrailingZeroEvents) {
    m_store.submit(1, 1000);
    Block first;
    first.num_blocks = 3;
    first.event_capacity = 8;
    first.sequence = "AC";
    first.qstring = "!!";
    first.moves = {1, 1};
    first.trace_values = 16;
    Block second = first;
    second.sequence = "GTA";
    second.qstring = "\"\"\"";
    second.moves = {1, 0, 1};
    second.trace_values = 24;
    m_link.replies.push_back(next_block(second));
    m_link.replies.push_back(next_block(second));
    ReadHolder* read = decode(block_message(first));
    ASSERT_NE(nullptr, read) << basecall_service::to_string(m_error);
    EXPECT_EQ(2U, m_link.requests.size());
    EXPECT_EQ(MessageType::GET_NEXT_CALLED_BLOCK, m_link.requests[0]);
    EXPECT_EQ("ACGTAGTA", sequence_of(*read));
    const auto& movement = read->get_dataset(dataset::movement);
    ASSERT_EQ(8U, movement.m_info.size);
    const std::vector<uint8_t> moves(movement.get_data<uint8_t>(), movement.get_data<uint8_t>() + 8);
    EXPECT_EQ((std::vector<uint8_t>{1, 1, 1, 0, 1, 1, 0, 1}), moves);

    // Fewer events than the capacity leave zeros at the end.
    m_store.submit(2, 1000);
    Block short_read = first;
    short_read.tag = 2;
    short_read.num_blocks = 1;
    ReadHolder* padded = decode(block_message(short_read));
    ASSERT_NE(nullptr, padded);
    const auto& padded_moves = padded->get_dataset(dataset::movement);
    ASSERT_EQ(8U, padded_moves.m_info.size);
    EXPECT_EQ(0, padded_moves.get_data<uint8_t>()[7]);
}

TEST_F(CalledReadDecoderTest, DisabledEventsKeepOnlySequenceAndQualities) {
    m_store.submit(1, 1000);
    Block first;
    first.num_blocks = 2;
    first.event_capacity = 8;
    m_link.replies.push_back(next_block(first));
    CalledReadOptions options;
    options.disable_events = true;
    ReadHolder* read = decode(block_message(first), options);
    ASSERT_NE(nullptr, read);
    EXPECT_EQ("ACGTACGT", sequence_of(*read));
    EXPECT_FALSE(read->has_dataset(dataset::movement));
    EXPECT_FALSE(read->has_dataset(dataset::flipflop_trace));
    EXPECT_FALSE(read->metadata.exists("base_mod_alphabet"));
    EXPECT_EQ(0U, read->metadata.get_value<uint64_t>("rle_count"));
}

TEST_F(CalledReadDecoderTest, SubReadIsMadeByTheStoreAndIsReused) {
    ReadHolder& submitted = m_store.submit(1, 1000);
    Block spec;
    spec.sub_tag = 3;
    ReadHolder* sub_read = decode(block_message(spec));
    ASSERT_NE(nullptr, sub_read);
    EXPECT_NE(&submitted, sub_read);
    EXPECT_EQ(3U, sub_read->sub_tag);
    EXPECT_EQ("read_1", sub_read->metadata.get_value<std::string>("read_id"));
    EXPECT_FALSE(submitted.has_dataset(dataset::sequence));
    // Only a whole read's results go to the holder the store keeps for them; a sub-read is its own.
    EXPECT_TRUE(m_store.results_asked.empty());
    spec.sub_tag = 0;
    ASSERT_EQ(&submitted, decode(block_message(spec)));
    EXPECT_EQ(std::vector<unsigned long long>{1}, m_store.results_asked);
    spec.sub_tag = 3;
    // A second first block for the same sub-read fills the stored one.
    EXPECT_EQ(sub_read, decode(block_message(spec)));
    EXPECT_EQ(1U, m_store.m_sub_reads.size());
}

TEST_F(CalledReadDecoderTest, UnknownTagAndZeroDurationAreRefused) {
    ReadHolder& submitted = m_store.submit(1, 1000);
    Block unknown;
    unknown.tag = 99;
    EXPECT_EQ(nullptr, decode(block_message(unknown)));
    EXPECT_EQ(ConnectionError::bad_reply, m_error.code);
    EXPECT_EQ("Returned read does not belong to this client: 99", m_error.message);
    EXPECT_TRUE(submitted.datasets.size() == 1 && submitted.metadata.get_keys().size() == 1);

    Block zero;
    zero.duration = 0;
    EXPECT_EQ(nullptr, decode(block_message(zero)));
    EXPECT_EQ(ConnectionError::failed, m_error.code);
    EXPECT_EQ("Duration metadata missing for submitted read: 1", m_error.message);
    EXPECT_EQ("strand_1", submitted.metadata.get_value<std::string>("strand_id"));
    EXPECT_FALSE(submitted.has_dataset(dataset::sequence));
    EXPECT_EQ(1U, m_store.m_submitted.size());
}

// Servers may leave the called block out of a block that has nothing called in it.
TEST_F(CalledReadDecoderTest, BlockWithoutCalledBlockReadsAsAllDefaults) {
    ReadHolder& submitted = m_store.submit(1, 1000);
    Block no_called;
    no_called.called_block = false;
    EXPECT_EQ(&submitted, decode(block_message(no_called)));
    EXPECT_EQ("", sequence_of(submitted));
    EXPECT_EQ("", submitted.get_dataset(dataset::qstring).get_string());
    EXPECT_EQ(3U, submitted.datasets.size());
    EXPECT_EQ(1000U, submitted.metadata.get_value<uint64_t>("duration"));
    EXPECT_EQ(0U, submitted.metadata.get_value<uint64_t>("model_stride"));
    EXPECT_EQ(0U, submitted.metadata.get_value<uint64_t>("num_events"));
    EXPECT_EQ(0.0F, submitted.metadata.get_value<float>("mean_qscore"));
    EXPECT_EQ("", submitted.metadata.get_value<std::string>("basecall_type"));

    // A later block without one adds nothing: the read keeps the first block's data.
    ReadHolder& second = m_store.submit(2, 1000);
    Block first;
    first.tag = 2;
    first.num_blocks = 2;
    first.event_capacity = 8;
    Block hollow = first;
    hollow.called_block = false;
    m_link.replies.push_back(next_block(hollow));
    EXPECT_EQ(&second, decode(block_message(first)));
    EXPECT_EQ("ACGT", sequence_of(second));
    const auto moves = second.get_dataset(dataset::movement).get_vec_view<uint8_t>();
    ASSERT_EQ(8U, moves.size());
    EXPECT_EQ(1, moves[3]);
    EXPECT_EQ(0, moves[4]);
}

template <typename T>
std::vector<T> values_of(const ReadHolder& read, dataset id) {
    const auto& view = read.get_dataset(id);
    return std::vector<T>(view.get_data<T>(), view.get_data<T>() + view.m_info.size);
}

// A server may leave any field out: without qualities the read is called and has none.
TEST_F(CalledReadDecoderTest, QualitiesAbsentOrOfAnotherLengthLeaveTheReadWithoutQualities) {
    Block without;
    without.with_qstring = false;
    ReadHolder& submitted = m_store.submit(1, 1000);
    ASSERT_EQ(&submitted, decode(block_message(without))) << m_error.message;
    EXPECT_EQ("ACGT", sequence_of(submitted));
    EXPECT_EQ("", submitted.get_dataset(dataset::qstring).get_string());
    EXPECT_EQ("", m_bounded);

    // Present but too short, in a later block: the whole read's qualities are taken as absent.
    Block first;
    first.tag = 2;
    first.num_blocks = 2;
    first.event_capacity = 8;
    Block later = first;
    later.qstring = "##";
    m_link.replies.push_back(next_block(later));
    ReadHolder& second = m_store.submit(2, 1000);
    ASSERT_EQ(&second, decode(block_message(first))) << m_error.message;
    EXPECT_EQ("ACGTACGT", sequence_of(second));
    EXPECT_EQ("", second.get_dataset(dataset::qstring).get_string());
    EXPECT_EQ("sequence of 8 bases but 6 quality values, taken as none", m_bounded);
}

// Counts and vectors that disagree are bounded by the room in the read's buffers and the data
// sent; the read comes back with what fits, and bounded() names the first thing that did not.
TEST_F(CalledReadDecoderTest, CountsThatDisagreeAreBoundedAndTheReadReturned) {
    // A movement vector one value short of the events: the missing move is a zero.
    ReadHolder& submitted = m_store.submit(1, 1000);
    Block short_moves;
    short_moves.moves = {1, 0, 1};
    short_moves.event_count = 4;
    ASSERT_EQ(&submitted, decode(block_message(short_moves))) << m_error.message;
    EXPECT_EQ((std::vector<uint8_t>{1, 0, 1, 0}), values_of<uint8_t>(submitted, dataset::movement));
    EXPECT_EQ("block 0: movement of 3 values for 4", m_bounded);

    // Events without a capacity: no room for moves or trace, the rest of the read stands.
    ReadHolder& no_room = m_store.submit(2, 1000);
    Block no_capacity;
    no_capacity.tag = 2;
    no_capacity.event_capacity = 0;
    ASSERT_EQ(&no_room, decode(block_message(no_capacity))) << m_error.message;
    EXPECT_EQ("ACGT", sequence_of(no_room));
    EXPECT_FALSE(no_room.has_dataset(dataset::movement));
    EXPECT_FALSE(no_room.has_dataset(dataset::flipflop_trace));
    EXPECT_EQ("block 0: movement of 4 values with room for 0", m_bounded);

    // A capacity that counts only the first block's events: later events find no room, and the
    // next block is still fetched from where the events left off.
    ReadHolder& own_events = m_store.submit(3, 1000);
    Block first;
    first.tag = 3;
    first.num_blocks = 3;
    first.moves = {1, 1};
    first.event_capacity = 2;
    first.trace_values = 16;
    Block later = first;
    later.moves = {0, 0};
    m_link.replies.push_back(next_block(later));
    m_link.replies.push_back(next_block(later));
    ASSERT_EQ(&own_events, decode(block_message(first))) << m_error.message;
    EXPECT_EQ("ACGTACGTACGT", sequence_of(own_events));
    EXPECT_EQ((std::vector<uint8_t>{1, 1}), values_of<uint8_t>(own_events, dataset::movement));
    EXPECT_EQ(2U, own_events.get_dataset(dataset::flipflop_trace).m_info.rows);
    EXPECT_EQ("block 1: movement of 2 values with room for 0", m_bounded);
    EXPECT_TRUE(m_link.replies.empty());
}

// Probabilities come one row per base of the joined sequence, whatever the first block's
// sequence_length says: beyond the bases they are dropped, short of them the rows are zeros.
TEST_F(CalledReadDecoderTest, ModifiedBaseProbabilitiesAreFittedToTheBases) {
    ReadHolder& per_block = m_store.submit(1, 1000);
    Block first;
    first.num_blocks = 2;
    first.event_capacity = 8;
    first.base_mod_alphabet = "ab";
    first.base_mod_probs = std::vector<uint8_t>(8, 5);  // the first block's 4 bases, sequence_length 8
    Block later = first;
    later.base_mod_probs = std::vector<uint8_t>(8, 6);
    m_link.replies.push_back(next_block(later));
    ASSERT_EQ(&per_block, decode(block_message(first))) << m_error.message;
    const auto& probs = per_block.get_dataset(dataset::base_mod_probs);
    EXPECT_EQ(8U, probs.m_info.rows);
    EXPECT_EQ(2U, probs.m_info.cols);
    EXPECT_EQ(6, values_of<uint8_t>(per_block, dataset::base_mod_probs).back());
    EXPECT_EQ("", m_bounded);

    ReadHolder& beyond = m_store.submit(2, 1000);
    Block too_many;
    too_many.tag = 2;
    too_many.base_mod_alphabet = "ab";
    too_many.base_mod_probs = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(&beyond, decode(block_message(too_many))) << m_error.message;
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}), values_of<uint8_t>(beyond, dataset::base_mod_probs));
    EXPECT_EQ("10 modified-base probabilities for 4 bases of 2 categories", m_bounded);

    ReadHolder& short_of = m_store.submit(3, 1000);
    too_many.tag = 3;
    too_many.base_mod_probs = {1, 2, 3};
    ASSERT_EQ(&short_of, decode(block_message(too_many))) << m_error.message;
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 0, 0, 0, 0, 0}), values_of<uint8_t>(short_of, dataset::base_mod_probs));
}

TEST_F(CalledReadDecoderTest, LaterBlockOfAnotherPlaceIsRefused) {
    ReadHolder& submitted = m_store.submit(1, 1000);
    Block first;
    first.num_blocks = 3;
    first.event_capacity = 12;
    Block later = first;
    later.block_index = 1;
    // The second block again in place of the third.
    m_link.replies.push_back(next_block(later));
    m_link.replies.push_back(next_block(later));
    EXPECT_EQ(nullptr, decode(block_message(first)));
    EXPECT_EQ(ConnectionError::bad_reply, m_error.code);
    EXPECT_EQ("Server returned block 1 of read 1 when block 2 of read 1 was expected", m_error.message);
    EXPECT_FALSE(submitted.has_dataset(dataset::sequence));

    // A block of another read, its index left out.
    Block other = first;
    other.tag = 2;
    m_link.replies.push_back(next_block(other));
    m_link.replies.push_back(next_block(other));
    EXPECT_EQ(nullptr, decode(block_message(first)));
    EXPECT_EQ("Server returned block 1 of read 2 when block 1 of read 1 was expected", m_error.message);
    EXPECT_TRUE(m_link.replies.empty());
    EXPECT_FALSE(submitted.has_dataset(dataset::sequence));

    // The right indices are taken.
    later.block_index = 1;
    m_link.replies.push_back(next_block(later));
    later.block_index = 2;
    m_link.replies.push_back(next_block(later));
    ASSERT_NE(nullptr, decode(block_message(first))) << m_error.message;
    EXPECT_EQ("ACGTACGTACGT", sequence_of(submitted));
}

// Every base is read from at least one sample: a longer sequence is refused before it is joined.
TEST_F(CalledReadDecoderTest, MoreBasesThanTheReadHasSamplesAreRefused) {
    ReadHolder& submitted = m_store.submit(1, 6);
    Block oversized;
    oversized.sequence = "ACGTACG";
    oversized.qstring = "#######";
    EXPECT_EQ(nullptr, decode(block_message(oversized)));
    EXPECT_EQ(ConnectionError::bad_reply, m_error.code);
    EXPECT_EQ("Inconsistent called block 0 for read 1: 7 bases beyond the read's 6 samples", m_error.message);

    Block first;
    first.num_blocks = 2;
    Block later = first;
    later.moves.clear();
    later.trace_values = 0;
    m_link.replies.push_back(next_block(later));
    EXPECT_EQ(nullptr, decode(block_message(first)));
    EXPECT_EQ("Inconsistent called block 1 for read 1: 8 bases beyond the read's 6 samples", m_error.message);
    EXPECT_FALSE(submitted.has_dataset(dataset::sequence));
}

TEST_F(CalledReadDecoderTest, LinkFailuresAndWrongRepliesEndTheReadWithoutDatasets) {
    ReadHolder& submitted = m_store.submit(1, 1000);
    Block first;
    first.num_blocks = 2;
    first.event_capacity = 8;
    // No reply scripted: the link fails and its error is passed on unchanged.
    EXPECT_EQ(nullptr, decode(block_message(first)));
    EXPECT_EQ(ConnectionError::timed_out, m_error.code);
    EXPECT_EQ("Timeout waiting for reply", m_error.message);

    m_link.replies.push_back(Message(MessageType::NONE_PENDING, "", 0, ""));
    EXPECT_EQ(nullptr, decode(block_message(first)));
    EXPECT_EQ(ConnectionError::invalid_response, m_error.code);
    EXPECT_EQ("Failed to get next block from server, invalid reply: NONE_PENDING", m_error.message);
    EXPECT_FALSE(submitted.has_dataset(dataset::sequence));
    EXPECT_TRUE(submitted.metadata.exists("duration"));

    EXPECT_EQ(nullptr, CalledReadDecoder(m_store, m_link, {}, m_error).process_read_message(nullptr));
    EXPECT_EQ(ConnectionError::invalid_response, m_error.code);
}

// Sizes claimed by the server may not make the decoder allocate beyond what the reply can fill.
TEST_F(CalledReadDecoderTest, ClaimedSizesDoNotDriveAllocation) {
    // A fuzzed reply claiming 1,509,949,440 bases of two modification categories: the read comes
    // back with the probabilities it carries, one row per base it returned.
    std::ifstream file(VEXIL_TEST_DATA_DIR "/fuzz/called_read_oversized_base_mod_reservation", std::ios::binary);
    const std::string input((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto frames = fuzz_support::split_frames(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    ASSERT_LE(2U, frames.size());
    m_store.submit(2, 1000);
    const ReadHolder* read = decode(Message(zmq::message_t(frames[1].data(), frames[1].size())));
    ASSERT_NE(nullptr, read) << m_error.message;
    ASSERT_TRUE(read->has_dataset(dataset::base_mod_probs));
    EXPECT_EQ(sequence_of(*read).size(), read->get_dataset(dataset::base_mod_probs).m_info.rows);
    EXPECT_EQ(8U, read->get_dataset(dataset::base_mod_probs).m_info.size);

    // State data of a million events of 4096 values (16 GB) is refused before anything is sized.
    m_store.submit(3, 1000000);
    flatbuffers::FlatBufferBuilder fbb;
    const auto state = fbb.CreateVector(std::vector<float>());
    vexil_ipc::CalledBlockDataBuilder called(fbb);
    called.add_event_capacity(1000000);
    called.add_state_size(4096);
    called.add_state_data(state);
    const auto called_offset = called.Finish();
    vexil_ipc::ReadBlockDataBuilder block(fbb);
    block.add_type(vexil_ipc::ReadBlockType_RETURN_FIRST_CALLED_BLOCK);
    block.add_read_tag(3);
    block.add_duration(1000000);
    block.add_called_block(called_offset);
    CalledReadOptions options;
    options.pull_state_data = true;
    EXPECT_EQ(nullptr,
              decode(server_test::finish_message(fbb, "", vexil_ipc::Content_ReadBlockData, block.Finish().Union()),
                     options));
    EXPECT_EQ(ConnectionError::bad_reply, m_error.code);
    EXPECT_EQ(
            "Inconsistent called block 0 for read 3: state data of 1000000 events of 4096 above the limit of "
            "67108864 values",
            m_error.message);
}

// Against the reference server: the read goes out in blocks, comes back called in blocks, and is
// decoded over a real broker adapter.
class CalledReadDecoderServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        reference_server::ServerOptions options;
        options.address = m_dir.ipc_endpoint();
        m_server = std::make_unique<reference_server::ReferenceServer>(options);
        m_client = std::make_unique<server_test::TestClient>(m_dir.ipc_endpoint());
        ASSERT_TRUE(m_adapter.prepare_connection(m_dir.ipc_endpoint(), 2000));
    }

    // Submits the read to the server and to the store.
    void submit(const std::string& client_id, const server_test::TestRead& read, std::size_t block_size) {
        ASSERT_EQ(MessageType::RAW_BLOCK_ACCEPTED, m_client->pass_read(client_id, read, block_size));
        m_store.submit(read.tag, read.raw.size());
    }

    ReadHolder* pull(const std::string& client_id, uint32_t options_value = 0) {
        Message request(MessageType::GET_FIRST_CALLED_BLOCK, client_id, options_value, "");
        EXPECT_TRUE(m_adapter.send_request(request, m_reply));
        EXPECT_EQ(MessageType::RETURN_FIRST_CALLED_BLOCK, m_reply.get_type());
        CalledReadOptions options;
        options.connection_id = client_id;
        options.disable_events = (options_value & 1U) != 0;
        options.pull_state_data = (options_value & 2U) != 0;
        return basecall_service::decode_called_read(m_store, m_adapter, options, m_error, nullptr, m_warning,
                                                    m_reply.get_message_data()->content_as_ReadBlockData());
    }

    server_test::TempDir m_dir;
    std::unique_ptr<reference_server::ReferenceServer> m_server;
    std::unique_ptr<server_test::TestClient> m_client;
    basecall_service::RequestBrokerAdapter m_adapter;
    basecall_service::BoundedReadWarning m_warning;
    MapStore m_store;
    Message m_reply;
    ErrorState m_error;
};

TEST_F(CalledReadDecoderServerTest, DecodesAMultiBlockReadWithItsAlignment) {
    const std::string reference = server_test::random_sequence(4000, 21);
    const auto fasta = m_dir.write("ref.fa", ">chr_sim\n" + reference + "\n");
    ASSERT_EQ(MessageType::SUCCESS, m_client->send(MessageType::LOAD_INDEX, "", 0, fasta).get_type());
    const std::string id =
            m_client->connect("dna_sim_fast", "decoder", ">align_ref=" + fasta + ">move_and_trace_enabled=1");

    const auto forward = server_test::simulated_read(1, reference.substr(700, 400));
    const auto reverse =
            server_test::simulated_read(2, reference_server::reverse_complement(reference.substr(2100, 300)));
    submit(id, forward, 900);
    submit(id, reverse, 100000);

    ReadHolder* first = pull(id, 2);
    ASSERT_NE(nullptr, first) << basecall_service::to_string(m_error);
    EXPECT_EQ(forward.sequence, sequence_of(*first));
    const std::string qstring = first->get_dataset(dataset::qstring).get_string();
    EXPECT_EQ(forward.sequence.size(), qstring.size());
    EXPECT_EQ(std::string::npos, qstring.find_first_not_of("!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJ"));
    // One move per base, over every block.
    const auto& movement = first->get_dataset(dataset::movement);
    ASSERT_EQ(forward.sequence.size(), movement.m_info.size);
    for (std::size_t i = 0; i < movement.m_info.size; ++i) {
        ASSERT_EQ(1, movement.get_data<uint8_t>()[i]) << "event " << i;
    }
    EXPECT_EQ(forward.sequence.size() * 8, first->get_dataset(dataset::flipflop_trace).m_info.size);
    EXPECT_TRUE(first->has_dataset(dataset::state_data));
    EXPECT_EQ(forward.raw.size(), first->metadata.get_value<uint64_t>("duration"));
    EXPECT_EQ("chr_sim", first->metadata.get_value<std::string>("alignment_genome"));
    EXPECT_EQ(700, first->metadata.get_value<int32_t>("alignment_genome_start"));
    EXPECT_EQ("+", first->get_by_name("alignment_direction"));

    ReadHolder* second = pull(id, 1);
    ASSERT_NE(nullptr, second) << basecall_service::to_string(m_error);
    EXPECT_EQ(reverse.sequence, sequence_of(*second));
    EXPECT_FALSE(second->has_dataset(dataset::movement));
    EXPECT_EQ(2100, second->metadata.get_value<int32_t>("alignment_genome_start"));
    EXPECT_EQ("-", second->get_by_name("alignment_direction"));
}

TEST_F(CalledReadDecoderServerTest, WrongCalledReadsFromTheServerAreRefusedAndKept) {
    const std::string reference = server_test::random_sequence(2000, 3);
    const auto fasta = m_dir.write("ref.fa", ">chr\n" + reference + "\n");
    ASSERT_EQ(MessageType::SUCCESS, m_client->send(MessageType::LOAD_INDEX, "", 0, fasta).get_type());
    const std::string id = m_client->connect("dna_sim_fast", "faulty", ">align_ref=" + fasta);
    const auto add = [this](reference_server::FaultAction action) {
        reference_server::FaultRule rule;
        rule.action = action;
        rule.request = MessageType::GET_FIRST_CALLED_BLOCK;
        m_server->faults().add(rule);
    };
    for (uint32_t tag = 1; tag <= 3; ++tag) {
        submit(id, server_test::simulated_read(tag, reference.substr(100 * tag, 80)), 100000);
    }

    add(reference_server::FaultAction::unknown_read_tag);
    EXPECT_EQ(nullptr, pull(id));
    EXPECT_EQ(ConnectionError::bad_reply, m_error.code);
    EXPECT_EQ(0U, m_error.message.find("Returned read does not belong to this client: "));

    m_server->faults().clear();
    add(reference_server::FaultAction::zero_duration);
    EXPECT_EQ(nullptr, pull(id));
    EXPECT_EQ(ConnectionError::failed, m_error.code);
    EXPECT_EQ("Duration metadata missing for submitted read: 2", m_error.message);

    m_server->faults().clear();
    add(reference_server::FaultAction::oversized_genome_name);
    EXPECT_EQ(nullptr, pull(id));
    EXPECT_EQ(ConnectionError::bad_reply, m_error.code);
    EXPECT_NE(std::string::npos, m_error.message.find(" exceeds maximum allowed size of 253"));

    // Every read is still held, none with results.
    ASSERT_EQ(3U, m_store.m_submitted.size());
    for (const auto& [tag, read] : m_store.m_submitted) {
        EXPECT_FALSE(read->has_dataset(dataset::sequence)) << "read " << tag;
        EXPECT_FALSE(read->has_dataset(dataset::align_results)) << "read " << tag;
    }
}

}  // namespace
