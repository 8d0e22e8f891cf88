#include "basecall_client/called_read_decoder.h"

#include "basecall_client/alignment_results.h"
#include "basecall_client/barcoding_results.h"
#include "common/diagnostics/tracing/trace_domain.h"
#include "data_wrappers/data_view.h"
#include "data_wrappers/views.h"
#include "ipc_tools/message_type.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace basecall_service {

namespace {

using bass::data_wrappers::DataView;
using bass::data_wrappers::MatView;
using bass::data_wrappers::Metadata;

static_assert(FLATBUFFERS_LITTLEENDIAN, "vectors are copied from the wire as they lie in memory");

constexpr uint64_t TRACE_VALUES_PER_EVENT = 8;
// The probabilities are appended as blocks bring them; reserving for the whole read up front is
// capped, since the size is the server's word and costs nothing to claim.
constexpr uint64_t MAX_RESERVED_PROBABILITIES = uint64_t{1} << 24;

// What a block without its called-block table reads as: every field at its default.
const vexil_ipc::CalledBlockData& empty_called_block() {
    static const flatbuffers::DetachedBuffer buffer = [] {
        flatbuffers::FlatBufferBuilder fbb;
        fbb.Finish(vexil_ipc::CalledBlockDataBuilder(fbb).Finish());
        return fbb.Release();
    }();
    return *flatbuffers::GetRoot<vexil_ipc::CalledBlockData>(buffer.data());
}

const vexil_ipc::CalledBlockData& called_block_of(const vexil_ipc::ReadBlockData* block) {
    return block != nullptr && block->called_block() != nullptr ? *block->called_block() : empty_called_block();
}

enum class TraceKind { none, flipflop, runlength };

std::string text_of(const flatbuffers::String* text) { return text == nullptr ? std::string() : text->str(); }

template <typename T>
uint64_t length_of(const flatbuffers::Vector<T>* values) {
    return values == nullptr ? 0 : values->size();
}

// Copies `count` elements of `source` into `target` from `offset` on, bounded by the room left in
// the target and by the elements the source holds; the rest is not copied. Returns what fell short
// (the source's name `what` and the counts), or empty; an absent source supplies nothing.
template <typename Target, typename Source>
std::string copy_bounded(std::vector<Target>& target, uint64_t offset, const flatbuffers::Vector<Source>* source,
                         uint64_t count, const char* what) {
    static_assert(sizeof(Target) == sizeof(Source), "wire and buffer elements must match");
    if (source == nullptr) {
        return {};
    }
    const uint64_t present = source->size();
    const uint64_t room = offset >= target.size() ? 0 : target.size() - offset;
    const uint64_t n = std::min({count, present, room});
    if (n > 0) {
        std::memcpy(target.data() + offset, source->Data(), n * sizeof(Target));
    }
    if (present != count) {
        return std::string(what) + " of " + std::to_string(present) + " values for " + std::to_string(count);
    }
    if (room < count) {
        return std::string(what) + " of " + std::to_string(count) + " values with room for " + std::to_string(room);
    }
    return {};
}

const vexil_ipc::FlipflopTraceData* flipflop_of(const vexil_ipc::CalledBlockData& called) {
    return called.trace_type() == vexil_ipc::TraceData_FlipflopTraceData ? called.trace_as_FlipflopTraceData()
                                                                         : nullptr;
}

const vexil_ipc::RunlengthTraceData* runlength_of(const vexil_ipc::CalledBlockData& called) {
    return called.trace_type() == vexil_ipc::TraceData_RunlengthTraceData ? called.trace_as_RunlengthTraceData()
                                                                          : nullptr;
}

// The whole-read buffers, sized once from the first block and filled block by block.
struct ReadBuffers {
    TraceKind trace_kind = TraceKind::none;
    uint64_t event_capacity = 0;
    uint64_t state_size = 0;
    uint64_t run_capacity = 0;
    uint64_t sequence_length = 0;
    uint64_t categories = 0;
    uint64_t event_offset = 0;
    uint64_t run_offset = 0;
    // Raw samples of the read, which no event, run or base count may exceed (0: unchecked).
    uint64_t sample_limit = 0;

