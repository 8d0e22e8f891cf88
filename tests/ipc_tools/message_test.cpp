#include "ipc_tools/message.h"

#include "common/contract.h"

#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <zmq.hpp>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace ipc_tools;

namespace {

// Sends a message through a ZeroMQ frame and reads it back as the receiver would.
Message through_the_wire(Message& message) {
    zmq::message_t frame;
    message.transfer_to_zmq(frame);
    return Message(std::move(frame));
}

zmq::message_t frame_of_bytes(const std::vector<std::uint8_t>& bytes) {
    return zmq::message_t(bytes.data(), bytes.size());
}

std::vector<std::uint8_t> finished_bytes(flatbuffers::FlatBufferBuilder& builder) {
    return std::vector<std::uint8_t>(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
}

// A MessageData whose content type is given raw, with an optional SimpleRequestData body.
std::vector<std::uint8_t> envelope_with_content_type(std::uint8_t content_type, bool with_body) {
    flatbuffers::FlatBufferBuilder builder;
    flatbuffers::Offset<void> body;
    if (with_body) {
        body = vexil_ipc::CreateSimpleRequestData(builder, vexil_ipc::SimpleRequestType_QUERY, 1).Union();
    }
    vexil_ipc::MessageDataBuilder root(builder);
    root.add_content_type(static_cast<vexil_ipc::Content>(content_type));
    if (with_body) {
        root.add_content(body);
    }
    vexil_ipc::FinishMessageDataBuffer(builder, root.Finish());
    return finished_bytes(builder);
}

Message message_from_builder(flatbuffers::FlatBufferBuilder& builder, vexil_ipc::Content content_type,
                             flatbuffers::Offset<void> content) {
    const vexil_ipc::ProtocolVersion version(16, 0, 0);
    const auto root =
            vexil_ipc::CreateMessageData(builder, &version, builder.CreateString("client-9"), content_type, content);
    vexil_ipc::FinishMessageDataBuffer(builder, root);
    return Message(builder);
}

Message read_block_message(vexil_ipc::ReadBlockType type, const std::vector<std::int16_t>& samples) {
    flatbuffers::FlatBufferBuilder builder;
    const auto block = vexil_ipc::CreateReadBlockData(builder, type, 77, 1, 3, 9000, 1.5f, 0.25f,
                                                      builder.CreateString("read-1"), builder.CreateVector(samples));
    return message_from_builder(builder, vexil_ipc::Content_ReadBlockData, block.Union());
}

Message batch_message(std::uint32_t batch_type) {
    flatbuffers::FlatBufferBuilder builder;
    std::vector<flatbuffers::Offset<vexil_ipc::ReadBlockData>> blocks;
    for (std::uint32_t tag = 1; tag <= 2; ++tag) {
        blocks.push_back(vexil_ipc::CreateReadBlockData(builder, vexil_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK, tag));
    }
    const auto read_blocks = builder.CreateVector(blocks);
    vexil_ipc::ReadBatchDataBuilder batch(builder);
    batch.add_batch_type(batch_type);
    batch.add_read_blocks(read_blocks);
    const auto offset = batch.Finish();
    return message_from_builder(builder, vexil_ipc::Content_ReadBatchData, offset.Union());
}

// A RETURN_STATISTICS frame laid out by hand: MessageData at 20, the ServerStats vtable at 32 and
// its table at `table_at`, whose only field (lifetime_reads_in, 8 bytes) follows the table's
// 4-byte vtable offset. A builder would always align that field; another writer need not.
std::vector<std::uint8_t> hand_laid_statistics(std::size_t table_at) {
    std::vector<std::uint8_t> bytes(table_at + 12, 0);
    const auto put16 = [&bytes](std::size_t at, std::uint16_t value) { std::memcpy(&bytes[at], &value, 2); };
    const auto put32 = [&bytes](std::size_t at, std::uint32_t value) { std::memcpy(&bytes[at], &value, 4); };
    put32(0, 20);
    std::memcpy(&bytes[4], "0016", 4);
    // MessageData vtable: 12 bytes, table of 12 bytes, no version or client id, type at 8, content at 4.
    put16(8, 12);
    put16(10, 12);
    put16(16, 8);
    put16(18, 4);
    put32(20, 20 - 8);
    put32(24, static_cast<std::uint32_t>(table_at - 24));
    bytes[28] = vexil_ipc::Content_ServerStats;
    // ServerStats vtable: 6 bytes, table of 12 bytes, field 0 at 4.
    put16(32, 6);
    put16(34, 12);
    put16(36, 4);
    put32(table_at, static_cast<std::uint32_t>(table_at - 32));
    const std::uint64_t reads_in = 1234;
    std::memcpy(&bytes[table_at + 4], &reads_in, 8);
    return bytes;
}

}  // namespace

TEST(MessageTypeTest, names_cover_every_code_and_nothing_more) {
    EXPECT_EQ("UNSET", message_type_as_string(UNSET));
    EXPECT_EQ("CLIENT_NOT_RECOGNISED", message_type_as_string(CLIENT_NOT_RECOGNISED));
    EXPECT_EQ("NO_MORE_DATA", message_type_as_string(static_cast<MessageType>(45)));
    EXPECT_EQ("<unknown>", message_type_as_string(static_cast<MessageType>(46)));
    EXPECT_EQ("<unknown>", message_type_as_string(static_cast<MessageType>(1000)));
    EXPECT_EQ("16.0.0", current_version_as_string());
}

TEST(MessageTest, every_simple_type_round_trips_with_its_fields) {
    int simple_types = 0;
    for (std::uint32_t code = 0; code < NUM_MESSAGE_TYPES; ++code) {
        const auto type = static_cast<MessageType>(code);
        std::unique_ptr<Message> built;
        try {
            built = std::make_unique<Message>(type, "client-7", code * 3, "text of " + message_type_as_string(type));
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ("Invalid MessageType for simple message constructor.", error.what());
            continue;
        }
        ++simple_types;
        ASSERT_EQ(type, built->get_type()) << message_type_as_string(type);
        const Message received = through_the_wire(*built);
        EXPECT_TRUE(built->empty());
        EXPECT_EQ(UNSET, built->get_type());
        ASSERT_EQ(type, received.get_type()) << message_type_as_string(type);

        const auto* data = received.get_message_data();
        EXPECT_EQ("client-7", data->client_id()->str());
        const auto version = received.get_protocol_version();
        EXPECT_EQ(16u, version.major());
        EXPECT_EQ(0u, version.minor());
        EXPECT_EQ(0u, version.patch());
        const auto* request = data->content_as_SimpleRequestData();
        const auto* reply = data->content_as_SimpleReplyData();
        ASSERT_TRUE((request != nullptr) != (reply != nullptr));
        const auto value = request != nullptr ? request->value() : reply->value();
        const auto* text = request != nullptr ? request->text() : reply->text();
        EXPECT_EQ(code * 3, value);
        EXPECT_EQ("text of " + message_type_as_string(type), text->str());
    }
    EXPECT_EQ(36, simple_types);  // 16 requests and 20 replies
}

TEST(MessageTest, content_messages_round_trip) {
    struct Case {
        Message message;
        MessageType expected;
    };
    std::vector<Case> cases;
    cases.push_back(
            {read_block_message(vexil_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK, {1, -2, 3}), PASS_FIRST_RAW_BLOCK});
    cases.push_back({read_block_message(vexil_ipc::ReadBlockType_PASS_NEXT_RAW_BLOCK, {4}), PASS_NEXT_RAW_BLOCK});
    cases.push_back(
            {read_block_message(vexil_ipc::ReadBlockType_RETURN_FIRST_CALLED_BLOCK, {}), RETURN_FIRST_CALLED_BLOCK});
    cases.push_back(
            {read_block_message(vexil_ipc::ReadBlockType_RETURN_NEXT_CALLED_BLOCK, {}), RETURN_NEXT_CALLED_BLOCK});
    cases.push_back({batch_message(0), PASS_READ_BATCH});
    cases.push_back({batch_message(1), RETURN_COMPLETED_BATCH});
    {
        flatbuffers::FlatBufferBuilder builder;
        const auto configuration =
                vexil_ipc::CreateConfiguration(builder, 0, 0, 0, 0, 5, 0, builder.CreateString("fast"));
        const auto config = vexil_ipc::CreateConfigData(builder, builder.CreateVector(&configuration, 1));
        cases.push_back({message_from_builder(builder, vexil_ipc::Content_ConfigData, config.Union()), RETURN_CONFIGS});
    }
    {
        flatbuffers::FlatBufferBuilder builder;
        const auto client = vexil_ipc::CreateClientStats(builder, 3, 4);
        const auto stats = vexil_ipc::CreateServerStats(builder, 10, 9, 2, 1, builder.CreateVector(&client, 1));
        cases.push_back(
                {message_from_builder(builder, vexil_ipc::Content_ServerStats, stats.Union()), RETURN_STATISTICS});
    }

    std::vector<Message> received;
    for (auto& item : cases) {
        ASSERT_EQ(item.expected, item.message.get_type());
        received.push_back(through_the_wire(item.message));
        ASSERT_EQ(item.expected, received.back().get_type()) << message_type_as_string(item.expected);
        EXPECT_EQ("client-9", received.back().get_message_data()->client_id()->str());
    }

    const auto* read = received.front().get_message_data()->content_as_ReadBlockData();
    ASSERT_NE(nullptr, read);
    EXPECT_EQ(77u, read->read_tag());
    EXPECT_EQ("read-1", read->read_id()->str());
    ASSERT_EQ(3u, read->raw_data()->size());
    EXPECT_EQ(-2, read->raw_data()->Get(1));
}

TEST(MessageTest, invalid_frames_are_typed_or_refused) {
    // UNSET: a frame too short to carry an identifier.
    auto short_frame = frame_of_bytes({1, 2, 3, 4, 5, 6, 7});
    const Message short_message(std::move(short_frame));
    EXPECT_EQ(UNSET, short_message.get_type());
    EXPECT_TRUE(short_message.empty());

    // INVALID_PROTOCOL: the caller keeps its frame.
    auto foreign = frame_of_bytes({8, 0, 0, 0, '0', '0', '1', '5'});
    const Message foreign_message(std::move(foreign));
    EXPECT_EQ(INVALID_PROTOCOL, foreign_message.get_type());
    EXPECT_TRUE(foreign_message.empty());
    EXPECT_EQ(8u, foreign.size());
    EXPECT_EQ(0u, foreign_message.get_protocol_version().major());

    const auto expect_refused = [](std::vector<std::uint8_t> bytes, const char* what) {
        auto frame = frame_of_bytes(bytes);
        try {
            Message message(std::move(frame));
            ADD_FAILURE() << what << " was accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ("Invalid MessageData in Message.", error.what()) << what;
        }
    };
    expect_refused({0xff, 0xff, 0xff, 0x7f, '0', '0', '1', '6'}, "root offset past the end");
    expect_refused({0, 0, 0, 0, '0', '0', '1', '6'}, "zero root offset");
    std::vector<std::uint8_t> garbage{12, 0, 0, 0, '0', '0', '1', '6'};
    for (int index = 0; index < 40; ++index) {
        garbage.push_back(static_cast<std::uint8_t>(index * 37 + 11));
    }
    expect_refused(garbage, "garbage");

    // Truncation anywhere before the end of the last string refuses the frame; only trailing
    // padding may go.
    Message good(CONNECT, "id", 2, "fast_model:>timeout_interval=5");
    zmq::message_t frame;
    good.transfer_to_zmq(frame);
    const auto* bytes = static_cast<const std::uint8_t*>(frame.data());
    const auto* text = vexil_ipc::GetMessageData(bytes)->content_as_SimpleRequestData()->text();
    const auto text_end =
            static_cast<std::size_t>(reinterpret_cast<const std::uint8_t*>(text->c_str()) - bytes) + text->size() + 1;
    ASSERT_LE(text_end, frame.size());
    for (std::size_t length = 8; length < text_end; ++length) {
        expect_refused(std::vector<std::uint8_t>(bytes, bytes + length), "truncated frame");
    }
}

TEST(MessageTest, unknown_union_codes_are_refused) {
    auto unknown_content = frame_of_bytes(envelope_with_content_type(7, false));
    EXPECT_THROW(Message(std::move(unknown_content)), std::runtime_error);
    auto unknown_with_body = frame_of_bytes(envelope_with_content_type(200, true));
    EXPECT_THROW(Message(std::move(unknown_with_body)), std::runtime_error);

    // A known content type whose table is absent verifies but has nothing readable.
    auto no_body = frame_of_bytes(envelope_with_content_type(2, false));
    const Message empty_reply(std::move(no_body));
    EXPECT_EQ(UNSET, empty_reply.get_type());

    // The trace union of a called block, alone and inside a batch.
    for (const bool in_batch : {false, true}) {
        for (const std::uint8_t trace_type : {1, 3}) {
            flatbuffers::FlatBufferBuilder builder;
            vexil_ipc::CalledBlockDataBuilder called(builder);
            called.add_trace_type(static_cast<vexil_ipc::TraceData>(trace_type));
            const auto called_block = called.Finish();
            const auto block = vexil_ipc::CreateReadBlockData(
                    builder, vexil_ipc::ReadBlockType_RETURN_FIRST_CALLED_BLOCK, 1, 0, 1, 0, 0, 0, 0, 0, called_block);
            flatbuffers::Offset<void> content = block.Union();
            auto content_type = vexil_ipc::Content_ReadBlockData;
            if (in_batch) {
                content = vexil_ipc::CreateReadBatchData(builder, 1, builder.CreateVector(&block, 1)).Union();
                content_type = vexil_ipc::Content_ReadBatchData;
            }
            auto bytes = frame_of_bytes(finished_bytes(
                    (vexil_ipc::FinishMessageDataBuffer(
                             builder, vexil_ipc::CreateMessageData(builder, nullptr, 0, content_type, content)),
                     builder)));
            if (trace_type == 1) {
                EXPECT_NO_THROW(Message(std::move(bytes)));
            } else {
                EXPECT_THROW(Message(std::move(bytes)), std::runtime_error) << "batch " << in_batch;
            }
        }
    }
}

TEST(MessageTest, wire_layout_is_pinned) {
    // Field n sits at vtable offset 4 + 2n; the server reads these offsets.
    EXPECT_EQ(4, vexil_ipc::MessageData::VT_VERSION);
    EXPECT_EQ(10, vexil_ipc::MessageData::VT_CONTENT);
    EXPECT_EQ(8, vexil_ipc::SimpleRequestData::VT_TEXT);
    EXPECT_EQ(4 + 2 * 15, vexil_ipc::ReadBlockData::VT_DUPLEX_PAIRING);
    EXPECT_EQ(4 + 2 * 17, vexil_ipc::ReadBlockData::VT_DUPLEX_STRAND_2);
    EXPECT_EQ(4 + 2 * 18, vexil_ipc::CalledBlockData::VT_TRACE_TYPE);
    EXPECT_EQ(4 + 2 * 24, vexil_ipc::CalledBlockData::VT_MODEL_VERSION_ID);
    EXPECT_EQ(4 + 2 * 20, vexil_ipc::BarcodeArrangementResults::VT_PRIMER_REAR);
    EXPECT_EQ(4 + 2 * 20, vexil_ipc::AlignmentResults::VT_ISSUPPLEMENTARY);
    EXPECT_EQ(4 + 2 * 12, vexil_ipc::Configuration::VT_DUPLEX);
    EXPECT_EQ(4 + 2 * 4, vexil_ipc::ServerStats::VT_CLIENT_STATS);
    EXPECT_EQ(12u, sizeof(vexil_ipc::ProtocolVersion));

    // A CONNECT request without client id or text has neither string; a NUL cuts the text only.
    Message bare(CONNECT, "", 0, "");
    const Message received = through_the_wire(bare);
    EXPECT_EQ(nullptr, received.get_message_data()->client_id());
    EXPECT_EQ(nullptr, received.get_message_data()->content_as_SimpleRequestData()->text());
    const std::string id_with_nul("ab\0cd", 5);
    Message cut(LOAD_CONFIG, id_with_nul, 0, std::string("fast\0rest", 9));
    const Message cut_received = through_the_wire(cut);
    EXPECT_EQ(id_with_nul, cut_received.get_message_data()->client_id()->str());
    EXPECT_EQ("fast", cut_received.get_message_data()->content_as_SimpleRequestData()->text()->str());
}

TEST(MessageTest, unaligned_frames_verify_from_one_aligned_copy) {
    Message original(SUCCESS, "client", 4, "done");
    zmq::message_t frame;
    original.transfer_to_zmq(frame);
    // Place the bytes at an odd offset inside a larger frame's storage.
    std::vector<std::uint8_t> storage(frame.size() + 16 + 1);
    auto* base = storage.data();
    while (reinterpret_cast<std::uintptr_t>(base) % 16 != 1) {
        ++base;
    }
    std::memcpy(base, frame.data(), frame.size());
    zmq::message_t unaligned(base, frame.size(), nullptr, nullptr);
    ASSERT_NE(0u, reinterpret_cast<std::uintptr_t>(unaligned.data()) % 16);
    const Message received(std::move(unaligned));
    ASSERT_EQ(SUCCESS, received.get_type());
    const auto* first = received.get_message_data();
    EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(first) % 4);
    EXPECT_EQ(first, received.get_message_data());  // read from the same copy again
    EXPECT_EQ("done", first->content_as_SimpleReplyData()->text()->str());
}

