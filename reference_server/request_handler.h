#pragma once

#include "ipc_tools/message.h"
#include "reference_server/alignment_index.h"
#include "reference_server/called_read.h"
#include "reference_server/fault_rules.h"
#include "reference_server/loaded_files.h"
#include "reference_server/read_caller.h"
#include "reference_server/request_log.h"
#include "reference_server/response.h"
#include "reference_server/server_options.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zmq {
class message_t;
}

namespace reference_server {

/// The server's whole state and behaviour, without any socket: one request frame in, one
/// response out. Runs on the server thread only; the fault rules and the request log it shares
/// are thread-safe. Reads are called on the options' calling threads; `on_called` runs on one
/// of them whenever a read or batch has been called, so that held pulls can be resumed.
class RequestHandler {
public:
    RequestHandler(ServerOptions options, std::string address, FaultInjector& faults, RequestLog& log,
                   std::function<void()> on_called = {});
    ~RequestHandler();
    RequestHandler(const RequestHandler&) = delete;
    RequestHandler& operator=(const RequestHandler&) = delete;

    Response handle(zmq::message_t&& frame);
    /// Work the server does once a reply is on its way, so that it overlaps the transport: without
    /// calling threads, calls the reads of the last request; then builds the replies that the last
    /// request's client is expected to pull next. Every handling runs it first, so no request ever
    /// finds such a read uncalled.
    void finish_deferred_calls();
    /// The answer to a held pull, or nothing while its read is still being called.
    std::optional<Response> resume(const HeldPull& pull);
    /// A reply to `client_id` held back by a delay (`sent` false), or sent at last (`sent` true).
    void late_reply(const std::string& client_id, bool sent);

    /// The internal-state JSON text (the QUERY internal-state answer).
    std::string internal_state() const;
    /// Help text, a newline and the version (the QUERY aligner answer).
    std::string aligner_help_and_version() const;

private:
    struct IncomingRead {
        ReadIdentity identity;
        std::uint32_t num_blocks = 1;
        std::uint32_t blocks_received = 0;
        std::shared_ptr<std::vector<std::int16_t>> raw;
        std::size_t samples_without_data = 0;
    };
    struct OutgoingRead {
        CalledRead read;
        std::uint32_t next_block = 1;
        BlockContent content;
        ipc_tools::Message next_message;  // `next_block`, built ahead; empty until then
    };
    /// The first reply of the oldest called read or batch (of its piece `piece`), built ahead for
    /// the options of the client's last pull.
    struct PrebuiltReply {
        std::shared_ptr<CallItem> item;
        std::uint32_t options = 0;
        std::size_t piece = 0;
        ipc_tools::Message message;
        bool is_for(const std::shared_ptr<CallItem>& called, std::uint32_t pull_options,
                    std::size_t called_piece) const {
            return item == called && options == pull_options && piece == called_piece;
        }
    };
    struct ClientSession {
        std::string id;
        std::string name;
        const BasecallConfiguration* config = nullptr;
        std::uint32_t priority = 0;
        bool move_and_trace = false;
        std::vector<std::string> barcode_kits;
        std::string align_ref;
        std::string bed_file;
        std::map<std::uint32_t, IncomingRead> incoming;
        std::deque<std::shared_ptr<CallItem>> completed;  // in arrival order, called or being called
        /// A single read split into parts comes back one piece a pull: its sub-reads in order,
        /// then the read itself. The piece of the front item that the next pull returns.
        std::size_t front_piece = 0;
        std::size_t completed_reads = 0;
        std::map<std::uint32_t, OutgoingRead> outgoing;
        std::shared_ptr<const CallSettings> call_settings;
        std::uint64_t call_settings_generation = 0;
        std::uint32_t reads_in = 0;
        std::uint32_t reads_out = 0;
        bool no_more_data = false;
        std::uint32_t last_pull_options = 0;
        PrebuiltReply prebuilt;
        /// The client is forgotten once it has sent nothing for longer than the connection time-out
        /// it gave (0: never). A pull held for its read is the server's wait, not the client's silence.
        std::chrono::milliseconds silence_limit{0};
        /// The client's last request, or the end of the last reply that went out late.
        std::chrono::steady_clock::time_point last_heard;
        bool pull_held = false;
        std::size_t late_replies = 0;  ///< held back by a delay and not sent yet: the client waits for them
        std::size_t reads_held() const;
        void drop_reads();
    };
    using RequestPtr = std::shared_ptr<const ipc_tools::Message>;