    std::string sequence;
    std::string qstring;
    std::vector<uint8_t> movement;
    std::vector<uint8_t> trace;
    std::vector<int8_t> rle_base;
    std::vector<float> rle_scale;
    std::vector<float> rle_shape;
    std::vector<float> rle_weight;
    std::vector<uint32_t> rle_index;
    std::vector<uint32_t> rle_runlength;
    std::vector<float> state_data;
    std::vector<uint8_t> base_mod_probs;

    // The block being copied, and the first thing that did not fit the read, bounded to fit it.
    uint64_t block_index = 0;
    std::string bounded;
    void note(const std::string& what) {
        if (bounded.empty() && !what.empty()) {
            bounded = "block " + std::to_string(block_index) + ": " + what;
        }
    }
    void note_joined(const std::string& what) {
        if (bounded.empty()) {
            bounded = what;
        }
    }
};

// Why a block cannot be this read's, or would make the decoder allocate beyond what the read can
// hold; empty when neither. Counts and lengths that merely disagree are bounded when copied instead.
class BlockChecker {
public:
    BlockChecker(const CalledReadOptions& options, const ReadBuffers& buffers)
        : m_options(options), m_buffers(buffers), m_sample_limit(buffers.sample_limit) {}

    std::string check(const vexil_ipc::CalledBlockData& called, bool first_block) const {
        // Every base is read from at least one sample: a longer sequence is not this read's, and
        // is refused before the read's text grows by it.
        const uint64_t bases = length_of(called.sequence());
        const uint64_t bases_so_far = first_block ? 0 : m_buffers.sequence.size();
        if (m_sample_limit > 0 && bases_so_far + bases > m_sample_limit) {
            return std::to_string(bases_so_far + bases) + " bases beyond the read's " + std::to_string(m_sample_limit) +
                   " samples";
        }
        if (!first_block) {
            return {};
        }
        const uint64_t state_size = called.state_size();
        if (m_options.pull_state_data && called.state_data() != nullptr) {
            if (state_size > MAX_CALLED_STATE_SIZE) {
                return "state size " + std::to_string(state_size) + " above the limit of " +
                       std::to_string(MAX_CALLED_STATE_SIZE);
            }
            if (called.event_capacity() * state_size > MAX_CALLED_STATE_VALUES) {
                return "state data of " + std::to_string(called.event_capacity()) + " events of " +
                       std::to_string(state_size) + " above the limit of " + std::to_string(MAX_CALLED_STATE_VALUES) +
                       " values";
            }
        }
        // The per-event and per-run buffers are sized by these counts; an event or a run spans at
        // least one sample.
        if (m_sample_limit > 0 && called.event_capacity() > m_sample_limit) {
            return "event capacity " + std::to_string(called.event_capacity()) + " above the read's " +
                   std::to_string(m_sample_limit) + " samples";
        }
        const auto* runlength = runlength_of(called);
        if (!m_options.disable_events && runlength != nullptr && m_sample_limit > 0 &&
            runlength->rle_count() > m_sample_limit) {
            return "run count " + std::to_string(runlength->rle_count()) + " above the read's " +
                   std::to_string(m_sample_limit) + " samples";
        }
        return {};
    }