TEST(MessageTest, frames_too_large_to_verify_are_refused_without_copying) {
    // 2 GiB of address space, never touched beyond the first page.
    const std::size_t size = std::size_t(1) << 31;
    void* region = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(MAP_FAILED, region);
    const std::uint8_t header[8] = {16, 0, 0, 0, '0', '0', '1', '6'};
    std::memcpy(region, header, sizeof(header));
    zmq::message_t huge(region, size, nullptr, nullptr);
    try {
        Message message(std::move(huge));
        ADD_FAILURE() << "a 2 GiB frame was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ("Invalid MessageData in Message.", error.what());
    }
    munmap(region, size);
}

TEST(MessageTest, moves_copies_and_transfers_keep_one_owner) {
    Message first(HEARTBEAT_ECHO, "c", 0, "");
    Message duplicate = first.copy();
    EXPECT_EQ(HEARTBEAT_ECHO, duplicate.get_type());
    EXPECT_FALSE(duplicate.empty());

    Message moved(std::move(first));
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(UNSET, first.get_type());
    EXPECT_EQ(HEARTBEAT_ECHO, moved.get_type());

    Message other(NOT_READY, "c", 0, "");
    other = std::move(moved);
    EXPECT_EQ(HEARTBEAT_ECHO, other.get_type());
    EXPECT_EQ(NOT_READY, moved.get_type());  // a move assignment swaps

    Message empty;
    zmq::message_t frame(std::string("stale"));
    empty.transfer_to_zmq(frame);
    EXPECT_EQ(0u, frame.size());
    EXPECT_TRUE(empty.copy().empty());
    EXPECT_EQ(HEARTBEAT_ECHO, through_the_wire(duplicate).get_type());
}

