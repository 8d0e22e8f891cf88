#pragma once

#include "reference_server/alignment_index.h"
#include "reference_server/called_read.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace common {
class ActiveObject;
}

namespace reference_server {

/// What calling a read needs of its client's session, fixed when the read arrives, so that the
/// session may change or go while the read is being called.
struct CallSettings {
    std::uint32_t model_stride = 5;
    std::string model_version_id;
    bool use_signal_model = true;
    bool with_moves_and_trace = false;
    std::shared_ptr<const AlignmentIndex> index;  ///< null: no alignment
    std::shared_ptr<const BedFile> bed_file;      ///< null: no BED annotation
    std::vector<std::string> barcode_kits;        ///< empty: no barcoding
    std::uint32_t split_reads = 0;                ///< parts a read is split into; 0: none
};

/// Calls one read: the signal model (or its fast stand-in), then alignment and barcoding as the
/// settings ask, then the split into sub-reads when the settings ask for one. Throws what the
/// model throws for unusable samples.
CalledRead call_for_client(const CallSettings& settings, const ReadIdentity& identity, const std::int16_t* raw,
                           std::size_t count);

/// The split rule, for `parts` = k > 0: a called read of n >= k bases gets sub-reads with sub tags
/// 1..k (a read of fewer bases stays whole). Sub-read i holds events [b, e) of the parent, with
/// b = n(i-1)/k and e = ni/k in integer division, one event per base: its sequence, qualities,
/// moves, trace and state data are those of the parent's events b to e-1, so that the sub-reads'
/// sequences joined in sub-tag order are the parent's. Its read tag, read id and strand id are
/// the parent's; its duration is (e - b) times the model stride, plus the parent's trimmed samples
/// for sub-read k only; its start time is the parent's plus b times the stride; its mean qscore,
/// alignments and barcoding are worked out from its own bases; its scaling is the parent's.
std::vector<CalledRead> split_read(const CalledRead& parent, std::uint32_t parts, const CallSettings& settings);

/// The samples of one read to call and whatever owns them (the request frame or the joined blocks).
struct ReadSamples {
    ReadIdentity identity;
    const std::int16_t* raw = nullptr;
    std::size_t count = 0;
    std::uint32_t num_blocks = 1;
    std::shared_ptr<const void> owner;
};

/// One entry of a client's queue of called reads: a single read or a whole batch. Its reads are
/// called independently; it is ready once the last of them is done. The reads may be touched
/// only once it is ready.
class CallItem {
public:
    CallItem(bool is_batch, std::size_t num_reads);

    bool is_batch() const { return m_is_batch; }
    std::size_t size() const { return m_reads.size(); }
    bool ready() const {
        return m_remaining.load() == 0 && (m_ready_at == Clock::time_point{} || Clock::now() >= m_ready_at);
    }
    using Clock = std::chrono::steady_clock;
    /// A server that calls each read in a set time holds the item back until then.
    void set_ready_at(Clock::time_point at) { m_ready_at = at; }
    Clock::time_point ready_at() const { return m_ready_at; }
    std::vector<CalledRead>& reads() { return m_reads; }
    const std::vector<CalledRead>& reads() const { return m_reads; }
    /// Why a read could not be called; empty when every read was. Valid once ready.
    const std::string& failure() const { return m_failure; }

    /// Each returns true when it finished the item.
    bool complete(std::size_t index, CalledRead read);
    bool fail(std::size_t index, const std::string& why);

private:
    bool finish_one();

    Clock::time_point m_ready_at{};

    const bool m_is_batch;
    std::vector<CalledRead> m_reads;
    std::mutex m_failure_mutex;
    std::string m_failure;
    std::atomic<std::size_t> m_remaining;
};

/// The server's basecallers: reads are called on a pool of worker threads so that calling
/// overlaps the transport of further requests. With no threads the reads are called on the
/// server's own thread by `run_deferred`, which the server runs once the reply to the request that
/// brought them is on its way. `on_ready` runs on the worker that finishes an item.
class ReadCaller {
public:
    ReadCaller(std::size_t num_threads, std::function<void()> on_ready);
    /// Calls not started yet are skipped; the workers are joined.
    ~ReadCaller();
    ReadCaller(const ReadCaller&) = delete;
    ReadCaller& operator=(const ReadCaller&) = delete;

    std::shared_ptr<CallItem> submit(bool is_batch, std::shared_ptr<const CallSettings> settings,
                                     std::vector<ReadSamples> reads);
    /// Without threads: calls every read submitted since the last call. Same thread as `submit`.
    void run_deferred();

private:
    struct DeferredCall {
        std::shared_ptr<CallItem> item;
        std::shared_ptr<const CallSettings> settings;
        std::vector<ReadSamples> reads;
    };

    static bool call_into(CallItem& item, std::size_t index, const CallSettings& settings, const ReadSamples& read);

    std::function<void()> m_on_ready;
    std::vector<DeferredCall> m_deferred;
    std::atomic<bool> m_stopping{false};
    std::unique_ptr<common::ActiveObject> m_workers;  // last: joined before the rest goes
};

}  // namespace reference_server