    static TraceKind kind_of(const vexil_ipc::CalledBlockData& called) {
        switch (called.trace_type()) {
            case vexil_ipc::TraceData_FlipflopTraceData:
                return TraceKind::flipflop;
            case vexil_ipc::TraceData_RunlengthTraceData:
                return TraceKind::runlength;
            default:
                return TraceKind::none;
        }
    }

private:
    const CalledReadOptions& m_options;
    const ReadBuffers& m_buffers;
    const uint64_t m_sample_limit;
};

void write_read_level_keys_before_duration(const vexil_ipc::ReadBlockData& block, Metadata& metadata) {
    metadata.emplace("strand_id", text_of(block.strand_id()));
    if (block.duplex_strand_1() != nullptr) {
        metadata.insert("duplex_strand_1", block.duplex_strand_1()->str());
    }
    if (block.duplex_strand_2() != nullptr) {
        metadata.insert("duplex_strand_2", block.duplex_strand_2()->str());
    }
}

void write_basecall_keys(const vexil_ipc::CalledBlockData& called, uint64_t duration, uint64_t rle_count,
                         Metadata& metadata) {
    metadata.emplace("basecall_type", text_of(called.basecall_type()));
    metadata.emplace("model_version_id", text_of(called.model_version_id()));
    metadata.insert<float>("mean_qscore", called.mean_qscore());
    metadata.insert<float>("call_score", called.call_score());
    metadata.insert<float>("stay_prob", called.stay_prob());
    metadata.insert<float>("step_prob", called.step_prob());
    metadata.insert<float>("skip_prob", called.skip_prob());
    metadata.insert<uint64_t>("label_length", called.label_length());
    metadata.insert<uint64_t>("model_stride", called.model_stride());
    metadata.insert<uint64_t>("state_size", called.state_size());
    metadata.insert<float>("median", called.median());
    metadata.insert<float>("med_abs_dev", called.med_abs_dev());
    metadata.insert<uint64_t>("trimmed_samples", called.trimmed_samples());
    // More trimmed samples than the read holds wraps around, as the server's own arithmetic does.
    const uint64_t trimmed_duration = duration - called.trimmed_samples();
    metadata.insert<uint64_t>("trimmed_duration", trimmed_duration);
    // Without a stride there are no events to count.
    const uint64_t stride = called.model_stride();
    metadata.insert<uint64_t>("num_events", stride == 0 ? 0 : duration / stride);
    metadata.insert<uint64_t>("trimmed_events", stride == 0 ? 0 : trimmed_duration / stride);
    metadata.insert<uint64_t>("sequence_length", called.sequence_length());
    metadata.insert<uint64_t>("rle_count", rle_count);
}

void write_scaling_keys(const vexil_ipc::ScalingData& scaling, Metadata& metadata) {
    metadata.insert<float>("scaling_median", scaling.scaling_median());
    metadata.insert<float>("scaling_med_abs_dev", scaling.scaling_med_abs_dev());
    metadata.insert<float>("pt_median", scaling.pt_median());
    metadata.insert<float>("ptsd", scaling.ptsd());
    metadata.insert<float>("adapter_max", scaling.adapter_max());
    metadata.insert<bool>("pt_detect_success", scaling.pt_detect_success());
    if (scaling.scaling_version() != nullptr) {
        metadata.emplace("scaling_version", scaling.scaling_version()->str());
    }
}

// Sizes the whole-read buffers from the first block.
void prepare_buffers(const vexil_ipc::CalledBlockData& called, const CalledReadOptions& options, ReadBuffers& buffers) {
    buffers.sequence = text_of(called.sequence());
    buffers.qstring = text_of(called.qstring());
    buffers.trace_kind = BlockChecker::kind_of(called);
    buffers.event_capacity = called.event_capacity();
    buffers.state_size = called.state_size();
    buffers.sequence_length = called.sequence_length();

    if (!options.disable_events && buffers.event_capacity > 0) {
        if (const auto* flipflop = flipflop_of(called)) {
            if (flipflop->movement() != nullptr) {
                buffers.movement.assign(buffers.event_capacity, 0);
            }
            if (flipflop->flipflop_trace() != nullptr) {
                buffers.trace.assign(buffers.event_capacity * TRACE_VALUES_PER_EVENT, 0);
            }
        }
    }
    if (!options.disable_events && buffers.trace_kind == TraceKind::runlength) {
        if (const auto* runlength = runlength_of(called)) {
            buffers.run_capacity = runlength->rle_count();
            const auto runs = static_cast<std::size_t>(buffers.run_capacity);
            buffers.rle_base.assign(runs, 0);
            buffers.rle_scale.assign(runs, 0.0F);
            buffers.rle_shape.assign(runs, 0.0F);
            buffers.rle_weight.assign(runs, 0.0F);
            buffers.rle_index.assign(runs, 0);
            buffers.rle_runlength.assign(runs, 0);
        }
    }
    if (options.pull_state_data && called.state_data() != nullptr) {
        buffers.state_data.assign(buffers.event_capacity * buffers.state_size, 0.0F);
    }
    if (!options.disable_events && called.base_mod() != nullptr) {
        buffers.categories = length_of(called.base_mod()->base_mod_alphabet());
        buffers.base_mod_probs.reserve(
                std::min(buffers.sequence_length * buffers.categories, MAX_RESERVED_PROBABILITIES));
    }
}

// Copies one block's per-event data into the whole-read buffers at the current offsets, each copy
// bounded by the buffer's room and the data sent; advances the offsets by the block's counts.
void copy_block_data(const vexil_ipc::CalledBlockData& called, const CalledReadOptions& options, ReadBuffers& buffers) {
    const uint64_t events = called.event_count();
    uint64_t runs = 0;
    if (!options.disable_events) {
        if (buffers.trace_kind == TraceKind::flipflop) {
            if (const auto* flipflop = flipflop_of(called)) {
                buffers.note(
                        copy_bounded(buffers.movement, buffers.event_offset, flipflop->movement(), events, "movement"));
                buffers.note(copy_bounded(buffers.trace, buffers.event_offset * TRACE_VALUES_PER_EVENT,
                                          flipflop->flipflop_trace(), events * TRACE_VALUES_PER_EVENT,
                                          "flipflop_trace"));
            }
        } else if (buffers.trace_kind == TraceKind::runlength) {
            if (const auto* runlength = runlength_of(called)) {
                runs = length_of(runlength->rle_base());
                buffers.note(
                        copy_bounded(buffers.rle_base, buffers.run_offset, runlength->rle_base(), runs, "rle_base"));
                buffers.note(
                        copy_bounded(buffers.rle_scale, buffers.run_offset, runlength->rle_scale(), runs, "rle_scale"));
                buffers.note(
                        copy_bounded(buffers.rle_shape, buffers.run_offset, runlength->rle_shape(), runs, "rle_shape"));
                buffers.note(copy_bounded(buffers.rle_weight, buffers.run_offset, runlength->rle_weight(), runs,
                                          "rle_weight"));
                buffers.note(
                        copy_bounded(buffers.rle_index, buffers.run_offset, runlength->rle_index(), runs, "rle_index"));
                buffers.note(copy_bounded(buffers.rle_runlength, buffers.run_offset, runlength->rle_runlength(), runs,
                                          "rle_runlength"));
            }
        }
        if (called.base_mod() != nullptr && called.base_mod()->base_mod_probs() != nullptr) {
            const auto* probs = called.base_mod()->base_mod_probs();
            // Beyond the read's bases the probabilities are dropped when the read is joined.
            const uint64_t limit = buffers.sample_limit > 0 ? buffers.sample_limit * buffers.categories : probs->size();
            const uint64_t room = limit > buffers.base_mod_probs.size() ? limit - buffers.base_mod_probs.size() : 0;
            const auto n = static_cast<std::ptrdiff_t>(std::min<uint64_t>(probs->size(), room));
            buffers.base_mod_probs.insert(buffers.base_mod_probs.end(), probs->begin(), probs->begin() + n);
            if (static_cast<uint64_t>(n) < probs->size()) {
                buffers.note(std::to_string(probs->size()) + " modified-base probabilities " +
                             (buffers.categories == 0
                                      ? std::string("without a modification alphabet")
                                      : "beyond the read's " + std::to_string(buffers.sample_limit) + " samples"));
            }
        }
    }
    if (options.pull_state_data) {
        buffers.note(copy_bounded(buffers.state_data, buffers.event_offset * buffers.state_size, called.state_data(),
                                  events * buffers.state_size, "state_data"));
    }
    if (!options.disable_events) {
        buffers.event_offset += events;
        buffers.run_offset += runs;
    }
}

// Fits the joined qualities and probabilities to the joined sequence. Qualities of another length
// than the sequence are no qualities (the read's SAM line then has QUAL "*"); probabilities beyond
// one row per base are dropped, and missing rows are zeros, as in every other per-read buffer.
void fit_to_sequence(ReadBuffers& buffers) {
    const uint64_t bases = buffers.sequence.size();
    if (!buffers.qstring.empty() && buffers.qstring.size() != bases) {
        buffers.note_joined("sequence of " + std::to_string(bases) + " bases but " +
                            std::to_string(buffers.qstring.size()) + " quality values, taken as none");
        buffers.qstring.clear();
    }
    if (buffers.base_mod_probs.empty()) {
        return;
    }
    const uint64_t expected = bases * buffers.categories;
    if (buffers.base_mod_probs.size() != expected) {
        buffers.note_joined(std::to_string(buffers.base_mod_probs.size()) + " modified-base probabilities for " +
                            std::to_string(bases) + " bases of " + std::to_string(buffers.categories) + " categories");
        buffers.base_mod_probs.resize(static_cast<std::size_t>(expected), 0);
    }
}

// Moves the finished buffers into the holder; each replaces a view the caller passed under its id.
void attach_datasets(ReadBuffers& buffers, interfaces::ReadHolder& holder) {
    const uint64_t bases = buffers.sequence.size();
    holder.set_dataset(dataset::sequence, std::move(buffers.sequence));
    holder.set_dataset(dataset::qstring, std::move(buffers.qstring));
    if (!buffers.movement.empty()) {
        holder.set_dataset(dataset::movement, std::move(buffers.movement));
    }
    if (!buffers.base_mod_probs.empty()) {
        const auto mat = MatView<uint8_t>::view(buffers.base_mod_probs.data(), bases, buffers.categories,
                                                std::max<uint64_t>(buffers.categories, 1), 1);
        holder.set_dataset(dataset::base_mod_probs, mat, std::move(buffers.base_mod_probs));
    }
    if (!buffers.trace.empty()) {
        const auto mat = MatView<uint8_t>::view(buffers.trace.data(), buffers.trace.size() / TRACE_VALUES_PER_EVENT,
                                                TRACE_VALUES_PER_EVENT, TRACE_VALUES_PER_EVENT, 1);
        holder.set_dataset(dataset::flipflop_trace, mat, std::move(buffers.trace));
    }
    if (!buffers.rle_base.empty()) {
        holder.set_dataset(dataset::rle_base, std::move(buffers.rle_base));
        holder.set_dataset(dataset::rle_scale, std::move(buffers.rle_scale));
        holder.set_dataset(dataset::rle_shape, std::move(buffers.rle_shape));
        holder.set_dataset(dataset::rle_weight, std::move(buffers.rle_weight));
        holder.set_dataset(dataset::rle_index, std::move(buffers.rle_index));
        holder.set_dataset(dataset::rle_runlength, std::move(buffers.rle_runlength));
    }
    if (!buffers.state_data.empty()) {
        const auto mat = MatView<float>::view(buffers.state_data.data(), buffers.state_data.size() / buffers.state_size,
                                              buffers.state_size, std::max<uint64_t>(buffers.state_size, 1), 1);
        holder.set_dataset(dataset::state_data, mat, std::move(buffers.state_data));
    }
}

// The GET_NEXT_CALLED_BLOCK on its way while the block before it is copied. One still unanswered
// when decoding stops early is received and dropped, so that the link takes the next request.
class NextBlockRequest {
public:
    NextBlockRequest(CalledBlockLink& link, const CalledReadOptions& options, const vexil_ipc::ReadBlockData& block)
        : m_link(link), m_options(options), m_block(block) {}
    ~NextBlockRequest() {
        if (m_on_its_way) {
            try {
                ipc_tools::Message dropped;
                m_link.finish_request(dropped);
            } catch (...) {
                // The decoding has failed already, and that failure is the one reported.
            }
        }
    }
    NextBlockRequest(const NextBlockRequest&) = delete;
    NextBlockRequest& operator=(const NextBlockRequest&) = delete;