TEST(MessageTest, copies_share_the_frame_bytes_and_outlive_the_original) {
    // Large enough that ZeroMQ keeps the bytes outside the message itself.
    std::string copy_of_text;
    zmq::message_t sent_copy;
    {
        const std::string text(100000, 'x');
        Message original(REQUEST_FAILED, "c", 0, text);
        Message duplicate = original.copy();
        zmq::message_t sent_original;
        original.transfer_to_zmq(sent_original);
        duplicate.transfer_to_zmq(sent_copy);
        EXPECT_EQ(sent_original.data(), sent_copy.data());
    }
    const Message received(std::move(sent_copy));
    ASSERT_EQ(REQUEST_FAILED, received.get_type());
    EXPECT_EQ(std::string(100000, 'x'), received.get_message_data()->content_as_SimpleReplyData()->text()->str());
}

TEST(MessageTest, query_codes) {
    Message minimap = create_query_request(QueryCode::minimap_info, "");
    EXPECT_EQ(QUERY, minimap.get_type());
    EXPECT_EQ(QueryCode::minimap_info, get_query_code(minimap));
    const Message odd(QUERY, "", 7, "");
    EXPECT_EQ(QueryCode::unrecognised, get_query_code(odd));

    common::contract::set_contract_violation_policy(common::contract::ContractViolationPolicy::throw_exception);
    EXPECT_ANY_THROW(create_query_request(QueryCode::undefined, ""));
    EXPECT_ANY_THROW(get_query_code(Message(SUCCESS, "", 0, "")));
    common::contract::set_contract_violation_policy(common::contract::ContractViolationPolicy::terminate);
}

