#pragma once

#include "basecall_client/bounded_read_warning.h"
#include "basecall_client/client_connection_state.h"
#include "common/diagnostics/tracing/trace_context.h"
#include "interfaces/read_holder.h"
#include "ipc_tools/message.h"
#include "ipc_tools/vexil_ipc_generated.h"

#include <cstdint>
#include <memory>
#include <string>

namespace basecall_service {

// Where a called read's submitted holder is found and its sub-reads are stored (the engine's
// ReadBuffer, through BufferCalledReadStore).
class CalledReadStore {
public:
    virtual ~CalledReadStore() = default;
    // The submitted holder with that tag, or null; it stays owned by the store.
    virtual interfaces::ReadHolder* get_submitted_read_holder(unsigned long long read_tag) const = 0;
    // The holder into which the results of the submitted read with that tag are written (the
    // engine's buffer keeps them apart from the read, which keeps what the caller passed until it
    // is retrieved); null when there is no such read. It stays owned by the store.
    virtual interfaces::ReadHolder* results_of(unsigned long long read_tag) = 0;
    // A new sub-read of the submitted read with that tag, built from what the caller passed with it.
    virtual interfaces::ReadHolder make_sub_read(unsigned long long read_tag, unsigned long long sub_tag) const = 0;
    // Stores the sub-read (moving it) unless one with its tag and sub tag is stored already; returns
    // the stored holder.
    virtual interfaces::ReadHolder* add_temp_sub_read(interfaces::ReadHolder& sub_read) = 0;
};

// The request/reply link over which the later blocks of a called read are fetched (the engine's
// RequestBrokerAdapter, through AdapterCalledBlockLink).
// One request is on its way at a time: finish_request waits for the reply to the request sent
// by start_request.
class CalledBlockLink {
public:
    virtual ~CalledBlockLink() = default;
    // Both false on failure, with error_state() telling why.
    virtual bool start_request(ipc_tools::Message& request) = 0;
    virtual bool finish_request(ipc_tools::Message& reply) = 0;
    virtual const ErrorState& error_state() const = 0;
};

// The read loop's request options that shape what is decoded.
struct CalledReadOptions {
    // No move, trace, run-length or modified-base data is stored.
    bool disable_events = false;
    // State data is stored.
    bool pull_state_data = false;
    // Client id of every GET_NEXT_CALLED_BLOCK request.
    std::string connection_id;
};

// Per-read state data larger than this many values per event is refused as a malformed reply:
// it would make the reader allocate without bound on the server's word.
constexpr std::uint32_t MAX_CALLED_STATE_SIZE = 4096;
// Nor may the state data of a whole read exceed this many values (256 MiB).
constexpr std::uint64_t MAX_CALLED_STATE_VALUES = std::uint64_t{1} << 26;

// Turns the called read that the server returns (its first block, and every further block fetched
// here) into the client's read record: read-level, basecall, scaling, barcoding and alignment keys
// in the holder's metadata, and whole-read sequence, qualities, moves, traces, run-length data,
// modified-base probabilities and state data as datasets.
//
// Server input is not trusted, and every field may be absent. Every copy is bounded by the room in
// the buffers sized from the first block and by the data the block holds: counts beyond a buffer's
// room, vectors shorter than their counts and probabilities beyond the bases are cut to fit, and
// the read is returned with what fits (bounded() says what did not). Qualities absent, or of
// another length than the sequence, leave the read without qualities. Refused with a clear error
// state, and given no datasets, is only a read whose blocks cannot be its own (a later block of
// another read or place, more bases than samples) or whose counts would size buffers beyond the
// read. A block without its called-block table reads as one with every field at its default.
class CalledReadDecoder {
public:
    using TraceContextPtr = std::shared_ptr<common::diagnostics::tracing::details::TraceContext>;

    // `error_state` receives the reason of every failure; `trace_context` is the domain in which
    // failures are traced (the decoder's own when null).
    CalledReadDecoder(CalledReadStore& store, CalledBlockLink& link, CalledReadOptions options, ErrorState& error_state,
                      TraceContextPtr trace_context = nullptr);