    bool start() {
        ipc_tools::Message request(ipc_tools::MessageType::GET_NEXT_CALLED_BLOCK, m_options.connection_id,
                                   m_block.read_tag(), text_of(m_block.strand_id()));
        m_on_its_way = m_link.start_request(request);
        return m_on_its_way;
    }
    bool finish(ipc_tools::Message& reply) {
        m_on_its_way = false;
        return m_link.finish_request(reply);
    }

private:
    CalledBlockLink& m_link;
    const CalledReadOptions& m_options;
    const vexil_ipc::ReadBlockData& m_block;
    bool m_on_its_way = false;
};

std::string inconsistent_block_text(uint64_t block_index, uint64_t read_tag, const std::string& problem) {
    return "Inconsistent called block " + std::to_string(block_index) + " for read " + std::to_string(read_tag) + ": " +
           problem;
}

ErrorState not_this_clients_read(uint64_t read_tag) {
    return {ConnectionError::bad_reply, "Returned read does not belong to this client: " + std::to_string(read_tag)};
}

// Why the first block contradicts itself or the read submitted; empty when it does not. Sizes the
// buffers as it goes.
std::string check_first_block(const vexil_ipc::ReadBlockData& block, const vexil_ipc::CalledBlockData& first,
                              const interfaces::ReadHolder& submitted, const CalledReadOptions& options,
                              ReadBuffers& buffers) {
    // A zero duration is reported on its own later.
    const uint64_t samples = submitted.has_dataset(dataset::raw_data)
                                     ? submitted.get_dataset(dataset::raw_data).m_info.size
                                     : block.duration();
    buffers.sample_limit = block.duration() == 0 ? 0 : std::max<uint64_t>(samples, 1);
    return BlockChecker(options, buffers).check(first, true);
}

// The holder the block's results are written into; null when the read is not the store's.
// A sub-read is built from what the caller passed with its parent, never from the parent's
// results, whichever of the two a batch lists first.
interfaces::ReadHolder* target_of(CalledReadStore& store, const vexil_ipc::ReadBlockData& block) {
    if (block.sub_tag() != 0) {
        interfaces::ReadHolder sub_read = store.make_sub_read(block.read_tag(), block.sub_tag());
        return store.add_temp_sub_read(sub_read);
    }
    return store.results_of(block.read_tag());
}

void write_read_level_keys_after_duration(const vexil_ipc::ReadBlockData& block, uint64_t duration,
                                          Metadata& metadata) {
    metadata.insert<uint64_t>("duration", duration);
    metadata.insert<uint64_t>("start_time", block.start_time());
    metadata.insert<uint64_t>("num_dravik_events", block.num_dravik_events());
}

// Sizes the buffers from the first block and writes its basecall, scaling and barcoding keys.
void write_first_block_keys(const vexil_ipc::CalledBlockData& first, const CalledReadOptions& options,
                            uint64_t duration, ReadBuffers& buffers, Metadata& metadata) {
    prepare_buffers(first, options, buffers);
    const uint64_t rle_count =
            buffers.trace_kind == TraceKind::runlength && !options.disable_events && runlength_of(first) != nullptr
                    ? runlength_of(first)->rle_count()
                    : 0;
    write_basecall_keys(first, duration, rle_count, metadata);
    if (first.scaling() != nullptr) {
        write_scaling_keys(*first.scaling(), metadata);
    }
    if (first.barcoding() != nullptr) {
        write_barcoding_results(*first.barcoding(), metadata);
    }
}

void copy_first_block(const vexil_ipc::CalledBlockData& first, const CalledReadOptions& options, ReadBuffers& buffers,
                      Metadata& metadata) {
    copy_block_data(first, options, buffers);
    if (options.disable_events) {
        return;
    }
    if (const auto* base_mod = first.base_mod()) {
        metadata.emplace("base_mod_alphabet", text_of(base_mod->base_mod_alphabet()));
        metadata.emplace("base_mod_long_names", text_of(base_mod->base_mod_long_names()));
        metadata.emplace("base_mod_context", text_of(base_mod->base_mod_context()));
    } else {
        metadata.insert("base_mod_alphabet", std::string());
        metadata.insert("base_mod_long_names", std::string());
    }
}

// Why a later block is not the one asked for, by the read tag and block index it carries; empty
// when it is, or when the server left both out.
std::string misplaced_block_text(const vexil_ipc::ReadBlockData* later, uint32_t read_tag, uint64_t block_index) {
    if (later == nullptr) {
        return {};
    }
    // A field at its default may be left out; one that is present is the server's word.
    const bool tag_sent = flatbuffers::IsFieldPresent(later, vexil_ipc::ReadBlockData::VT_READ_TAG);
    const bool index_sent = flatbuffers::IsFieldPresent(later, vexil_ipc::ReadBlockData::VT_BLOCK_INDEX);
    const uint64_t received_tag = tag_sent ? later->read_tag() : read_tag;
    const uint64_t received_index = index_sent ? later->block_index() : block_index;
    if (received_tag == read_tag && received_index == block_index) {
        return {};
    }
    return "Server returned block " + std::to_string(received_index) + " of read " + std::to_string(received_tag) +
           " when block " + std::to_string(block_index) + " of read " + std::to_string(read_tag) + " was expected";
}

// Appends a later block (a verified RETURN_NEXT_CALLED_BLOCK reply) to the buffers; why it
// contradicts them instead, or empty.
std::string append_later_block(const vexil_ipc::ReadBlockData* later, const CalledReadOptions& options,
                               ReadBuffers& buffers) {
    // The reply was verified when it was received; a block without its called block adds nothing.
    const vexil_ipc::CalledBlockData& called = called_block_of(later);
    std::string problem = BlockChecker(options, buffers).check(called, false);
    if (!problem.empty()) {
        return problem;
    }
    buffers.sequence += text_of(called.sequence());
    buffers.qstring += text_of(called.qstring());
    if (!options.disable_events) {
        copy_block_data(called, options, buffers);
    }
    return problem;
}

}  // namespace