TEST(MessageTest, out_of_range_sub_types_decode_to_unset) {
    flatbuffers::FlatBufferBuilder builder;
    const auto request = vexil_ipc::CreateSimpleRequestData(builder, static_cast<vexil_ipc::SimpleRequestType>(16));
    const auto negative = vexil_ipc::CreateSimpleRequestData(builder, static_cast<vexil_ipc::SimpleRequestType>(-1));
    const auto reply = vexil_ipc::CreateSimpleReplyData(builder, static_cast<vexil_ipc::SimpleReplyType>(20));
    const auto block = vexil_ipc::CreateReadBlockData(builder, static_cast<vexil_ipc::ReadBlockType>(4));
    const auto batch = vexil_ipc::CreateReadBatchData(builder, 2);
    const auto last_reply =
            vexil_ipc::CreateSimpleReplyData(builder, vexil_ipc::SimpleReplyType_INVALID_ALIGNER_OPTIONS);
    builder.Finish(request);  // only to reach the tables below through the builder's memory

    const auto table = [&builder](auto offset) { return flatbuffers::GetTemporaryPointer(builder, offset); };
    EXPECT_EQ(UNSET, Message::simple_request_type(table(request)));
    EXPECT_EQ(UNSET, Message::simple_request_type(table(negative)));
    EXPECT_EQ(UNSET, Message::simple_reply_type(table(reply)));
    EXPECT_EQ(UNSET, Message::read_block_type(table(block)));
    EXPECT_EQ(UNSET, Message::read_batch_type(table(batch)));
    EXPECT_EQ(INVALID_ALIGNER_OPTIONS, Message::simple_reply_type(table(last_reply)));
    EXPECT_EQ(UNSET, Message::check_message_type(nullptr));
}