    // The holder of the results of the read or sub-read that `block` (a RETURN_FIRST_CALLED_BLOCK
    // block, or one read block of a completed batch) belongs to, filled; null on failure, with the
    // error state set.
    interfaces::ReadHolder* process_read_message(const vexil_ipc::ReadBlockData* block);
    // The first thing of the read last filled that did not fit it and was bounded; empty when all fit.
    const std::string& bounded() const { return m_bounded; }

private:
    // What a failure traces: the error state's text form, the message alone, or nothing (the
    // error was reported where it arose).
    enum class TraceText { error_state, message, none };

    interfaces::ReadHolder* decode(const vexil_ipc::ReadBlockData& block);
    // Every failure of a decoding ends here: records the error, traces it as asked, returns null.
    interfaces::ReadHolder* fail(ErrorState error, TraceText trace_text);

    CalledReadStore& m_store;
    CalledBlockLink& m_link;
    const CalledReadOptions m_options;
    ErrorState& m_error_state;
    TraceContextPtr m_trace_context;
    std::string m_bounded;
};

// Adapts the engine's ReadBuffer (or anything with the same four operations) to CalledReadStore.
template <typename Buffer>
class BufferCalledReadStore final : public CalledReadStore {
public:
    explicit BufferCalledReadStore(Buffer& buffer) : m_buffer(buffer) {}
    interfaces::ReadHolder* get_submitted_read_holder(unsigned long long read_tag) const override {
        return m_buffer.get_submitted_read_holder(read_tag);
    }
    interfaces::ReadHolder* results_of(unsigned long long read_tag) override { return m_buffer.results_of(read_tag); }
    interfaces::ReadHolder make_sub_read(unsigned long long read_tag, unsigned long long sub_tag) const override {
        return m_buffer.make_sub_read(read_tag, sub_tag);
    }
    interfaces::ReadHolder* add_temp_sub_read(interfaces::ReadHolder& sub_read) override {
        return m_buffer.add_temp_sub_read(sub_read);
    }

private:
    Buffer& m_buffer;
};

// Adapts the engine's RequestBrokerAdapter (or anything with the same three operations) to
// CalledBlockLink.
template <typename Adapter>
class AdapterCalledBlockLink final : public CalledBlockLink {
public:
    explicit AdapterCalledBlockLink(Adapter& adapter) : m_adapter(adapter) {}
    bool start_request(ipc_tools::Message& request) override { return m_adapter.start_request(request); }
    bool finish_request(ipc_tools::Message& reply) override { return m_adapter.finish_request(reply); }
    const ErrorState& error_state() const override { return m_adapter.error_state(); }

private:
    Adapter& m_adapter;
};

// What the read loop calls for each called read: decodes `block` with the loop's read buffer and
// broker adapter; a read bounded to fit goes to the connection's `warning`. Returns the filled
// holder, or null with `error_state` set.
template <typename Buffer, typename Adapter>
interfaces::ReadHolder* decode_called_read(Buffer& read_buffer, Adapter& adapter, const CalledReadOptions& options,
                                           ErrorState& error_state, CalledReadDecoder::TraceContextPtr trace_context,
                                           BoundedReadWarning& warning, const vexil_ipc::ReadBlockData* block) {
    BufferCalledReadStore<Buffer> store(read_buffer);
    AdapterCalledBlockLink<Adapter> link(adapter);
    CalledReadDecoder decoder(store, link, options, error_state, std::move(trace_context));
    interfaces::ReadHolder* const read = decoder.process_read_message(block);
    if (read != nullptr && !decoder.bounded().empty()) {
        // The read as passed carries its read id; the results may not.
        const interfaces::ReadHolder* passed = read_buffer.get_submitted_read_holder(block->read_tag());
        warning.read_bounded(adapter.server_address(), passed != nullptr ? *passed : *read, decoder.bounded());
    }
    return read;
}

}  // namespace basecall_service