CalledReadDecoder::CalledReadDecoder(CalledReadStore& store, CalledBlockLink& link, CalledReadOptions options,
                                     ErrorState& error_state, TraceContextPtr trace_context)
    : m_store(store),
      m_link(link),
      m_options(std::move(options)),
      m_error_state(error_state),
      m_trace_context(trace_context
                              ? std::move(trace_context)
                              : common::diagnostics::tracing::TraceDomain<CalledReadDecoder>::get_trace_context()) {}

interfaces::ReadHolder* CalledReadDecoder::fail(ErrorState error, TraceText trace_text) {
    m_error_state = std::move(error);
    if (m_trace_context && trace_text != TraceText::none) {
        m_trace_context->write_message("process_read_message", trace_text == TraceText::message
                                                                       ? m_error_state.message
                                                                       : to_string(m_error_state));
    }
    return nullptr;
}

interfaces::ReadHolder* CalledReadDecoder::process_read_message(const vexil_ipc::ReadBlockData* block) {
    m_bounded.clear();
    if (block == nullptr) {
        return fail({ConnectionError::invalid_response, "Returned read reply holds no read block."},
                    TraceText::error_state);
    }
    // Buffer sizes come from the server; one it cannot back must not end the worker.
    const auto cannot_allocate = [&] {
        return fail({ConnectionError::failed,
                     "Could not allocate the buffers of returned read: " + std::to_string(block->read_tag())},
                    TraceText::error_state);
    };
    try {
        return decode(*block);
    } catch (const std::bad_alloc&) {
        return cannot_allocate();
    } catch (const std::length_error&) {
        return cannot_allocate();
    }
}