    Response dispatch(const RequestPtr& request, const vexil_ipc::MessageData* data, const std::string& client_id,
                      const ReadCorruption& corruption, std::chrono::steady_clock::time_point arrival);

    /// Forgets every client silent for longer than its limit, as a server whose clients vanish must.
    void forget_silent_clients(std::chrono::steady_clock::time_point now);
    Response load_config(const std::string& client_id, const std::string& name);
    Response connect(std::uint32_t priority, const std::string& text, std::chrono::steady_clock::time_point arrival);
    Response pass_block(ClientSession& session, const RequestPtr& request, const vexil_ipc::ReadBlockData* block,
                        ipc_tools::MessageType type);
    Response pass_batch(ClientSession& session, const RequestPtr& request, const vexil_ipc::ReadBatchData* batch);
    Response first_called_block(ClientSession& session, std::uint32_t options, const ReadCorruption& corruption);
    // With a set call time: the item is ready once the reads before it and its own are called.
    void pace(CallItem& item);
    // Whether the client's reads fill its room: those on the server, or with a set call time those
    // not yet called.
    bool full(const ClientSession& session) const;
    Response take_called(ClientSession& session, std::uint32_t options, const ReadCorruption& corruption);
    static BlockContent content_for(std::uint32_t options);
    /// The reply carrying block `next_block` of a read being returned.
    static ipc_tools::Message next_block_reply(const std::string& client_id, const OutgoingRead& outgoing);
    static ipc_tools::Message first_reply(const ClientSession& session, const CallItem& item, std::size_t piece,
                                          std::uint32_t options, const ReadCorruption& corruption);
    /// Piece `piece` of a single read: its sub-reads in order, then the read itself.
    static CalledRead& piece_of(CallItem& item, std::size_t piece);
    static const CalledRead& piece_of(const CallItem& item, std::size_t piece);
    void prebuild_replies();
    bool has_called_read(const ClientSession& session) const;
    std::shared_ptr<const CallSettings> call_settings(ClientSession& session);
    std::optional<std::string> uncallable(const ReadIdentity& identity) const;
    Response next_called_block(ClientSession& session, std::uint32_t read_tag, bool repeat_previous);
    Response query(const std::string& client_id, std::uint32_t code);
    ipc_tools::Message statistics_reply(const std::string& client_id);

    static ReadIdentity identity_of(const vexil_ipc::ReadBlockData* block);
    ClientSession* find_session(const std::string& client_id);
    const BasecallConfiguration* find_config(const std::string& name) const;

    ServerOptions m_options;
    std::string m_address;
    FaultInjector& m_faults;
    RequestLog& m_log;
    std::set<std::string> m_loaded_configs;
    LoadedFiles m_files;
    std::map<std::string, ClientSession> m_sessions;
    std::uint64_t m_next_client_number = 1;
    std::uint64_t m_lifetime_in = 0;
    std::uint64_t m_lifetime_out = 0;
    std::uint64_t m_period_in = 0;
    std::uint64_t m_period_out = 0;
    std::uint64_t m_restarts = 0;
    // With a set call time: when the last admitted read is called, and how long each called read
    // waited for its pull.
    std::chrono::steady_clock::time_point m_called_until{};
    std::vector<std::chrono::steady_clock::duration> m_returned_after_call;
    std::string m_last_client_id;  // of the last request handled, for prebuild_replies
    ReadCaller m_caller;           // last: its workers are joined before the sessions go
};

}  // namespace reference_server
