#include "reference_server/request_handler.h"

#include "ipc_tools/called_block_options.h"
#include "ipc_tools/connection_info.h"
#include "reference_server/barcode_kits.h"
#include "reference_server/fault_effect.h"
#include "reference_server/reply_builder.h"

#include <nlohmann/json.hpp>
#include <zmq.hpp>

#include <algorithm>
#include <iterator>

namespace reference_server {

namespace {

using namespace ipc_tools;

std::string string_of(const flatbuffers::String* text) { return text == nullptr ? std::string() : text->str(); }

// The client id a reply carries; empty for a reply that is not a message.
std::string registered_client_id(const Response& response) {
    if (response.kind != Response::Kind::message || response.message.empty()) {
        return {};
    }
    return string_of(response.message.get_message_data()->client_id());
}

/// The log entry of a request that decoded: its type, client and main value and text.
LoggedRequest log_entry(MessageType type, const vexil_ipc::MessageData* data, const std::string& client_id,
                        std::chrono::steady_clock::time_point arrival) {
    LoggedRequest entry;
    entry.arrival = arrival;
    entry.type = type;
    entry.client_id = client_id;
    if (const auto* simple = data->content_as_SimpleRequestData()) {
        entry.value = simple->value();
        entry.text = string_of(simple->text());
    } else if (const auto* block = data->content_as_ReadBlockData()) {
        entry.value = block->read_tag();
        entry.text = string_of(block->read_id());
    } else if (const auto* batch = data->content_as_ReadBatchData()) {
        entry.value = batch->read_blocks() == nullptr ? 0U : batch->read_blocks()->size();
    }
    return entry;
}

}  // namespace

std::size_t RequestHandler::ClientSession::reads_held() const {
    return incoming.size() + outgoing.size() + completed_reads;
}

void RequestHandler::ClientSession::drop_reads() {
    // Reads still being called finish on their worker and are then dropped with their item.
    incoming.clear();
    completed.clear();
    front_piece = 0;
    completed_reads = 0;
    outgoing.clear();
    prebuilt = PrebuiltReply{};
}

RequestHandler::RequestHandler(ServerOptions options, std::string address, FaultInjector& faults, RequestLog& log,
                               std::function<void()> on_called)
    : m_options(std::move(options)),
      m_address(std::move(address)),
      m_faults(faults),
      m_log(log),
      m_files(m_options.max_load_file_bytes),
      // Without the model a call costs less than handing it to another thread.
      m_caller(m_options.use_signal_model ? m_options.calling_threads : 0, std::move(on_called)) {}

RequestHandler::~RequestHandler() = default;

Response RequestHandler::handle(zmq::message_t&& frame) {
    finish_deferred_calls();
    const auto arrival = std::chrono::steady_clock::now();
    RequestPtr request;
    std::string decode_error;
    try {
        request = std::make_shared<const Message>(std::move(frame));
    } catch (const std::exception& error) {
        decode_error = error.what();
    }
    if (!request || request->get_type() == UNSET || request->get_type() == INVALID_PROTOCOL) {
        LoggedRequest entry;
        entry.arrival = arrival;
        entry.type = request ? request->get_type() : UNSET;
        entry.text = decode_error;
        m_log.append(entry);
        return simple_reply(BAD_REQUEST, "", 0,
                            "Could not decode request: " +
                                    (decode_error.empty() ? message_type_as_string(entry.type) : decode_error));
    }

    const auto* data = request->get_message_data();
    const std::string client_id = string_of(data->client_id());
    const MessageType type = request->get_type();
    m_log.append(log_entry(type, data, client_id, arrival));

    forget_silent_clients(arrival);
    ClientSession* session = find_session(client_id);
    if (session != nullptr) {
        session->last_heard = arrival;
    }
    const bool read_to_return = session != nullptr && type == GET_FIRST_CALLED_BLOCK && has_called_read(*session);
    const auto fired =
            m_faults.check(type, client_id, session != nullptr ? session->name : std::string(), read_to_return);
    FaultEffect effect;
    if (fired) {
        effect = fault_effect(fired->rule, client_id);
        if (effect.drop_reads && session != nullptr) {
            session->drop_reads();
        }
        if (effect.forget_clients) {
            m_sessions.clear();
            ++m_restarts;
        }
        if (effect.answer) {
            return std::move(*effect.answer);
        }
    }
    m_last_client_id = client_id;
    Response response = dispatch(request, data, client_id, effect.corruption, arrival);
    response.delay = effect.delay;
    // A CONNECT comes without an id: a late reply to it answers the client it registered.
    response.client_id = type == CONNECT ? registered_client_id(response) : client_id;
    return response;
}

void RequestHandler::late_reply(const std::string& client_id, bool sent) {
    ClientSession* session = find_session(client_id);
    if (session == nullptr) {
        return;
    }
    if (!sent) {
        ++session->late_replies;
        return;
    }
    // The client's silence counts from the end of the reply it waited for.
    session->late_replies -= session->late_replies != 0 ? 1 : 0;
    session->last_heard = std::chrono::steady_clock::now();
}

void RequestHandler::forget_silent_clients(std::chrono::steady_clock::time_point now) {
    for (auto entry = m_sessions.begin(); entry != m_sessions.end();) {
        const ClientSession& session = entry->second;
        const bool silent = session.silence_limit.count() > 0 && !session.pull_held && session.late_replies == 0 &&
                            now - session.last_heard > session.silence_limit;
        entry = silent ? m_sessions.erase(entry) : std::next(entry);
    }
}

void RequestHandler::finish_deferred_calls() {
    m_caller.run_deferred();
    prebuild_replies();
}

void RequestHandler::prebuild_replies() {
    ClientSession* session = m_last_client_id.empty() ? nullptr : find_session(m_last_client_id);
    m_last_client_id.clear();
    if (session == nullptr) {
        return;
    }
    for (auto& entry : session->outgoing) {
        OutgoingRead& outgoing = entry.second;
        if (outgoing.next_message.empty()) {
            outgoing.next_message = next_block_reply(session->id, outgoing);
        }
    }
    if (session->completed.empty()) {
        return;
    }
    const std::shared_ptr<CallItem>& item = session->completed.front();
    const std::size_t piece = session->front_piece;
    if (item->ready() && item->failure().empty() &&
        !session->prebuilt.is_for(item, session->last_pull_options, piece)) {
        session->prebuilt.message = first_reply(*session, *item, piece, session->last_pull_options, {});
        session->prebuilt.item = item;
        session->prebuilt.options = session->last_pull_options;
        session->prebuilt.piece = piece;
    }
}

std::optional<Response> RequestHandler::resume(const HeldPull& pull) {
    finish_deferred_calls();
    ClientSession* session = find_session(pull.client_id);
    if (session == nullptr) {
        // Forgotten while its read was being called (a restart, or a disconnect from elsewhere).
        return simple_reply(CLIENT_NOT_RECOGNISED, pull.client_id);
    }
    if (!session->completed.empty() && !session->completed.front()->ready()) {
        return std::nullopt;
    }
    // The client's silence counts from the answer to its pull.
    session->pull_held = false;
    session->last_heard = std::chrono::steady_clock::now();
    if (session->completed.empty()) {
        return simple_reply(NONE_PENDING, session->id, 0);
    }
    return take_called(*session, pull.options, pull.corruption);
}

bool RequestHandler::has_called_read(const ClientSession& session) const {
    // A held pull returns the oldest read once called, so it counts as returning a read.
    return !session.completed.empty() && (m_options.hold_pulls || session.completed.front()->ready());
}

Response RequestHandler::dispatch(const RequestPtr& request_ptr, const vexil_ipc::MessageData* data,
                                  const std::string& client_id, const ReadCorruption& corruption,
                                  std::chrono::steady_clock::time_point arrival) {
    // `data` is the request's verified root, looked up once: verifying walks the whole frame.
    const Message& request = *request_ptr;
    const auto* simple = data->content_as_SimpleRequestData();
    const std::uint32_t value = simple == nullptr ? 0U : simple->value();
    const std::string text = simple == nullptr ? std::string() : string_of(simple->text());
    const MessageType type = request.get_type();

    switch (type) {
        case LOAD_CONFIG:
            return load_config(client_id, text);
        case GET_CONFIGS:
            return reply(reply_builder::configurations(client_id, m_options.configurations));
        case LOAD_INDEX:
            return m_files.load_index(client_id, text);
        case GET_INDICES: {
            std::vector<std::pair<std::string, std::string>> indices;
            for (const auto& [name, index] : m_files.indices()) {
                indices.emplace_back(name, index->sam_header());
            }
            return reply(reply_builder::alignment_indices(client_id, indices));
        }
        case LOAD_BED:
            return m_files.load_bed(client_id, text);
        case CONNECT:
            return connect(value, text, arrival);
        case GET_STATISTICS:
            return reply(statistics_reply(client_id));
        case GET_BARCODE_KITS:
            return reply(reply_builder::barcode_kits(client_id, builtin_barcode_kits()));
        case GET_LAMP_KITS:
            return reply(reply_builder::lamp_kits(client_id, builtin_lamp_kits()));
        case QUERY:
            return query(client_id, value);
        case TERMINATE:
            return simple_reply(BAD_REQUEST, client_id, 0, "TERMINATE is not accepted by this server");
        case HEARTBEAT_PING:
            // A ping from a registered connection must name a client the server still knows.
            if (!client_id.empty() && find_session(client_id) == nullptr) {
                return simple_reply(CLIENT_NOT_RECOGNISED, client_id);
            }
            return simple_reply(HEARTBEAT_ECHO, client_id);
        default:
            break;
    }

    const bool client_request = type == DISCONNECT || type == NO_MORE_DATA || type == PASS_FIRST_RAW_BLOCK ||
                                type == PASS_NEXT_RAW_BLOCK || type == PASS_READ_BATCH ||
                                type == GET_FIRST_CALLED_BLOCK || type == GET_NEXT_CALLED_BLOCK;
    if (!client_request) {
        return simple_reply(BAD_REQUEST, client_id, 0, "Not a request: " + message_type_as_string(type));
    }
    ClientSession* session = find_session(client_id);
    if (session == nullptr) {
        return simple_reply(CLIENT_NOT_RECOGNISED, client_id);
    }
    switch (type) {
        case DISCONNECT:
            m_sessions.erase(client_id);
            return simple_reply(DISCONNECTED, client_id);
        case NO_MORE_DATA:
            session->no_more_data = true;
            return simple_reply(SUCCESS, client_id);
        case PASS_FIRST_RAW_BLOCK:
        case PASS_NEXT_RAW_BLOCK:
            return pass_block(*session, request_ptr, data->content_as_ReadBlockData(), type);
        case PASS_READ_BATCH:
            return pass_batch(*session, request_ptr, data->content_as_ReadBatchData());
        case GET_FIRST_CALLED_BLOCK:
            return first_called_block(*session, value, corruption);
        default:
            return next_called_block(*session, value, corruption.repeated_block);
    }
}

Response RequestHandler::load_config(const std::string& client_id, const std::string& name) {
    if (find_config(name) == nullptr) {
        return simple_reply(REQUEST_FAILED, client_id, 0, "Unknown basecall configuration: " + name);
    }
    m_loaded_configs.insert(name);
    return simple_reply(SUCCESS, client_id);
}

Response RequestHandler::connect(std::uint32_t priority, const std::string& text,
                                 std::chrono::steady_clock::time_point arrival) {
    std::string error;
    std::optional<ConnectionInfo> info;
    try {
        info = ConnectionInfo::parse(text, error);
    } catch (const std::exception& failure) {
        error = failure.what();
    }
    if (!info) {
        return simple_reply(BAD_REQUEST, "", 0, "Could not parse connection string: " + error);
    }
    const BasecallConfiguration* config = find_config(info->config_name);
    if (config == nullptr || m_loaded_configs.count(info->config_name) == 0) {
        return simple_reply(INVALID_CONFIG, "", 0, "Basecall configuration not loaded: " + info->config_name);
    }
    ClientSession session;
    session.barcode_kits = split_kit_list(info->barcode_kits);
    for (const auto& kit : session.barcode_kits) {
        if (find_barcode_kit(kit) == nullptr) {
            return simple_reply(INVALID_BARCODE_KIT, "", 0, "Unknown barcode kit: " + kit);
        }
    }
    if (!info->align_ref.empty()) {
        session.align_ref = LoadedFiles::canonical(info->align_ref);
        const auto index = m_files.indices().find(session.align_ref);
        if (index == m_files.indices().end()) {
            return simple_reply(INVALID_INDEX, "", 0, "Alignment index not loaded: " + info->align_ref);
        }
        if (index->second->empty()) {
            return simple_reply(INDEX_NO_SEQ, "", 0, "Alignment index holds no sequence: " + info->align_ref);
        }
    }
    if (!info->bed_file.empty()) {
        session.bed_file = LoadedFiles::canonical(info->bed_file);
        if (m_files.bed_files().count(session.bed_file) == 0) {
            return simple_reply(INVALID_BED, "", 0, "BED file not loaded: " + info->bed_file);
        }
    }
    const bool* move_and_trace = nullptr;
    session.move_and_trace = info->options.extract<bool>("move_and_trace_enabled", move_and_trace) && *move_and_trace;
    session.id = "client_" + std::to_string(m_next_client_number++);
    session.name = info->client_name;
    session.config = config;
    session.priority = priority;
    session.silence_limit = std::chrono::milliseconds(info->timeout_interval);
    session.last_heard = arrival;

    ConnectedInfo connected;
    connected.client_uid = session.id;
    connected.server_version = m_options.server_version;
    connected.minimap_version = m_options.aligner_version;
    const std::string id = session.id;
    m_sessions.emplace(id, std::move(session));
    return simple_reply(CONNECTED, id, 0, connected.create_message_string());
}

ReadIdentity RequestHandler::identity_of(const vexil_ipc::ReadBlockData* block) {
    ReadIdentity identity;
    identity.read_tag = block->read_tag();
    identity.sub_tag = block->sub_tag();
    identity.read_id = string_of(block->read_id());
    identity.strand_id = string_of(block->strand_id());
    identity.duration = block->duration();
    identity.daq_offset = block->daq_offset();
    identity.daq_scaling = block->daq_scaling();
    identity.start_time = block->start_time();
    identity.num_dravik_events = block->num_dravik_events();
    return identity;
}

std::shared_ptr<const CallSettings> RequestHandler::call_settings(ClientSession& session) {
    if (session.call_settings && session.call_settings_generation == m_files.generation()) {
        return session.call_settings;
    }
    auto settings = std::make_shared<CallSettings>();
    settings->model_stride = session.config->model_stride;
    settings->model_version_id = session.config->model_version_id;
    settings->use_signal_model = m_options.use_signal_model;
    settings->with_moves_and_trace = session.move_and_trace;
    settings->barcode_kits = session.barcode_kits;
    settings->split_reads = m_options.split_reads;
    if (!session.align_ref.empty()) {
        const auto index = m_files.indices().find(session.align_ref);
        if (index != m_files.indices().end()) {
            settings->index = index->second;
            const auto bed = m_files.bed_files().find(session.bed_file);
            if (!session.bed_file.empty() && bed != m_files.bed_files().end()) {
                settings->bed_file = bed->second;
            }
        }
    }
    session.call_settings = std::move(settings);
    session.call_settings_generation = m_files.generation();
    return session.call_settings;
}

std::optional<std::string> RequestHandler::uncallable(const ReadIdentity& identity) const {
    // Checked before a read is taken, so that the client hears of it in the reply to its push.
    if (m_options.use_signal_model && !(identity.daq_scaling > 0.0F)) {
        return "Cannot basecall read " + std::to_string(identity.read_tag) + ": daq_scaling must be positive";
    }
    return std::nullopt;
}

Response RequestHandler::pass_block(ClientSession& session, const RequestPtr& request,
                                    const vexil_ipc::ReadBlockData* block, MessageType type) {
    if (block == nullptr) {
        return simple_reply(BAD_REQUEST, session.id, 0, "Read block message without a read block");
    }
    const std::uint32_t tag = block->read_tag();
    const auto* samples = block->raw_data();
    if (type == PASS_FIRST_RAW_BLOCK) {
        if (full(session)) {
            return simple_reply(NOT_READY, session.id);
        }
        IncomingRead read;
        read.identity = identity_of(block);
        read.num_blocks = std::max<std::uint32_t>(1, block->num_blocks());
        session.incoming[tag] = std::move(read);
    }
    const auto found = session.incoming.find(tag);
    if (found == session.incoming.end()) {
        return simple_reply(BAD_REQUEST, session.id, 0,
                            "Block for read " + std::to_string(tag) + " whose first block never arrived");
    }
    IncomingRead& read = found->second;
    if (block->block_index() != read.blocks_received) {
        const std::string text = "Block " + std::to_string(block->block_index()) + " of read " + std::to_string(tag) +
                                 " arrived out of order (expected " + std::to_string(read.blocks_received) + ")";
        session.incoming.erase(found);
        return simple_reply(BAD_REQUEST, session.id, 0, text);
    }
    const bool single_block = read.num_blocks == 1;
    if (samples != nullptr && !m_options.use_signal_model) {
        // The fast mode looks only at how many samples a read has.
        read.samples_without_data += samples->size();
    } else if (samples != nullptr && !single_block) {
        if (!read.raw) {
            // The duration is the read's length in samples; trusted only as far as a sane bound.
            constexpr std::size_t max_reserved = std::size_t{1} << 26;
            read.raw = std::make_shared<std::vector<std::int16_t>>();
            read.raw->reserve(std::min<std::size_t>(read.identity.duration, max_reserved));
        }
        read.raw->insert(read.raw->end(), samples->data(), samples->data() + samples->size());
    }
    if (++read.blocks_received < read.num_blocks) {
        return simple_reply(RAW_BLOCK_ACCEPTED, session.id);
    }
    if (const auto why = uncallable(read.identity)) {
        session.incoming.erase(found);
        return simple_reply(BAD_REQUEST, session.id, 0, *why);
    }
    ReadSamples call;
    call.identity = read.identity;
    call.num_blocks = read.num_blocks;
    if (single_block) {
        // Called straight from the request frame, which the call keeps alive.
        call.raw = samples == nullptr ? nullptr : samples->data();
        call.count = samples == nullptr ? 0 : samples->size();
        call.owner = request;
    } else if (read.raw) {
        call.raw = read.raw->data();
        call.count = read.raw->size();
        call.owner = read.raw;
    } else {
        call.count = read.samples_without_data;
    }
    session.incoming.erase(found);
    std::vector<ReadSamples> reads;
    reads.push_back(std::move(call));
    session.completed.push_back(m_caller.submit(false, call_settings(session), std::move(reads)));
    pace(*session.completed.back());
    ++session.completed_reads;
    ++session.reads_in;
    ++m_lifetime_in;
    ++m_period_in;
    return simple_reply(RAW_BLOCK_ACCEPTED, session.id);
}

Response RequestHandler::pass_batch(ClientSession& session, const RequestPtr& request,
                                    const vexil_ipc::ReadBatchData* batch) {
    if (batch == nullptr || batch->read_blocks() == nullptr || batch->read_blocks()->size() == 0) {
        return simple_reply(BAD_REQUEST, session.id, 0, "Read batch without reads");
    }
    if (full(session)) {
        return simple_reply(NOT_READY, session.id);
    }
    std::vector<ReadSamples> reads;
    reads.reserve(batch->read_blocks()->size());
    for (const auto* block : *batch->read_blocks()) {
        ReadSamples read;
        read.identity = identity_of(block);
        if (const auto why = uncallable(read.identity)) {
            return simple_reply(BAD_REQUEST, session.id, 0, *why);
        }
        const auto* samples = block->raw_data();
        read.raw = samples == nullptr ? nullptr : samples->data();
        read.count = samples == nullptr ? 0 : samples->size();
        read.owner = request;
        reads.push_back(std::move(read));
    }
    const auto count = reads.size();
    session.completed.push_back(m_caller.submit(true, call_settings(session), std::move(reads)));
    pace(*session.completed.back());
    session.completed_reads += count;
    session.reads_in += static_cast<std::uint32_t>(count);
    m_lifetime_in += count;
    m_period_in += count;
    return simple_reply(BATCH_ACCEPTED, session.id);
}

Response RequestHandler::first_called_block(ClientSession& session, std::uint32_t options,
                                            const ReadCorruption& corruption) {
    session.last_pull_options = options;
    if (session.completed.empty()) {
        return simple_reply(NONE_PENDING, session.id, 0);
    }
    if (!session.completed.front()->ready()) {
        if (!m_options.hold_pulls || m_options.call_time.count() > 0) {
            return simple_reply(NONE_PENDING, session.id, 0);
        }
        session.pull_held = true;
        Response held;
        held.kind = Response::Kind::held;
        held.held = HeldPull{session.id, options, corruption};
        return held;
    }
    return take_called(session, options, corruption);
}

bool RequestHandler::full(const ClientSession& session) const {
    if (m_options.call_time.count() == 0) {
        return session.reads_held() >= m_options.max_reads_per_client;
    }
    // A read stops taking room once it is called; items are called in the order they came.
    const auto now = CallItem::Clock::now();
    std::size_t uncalled = 0;
    for (auto item = session.completed.rbegin(); item != session.completed.rend() && (*item)->ready_at() > now;
         ++item) {
        uncalled += (*item)->size();
    }
    return uncalled >= m_options.max_reads_per_client;
}

void RequestHandler::pace(CallItem& item) {
    if (m_options.call_time.count() == 0) {
        return;
    }
    const auto now = CallItem::Clock::now();
    m_called_until = std::max(now, m_called_until) + m_options.call_time * static_cast<long>(item.size());
    item.set_ready_at(m_called_until);
}

Response RequestHandler::take_called(ClientSession& session, std::uint32_t options, const ReadCorruption& corruption) {
    const std::shared_ptr<CallItem> item = session.completed.front();
    const std::size_t piece = session.front_piece;
    // The client delivers a sub-read only with or before its parent, so a split single read's
    // sub-reads come back before it; a batch carries all of them at once.
    const bool last_piece =
            item->is_batch() || !item->failure().empty() || piece >= item->reads().front().sub_reads.size();
    if (last_piece) {
        if (m_options.call_time.count() > 0) {
            m_returned_after_call.insert(m_returned_after_call.end(), item->size(),
                                         CallItem::Clock::now() - item->ready_at());
        }
        session.completed.pop_front();
        session.completed_reads -= item->size();
        session.front_piece = 0;
    } else {
        ++session.front_piece;
    }
    if (!item->failure().empty()) {
        return simple_reply(BAD_REQUEST, session.id, 0, item->failure());
    }
    if (last_piece) {
        const auto count = item->size();
        session.reads_out += static_cast<std::uint32_t>(count);
        m_lifetime_out += count;
        m_period_out += count;
    }
    Message message = session.prebuilt.is_for(item, options, piece) && !corruption.any()
                              ? std::move(session.prebuilt.message)
                              : first_reply(session, *item, piece, options, corruption);
    session.prebuilt = PrebuiltReply{};
    if (item->is_batch()) {
        return reply(std::move(message));
    }
    CalledRead& read = piece_of(*item, piece);
    if (read.num_blocks > 1) {
        // The piece is not returned again, so its data moves to the blocks still to go.
        const std::uint32_t tag = read.identity.read_tag;
        session.outgoing[tag] = OutgoingRead{std::move(read), 1, content_for(options), Message()};
    }
    return reply(std::move(message));
}

CalledRead& RequestHandler::piece_of(CallItem& item, std::size_t piece) {
    CalledRead& read = item.reads().front();
    return piece < read.sub_reads.size() ? read.sub_reads[piece] : read;
}

const CalledRead& RequestHandler::piece_of(const CallItem& item, std::size_t piece) {
    const CalledRead& read = item.reads().front();
    return piece < read.sub_reads.size() ? read.sub_reads[piece] : read;
}

Message RequestHandler::first_reply(const ClientSession& session, const CallItem& item, std::size_t piece,
                                    std::uint32_t options, const ReadCorruption& corruption) {
    const BlockContent content = content_for(options);
    return item.is_batch() ? reply_builder::completed_batch(session.id, item.reads(), content, corruption)
                           : reply_builder::called_block(session.id, piece_of(item, piece), 0, content, corruption);
}

Message RequestHandler::next_block_reply(const std::string& client_id, const OutgoingRead& outgoing) {
    return reply_builder::called_block(client_id, outgoing.read, outgoing.next_block, outgoing.content, {});
}

BlockContent RequestHandler::content_for(std::uint32_t options) {
    BlockContent content;
    content.with_moves_and_trace = (options & called_block_option::disable_events) == 0;
    content.with_state_data = (options & called_block_option::pull_state_data) != 0;
    return content;
}

Response RequestHandler::next_called_block(ClientSession& session, std::uint32_t read_tag, bool repeat_previous) {
    const auto found = session.outgoing.find(read_tag);
    if (found == session.outgoing.end()) {
        return simple_reply(BAD_REQUEST, session.id, 0, "No further blocks of read " + std::to_string(read_tag));
    }
    OutgoingRead& outgoing = found->second;
    if (repeat_previous && outgoing.next_block >= 2) {
        return reply(
                reply_builder::called_block(session.id, outgoing.read, outgoing.next_block - 1, outgoing.content, {}));
    }
    Message message = outgoing.next_message.empty() ? next_block_reply(session.id, outgoing)
                                                    : std::move(outgoing.next_message);  // leaves it empty
    if (++outgoing.next_block >= outgoing.read.num_blocks) {
        session.outgoing.erase(found);
    }
    return reply(std::move(message));
}

Response RequestHandler::query(const std::string& client_id, std::uint32_t code) {
    switch (static_cast<QueryCode>(code)) {
        case QueryCode::internal_state:
            return simple_reply(RESPONSE, client_id, 0, internal_state());
        case QueryCode::minimap_info:
            return simple_reply(RESPONSE, client_id, 0, aligner_help_and_version());
        default:
            return simple_reply(BAD_REQUEST, client_id, 0, "Unrecognised query code " + std::to_string(code));
    }
}

Message RequestHandler::statistics_reply(const std::string& client_id) {
    reply_builder::Statistics stats;
    stats.lifetime_reads_in = m_lifetime_in;
    stats.lifetime_reads_out = m_lifetime_out;
    stats.period_reads_in = m_period_in;
    stats.period_reads_out = m_period_out;
    for (const auto& [id, session] : m_sessions) {
        stats.clients.emplace_back(session.reads_in, session.reads_out);
    }
    // A period runs from one statistics request to the next.
    m_period_in = 0;
    m_period_out = 0;
    return reply_builder::statistics(client_id, stats);
}

std::string RequestHandler::internal_state() const {
    nlohmann::ordered_json state;
    auto& info = state["ServerInformation"];
    info["server_version"] = m_options.server_version;
    info["protocol_version"] = current_version_as_string();
    info["address"] = m_address;
    info["signal_model"] = m_options.use_signal_model;
    info["connected_clients"] = m_sessions.size();
    info["restarts"] = m_restarts;
    info["split_reads"] = m_options.split_reads;
    info["max_load_file_bytes"] = m_options.max_load_file_bytes;
    if (m_options.call_time.count() > 0) {
        info["call_time_us"] = m_options.call_time.count();
        std::vector<std::chrono::steady_clock::duration> delays = m_returned_after_call;
        std::sort(delays.begin(), delays.end());
        const auto quantile_us = [&delays](double q) {
            return delays.empty() ? 0.0
                                  : std::chrono::duration<double, std::micro>(
                                            delays[static_cast<std::size_t>(q * (delays.size() - 1))])
                                            .count();
        };
        info["called_to_returned_us"] = {
                {"reads", delays.size()}, {"median", quantile_us(0.5)}, {"p90", quantile_us(0.9)}};
    }
    auto& configs = info["configurations"] = nlohmann::ordered_json::array();
    for (const auto& config : m_options.configurations) {
        configs.push_back({{"name", config.name},
                           {"model_stride", config.model_stride},
                           {"loaded", m_loaded_configs.count(config.name) > 0}});
    }
    info["alignment_indices"] = nlohmann::ordered_json::array();
    for (const auto& [name, index] : m_files.indices()) {
        info["alignment_indices"].push_back(name);
    }
    info["bed_files"] = nlohmann::ordered_json::array();
    for (const auto& [name, bed] : m_files.bed_files()) {
        info["bed_files"].push_back(name);
    }
    info["files_loading"] = m_files.loading();
    auto& clients = state["Clients"] = nlohmann::ordered_json::object();
    for (const auto& [id, session] : m_sessions) {
        clients[id] = {{"client_name", session.name},
                       {"config", session.config->name},
                       {"reads_in", session.reads_in},
                       {"reads_out", session.reads_out},
                       {"reads_held", session.reads_held()}};
    }
    state["Statistics"] = {{"lifetime_reads_in", m_lifetime_in}, {"lifetime_reads_out", m_lifetime_out}};
    return state.dump(2);
}

std::string RequestHandler::aligner_help_and_version() const {
    return "Usage: reference aligner [options]\n"
           "  Finds exact matches of a called sequence on either strand of the loaded index.\n"
           "  Options are accepted when they begin with '-'; they do not change the result.\n" +
           m_options.aligner_version;
}

RequestHandler::ClientSession* RequestHandler::find_session(const std::string& client_id) {
    if (client_id.empty()) {
        return nullptr;
    }
    const auto found = m_sessions.find(client_id);
    return found == m_sessions.end() ? nullptr : &found->second;
}

const BasecallConfiguration* RequestHandler::find_config(const std::string& name) const {
    const auto found = std::find_if(m_options.configurations.begin(), m_options.configurations.end(),
                                    [&](const BasecallConfiguration& config) { return config.name == name; });
    return found == m_options.configurations.end() ? nullptr : &*found;
}

}  // namespace reference_server