interfaces::ReadHolder* CalledReadDecoder::decode(const vexil_ipc::ReadBlockData& block) {
    const uint64_t read_tag = block.read_tag();
    const interfaces::ReadHolder* submitted = m_store.get_submitted_read_holder(read_tag);
    if (submitted == nullptr) {
        return fail(not_this_clients_read(read_tag), TraceText::error_state);
    }
    const vexil_ipc::CalledBlockData& first = called_block_of(&block);
    ReadBuffers buffers;
    const std::string first_problem = check_first_block(block, first, *submitted, m_options, buffers);
    if (!first_problem.empty()) {
        return fail({ConnectionError::bad_reply, inconsistent_block_text(0, read_tag, first_problem)},
                    TraceText::error_state);
    }

    interfaces::ReadHolder* target = target_of(m_store, block);
    if (target == nullptr) {
        return fail(not_this_clients_read(read_tag), TraceText::error_state);
    }
    Metadata& metadata = target->metadata;

    write_read_level_keys_before_duration(block, metadata);
    const uint64_t duration = block.duration();
    if (duration == 0) {
        return fail(
                {ConnectionError::failed, "Duration metadata missing for submitted read: " + std::to_string(read_tag)},
                TraceText::error_state);
    }
    // Each later block is asked for before the one before it is copied: the copy overlaps the round trip.
    NextBlockRequest next_block(m_link, m_options, block);
    if (block.num_blocks() > 1 && !next_block.start()) {
        return fail(m_link.error_state(), TraceText::none);
    }
    write_read_level_keys_after_duration(block, duration, metadata);
    write_first_block_keys(first, m_options, duration, buffers, metadata);
    ErrorState alignment_error;
    if (!write_alignment_results(first.alignments(), *target, alignment_error)) {
        return fail(std::move(alignment_error), TraceText::none);
    }
    copy_first_block(first, m_options, buffers, metadata);

    for (uint64_t block_index = 1; block_index < block.num_blocks(); ++block_index) {
        ipc_tools::Message reply;
        if (!next_block.finish(reply)) {
            return fail(m_link.error_state(), TraceText::none);
        }
        if (reply.get_type() != ipc_tools::MessageType::RETURN_NEXT_CALLED_BLOCK) {
            return fail(
                    {ConnectionError::invalid_response, "Failed to get next block from server, invalid reply: " +
                                                                ipc_tools::message_type_as_string(reply.get_type())},
                    TraceText::message);
        }
        if (block_index + 1 < block.num_blocks() && !next_block.start()) {
            return fail(m_link.error_state(), TraceText::none);
        }
        const auto* later = reply.get_message_data()->content_as_ReadBlockData();
        // A block of another read, or another block of this one (a reply repeated or come late),
        // would join wrong bases to the read.
        const std::string misplaced = misplaced_block_text(later, block.read_tag(), block_index);
        if (!misplaced.empty()) {
            return fail({ConnectionError::bad_reply, misplaced}, TraceText::error_state);
        }
        buffers.block_index = block_index;
        const std::string problem = append_later_block(later, m_options, buffers);
        if (!problem.empty()) {
            return fail({ConnectionError::bad_reply, inconsistent_block_text(block_index, read_tag, problem)},
                        TraceText::error_state);
        }
    }

    fit_to_sequence(buffers);
    attach_datasets(buffers, *target);
    m_bounded = std::move(buffers.bounded);
    return target;
}

}  // namespace basecall_service