TEST(MessageTest, verification_checks_table_alignment_but_not_scalar_alignment) {
    // Table at 40: the 8-byte counter sits at 44, aligned to 4 only. Scalars are not
    // alignment-checked, so this verifies.
    auto misaligned_scalar = frame_of_bytes(hand_laid_statistics(40));
    const Message statistics(std::move(misaligned_scalar));
    EXPECT_EQ(RETURN_STATISTICS, statistics.get_type());

    // Table at 42: a table start must be 4-byte aligned.
    auto misaligned_table = frame_of_bytes(hand_laid_statistics(42));
    EXPECT_THROW(Message(std::move(misaligned_table)), std::runtime_error);
}

TEST(MessageTest, absent_sub_type_fields_decode_to_the_zero_type) {
    flatbuffers::FlatBufferBuilder builder;
    const auto request = vexil_ipc::SimpleRequestDataBuilder(builder).Finish();
    const auto reply = vexil_ipc::SimpleReplyDataBuilder(builder).Finish();
    const auto block = vexil_ipc::ReadBlockDataBuilder(builder).Finish();
    const auto batch = vexil_ipc::ReadBatchDataBuilder(builder).Finish();
    builder.Finish(request);
    const auto table = [&builder](auto offset) { return flatbuffers::GetTemporaryPointer(builder, offset); };
    EXPECT_EQ(CONNECT, Message::simple_request_type(table(request)));
    EXPECT_EQ(CONNECTED, Message::simple_reply_type(table(reply)));
    EXPECT_EQ(PASS_FIRST_RAW_BLOCK, Message::read_block_type(table(block)));
    EXPECT_EQ(PASS_READ_BATCH, Message::read_batch_type(table(batch)));

    // The same through a received frame: a bare SimpleRequestData is a CONNECT with value 0.
    flatbuffers::FlatBufferBuilder frame_builder;
    const auto bare = vexil_ipc::SimpleRequestDataBuilder(frame_builder).Finish();
    vexil_ipc::FinishMessageDataBuffer(
            frame_builder, vexil_ipc::CreateMessageData(frame_builder, nullptr, 0, vexil_ipc::Content_SimpleRequestData,
                                                        bare.Union()));
    auto frame = frame_of_bytes(finished_bytes(frame_builder));
    const Message received(std::move(frame));
    EXPECT_EQ(CONNECT, received.get_type());
    EXPECT_EQ(0u, received.get_message_data()->content_as_SimpleRequestData()->value());
    EXPECT_EQ(0u, received.get_protocol_version().major());  // no version field
}

TEST(MessageTest, verification_limits_and_string_terminators) {
    // One batch whose vector names the same block again and again: every element counts as a
    // table. MessageData and the batch make two more, so the limit of 1,000,000 is reached exactly.
    const auto batch_of = [](std::size_t elements) {
        flatbuffers::FlatBufferBuilder builder(elements * 4 + 1024);
        const auto block =
                vexil_ipc::CreateReadBlockData(builder, vexil_ipc::ReadBlockType_RETURN_FIRST_CALLED_BLOCK, 1);
        const std::vector<flatbuffers::Offset<vexil_ipc::ReadBlockData>> blocks(elements, block);
        const auto batch = vexil_ipc::CreateReadBatchData(builder, 1, builder.CreateVector(blocks));
        vexil_ipc::FinishMessageDataBuffer(
                builder,
                vexil_ipc::CreateMessageData(builder, nullptr, 0, vexil_ipc::Content_ReadBatchData, batch.Union()));
        return frame_of_bytes(finished_bytes(builder));
    };
    auto at_limit = batch_of(999998);
    EXPECT_EQ(RETURN_COMPLETED_BATCH, Message(std::move(at_limit)).get_type());
    auto over_limit = batch_of(999999);
    EXPECT_THROW(Message(std::move(over_limit)), std::runtime_error);

    // A LAMP kit target without its terminating 0 byte fails the whole frame.
    flatbuffers::FlatBufferBuilder builder;
    const std::vector<std::string> targets{"target_xy"};
    const auto kit = vexil_ipc::CreateLampKitDefinition(builder, builder.CreateString("lamp_kit"), 1, 2, 0,
                                                        builder.CreateVectorOfStrings(targets));
    const auto config = vexil_ipc::CreateConfigData(builder, 0, 0, 0, 0, builder.CreateVector(&kit, 1));
    vexil_ipc::FinishMessageDataBuffer(
            builder, vexil_ipc::CreateMessageData(builder, nullptr, 0, vexil_ipc::Content_ConfigData, config.Union()));
    auto bytes = finished_bytes(builder);
    auto good = frame_of_bytes(bytes);
    EXPECT_EQ(RETURN_CONFIGS, Message(std::move(good)).get_type());
    const std::string target = "target_xy";
    const auto found = std::search(bytes.begin(), bytes.end(), target.begin(), target.end());
    ASSERT_NE(bytes.end(), found);
    ASSERT_EQ(0, *(found + static_cast<std::ptrdiff_t>(target.size())));
    *(found + static_cast<std::ptrdiff_t>(target.size())) = 'z';
    auto unterminated = frame_of_bytes(bytes);
    EXPECT_THROW(Message(std::move(unterminated)), std::runtime_error);
}
