#include "interfaces/read_cloning.h"

#include "interfaces/read_coordinator.h"
#include "interfaces/read_holder.h"

#include <boost/uuid/name_generator_sha1.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <array>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace interfaces {

using bass::data_wrappers::DataView;
using bass::data_wrappers::MatView;
using bass::data_wrappers::Metadata;

namespace {

const char* const namespace_uuid_1 = "3f6a2c90-41d7-4e5b-8a1c-7d2e9b6f0a53";
const char* const namespace_uuid_2 = "9c1e7b24-06af-4d38-b5e2-1a8c4f7d3e60";

constexpr std::size_t FLIPFLOP_TRACE_COLUMNS = 8;
constexpr float MIN_MEAN_QSCORE = 1.0F;
constexpr float MAX_MEAN_QSCORE = 90.0F;

const DataView* find_dataset(const ReadHolder::DataSetMap& datasets, dataset id) {
    const auto found = datasets.find(id);
    return found == datasets.end() ? nullptr : &found->second;
}

uint64_t uint64_or_zero(const Metadata& metadata, const std::string& key) {
    const uint64_t* value = nullptr;
    return metadata.extract(key, value) ? *value : 0;
}

float float_or(const Metadata& metadata, const std::string& key, float fallback) {
    const float* value = nullptr;
    return metadata.extract(key, value) ? *value : fallback;
}

/// A dense row-major matrix over the elements of a view, `cols` elements per row.
template <typename T>
MatView<T> matrix_of(const DataView& view, std::size_t rows, std::size_t cols) {
    return MatView<T>::view(view.get_data<T>(), rows, cols, cols == 0 ? 1 : cols, 1);
}

/// Rows [first_row, first_row + num_rows) of `source`, copied into a view that owns them. The view
/// keeps the source view's own metadata.
template <typename T>
DataView owned_rows(const MatView<T>& source, std::size_t first_row, std::size_t num_rows,
                    const Metadata& view_metadata) {
    const std::size_t cols = source.cols();
    std::vector<T> storage(num_rows * cols);
    source.submatrix(first_row, 0, num_rows, cols, 1, 1)
            .copy_to(MatView<T>::view(storage.data(), num_rows, cols, cols == 0 ? 1 : cols, 1));
    DataView view(std::move(storage));
    view.m_info.rows = num_rows;
    view.m_info.cols = cols;
    view.m_metadata = view_metadata;
    return view;
}

DataView owned_entries(const DataView& source, std::size_t first, std::size_t count) {
    const uint8_t* entries = source.get_data<uint8_t>();
    std::vector<uint8_t> storage(count);
    for (std::size_t i = 0; i < count; ++i) {
        storage[i] = entries[first + i];
    }
    DataView view(std::move(storage));
    view.m_metadata = source.m_metadata;
    return view;
}

/// The model step at which base `position` is emitted: the smallest index whose running sum of the
/// move table exceeds the position. When no step does (the split lies at or past the last emitted
/// base) every step stays with the head.
uint64_t move_index_of(const DataView& movement, uint64_t position) {
    const uint8_t* moves = movement.get_data<uint8_t>();
    const uint64_t count = movement.m_info.size;
    uint64_t bases = 0;
    for (uint64_t i = 0; i < count; ++i) {
        bases += moves[i];
        if (bases > position) {
            return i;
        }
    }
    return count;
}

void check_rows_cover_moves(const char* name, uint64_t rows, uint64_t move_index) {
    if (move_index > rows) {
        throw std::runtime_error(std::string("Dataset ") + name + " has " + std::to_string(rows) +
                                 " rows, fewer than the " + std::to_string(move_index) +
                                 " move-table steps before the split.");
    }
}

}  // namespace

std::string generate_dervived_uuid(const std::string& name, std::size_t generator_index) {
    if (generator_index >= NUM_DERIVED_ID_GENERATORS) {
        throw std::out_of_range("Derived read id generator " + std::to_string(generator_index) + " does not exist.");
    }
    static const std::array<boost::uuids::name_generator_sha1, NUM_DERIVED_ID_GENERATORS> generators = {
            boost::uuids::name_generator_sha1(boost::uuids::string_generator()(namespace_uuid_1)),
            boost::uuids::name_generator_sha1(boost::uuids::string_generator()(namespace_uuid_2)),
    };
    static std::array<std::mutex, NUM_DERIVED_ID_GENERATORS> generator_mutexes;

    const std::lock_guard<std::mutex> lock(generator_mutexes[generator_index]);
    return boost::uuids::to_string(generators[generator_index](name));
}

namespace {

/// The steps shared by cloning and splitting: `derived` becomes a sub-read of `parent` in the
/// parent's coordinator (created on first use).
void attach_derived_read(ReadHolder& parent, ReadHolder& derived) {
    derived.event_recorder = parent.event_recorder ? parent.event_recorder->clone() : nullptr;
    derived.priority = parent.priority;
    derived.read_tag = parent.read_tag;
    if (!parent.coordinator) {
        parent.coordinator = std::make_shared<ReadCoordinator>(parent.read_tag);
    }
    derived.coordinator = parent.coordinator;
    derived.sub_tag = parent.coordinator->add_sub_tag();
    derived.shared_data = parent.shared_data;
}

}  // namespace

std::unique_ptr<ReadHolder> ReadHolder::clone() {
    // Read first: a read without a strand id must fail before anything changes.
    const std::string& parent_strand_id = metadata.get<read_data::strand_id>();

    auto copy = std::make_unique<ReadHolder>();
    for (const auto& entry : datasets) {
        DataView duplicate;
        duplicate.m_info = entry.second.m_info;
        duplicate.m_metadata = entry.second.m_metadata;
        duplicate.copy_data(entry.second);
        copy->datasets.emplace(entry.first, std::move(duplicate));
    }
    copy->metadata = metadata;
    copy->metadata.insert(read_data::strand_id::key, generate_dervived_uuid(parent_strand_id, 0));

    // The recorder is cloned before the coordinator is touched, so a failing clone leaves none behind.
    std::unique_ptr<common::diagnostics::timings::ReadEventRecorder> recorder =
            event_recorder ? event_recorder->clone() : nullptr;
    attach_derived_read(*this, *copy);
    copy->event_recorder = std::move(recorder);
    return copy;
}

namespace {

/// What a split builds before anything changes: the tail read, and this read's datasets once cut.
struct SplitPieces {
    std::unique_ptr<ReadHolder> tail = std::make_unique<ReadHolder>();
    ReadHolder::DataSetMap head_views;
    std::vector<std::pair<dataset, std::string>> head_texts;
};

/// The counts a split divides between head and tail, read and checked before anything changes.
struct SplitCounts {
    uint64_t length = 0;
    uint64_t stride = 0;
    std::string parent_strand_id;
    uint64_t start_time = 0;
    uint64_t tail_events = 0;
    uint64_t head_events = 0;
    uint64_t head_duration = 0;
    uint64_t tail_duration = 0;
};

void check_position_within(uint64_t p, uint64_t length) {
    if (p > length) {
        throw std::out_of_range("Split position " + std::to_string(p) + " lies beyond the sequence_length " +
                                std::to_string(length) + ".");
    }
}

void cut_texts(const ReadHolder& read, uint64_t p, SplitPieces& pieces) {
    for (const dataset id : {dataset::sequence, dataset::qstring}) {
        if (const DataView* view = find_dataset(read.datasets, id)) {
            const std::string& text = view->get_string();
            DataView tail_view(text.substr(p));
            tail_view.m_metadata = view->m_metadata;
            pieces.tail->datasets.emplace(id, std::move(tail_view));
            pieces.head_texts.emplace_back(id, text.substr(0, p));
        }
    }
}

void cut_base_mod_probs(const ReadHolder& read, uint64_t p, SplitPieces& pieces) {
    const DataView* view = find_dataset(read.datasets, dataset::base_mod_probs);
    if (view == nullptr) {
        return;
    }
    const uint64_t length = read.metadata.get<basecall_data::sequence_length>();
    const std::string& alphabet = read.metadata.get<basecall_data::base_mod_alphabet>();
    view->get_data<uint8_t>();
    const uint64_t cols = alphabet.size();
    const bool size_matches = cols == 0 ? view->m_info.size == 0
                                        : (length <= view->m_info.size / cols && length * cols == view->m_info.size);
    if (!size_matches) {
        throw std::runtime_error("Dataset base_mod_probs holds " + std::to_string(view->m_info.size) +
                                 " elements, not sequence_length x alphabet length = " + std::to_string(length) +
                                 " x " + std::to_string(cols) + ".");
    }
    check_position_within(p, length);
    const MatView<uint8_t> probs = matrix_of<uint8_t>(*view, length, cols);
    pieces.tail->datasets.emplace(dataset::base_mod_probs, owned_rows(probs, p, length - p, view->m_metadata));
    pieces.head_views.emplace(dataset::base_mod_probs, owned_rows(probs, 0, p, view->m_metadata));
}

/// Cuts the move table and answers the model step `m` at which the tail begins.
uint64_t cut_movement(const ReadHolder& read, uint64_t p, SplitPieces& pieces) {
    const DataView* movement = find_dataset(read.datasets, dataset::movement);
    if (movement == nullptr) {
        throw std::runtime_error("Cannot split a read without a movement dataset.");
    }
    const uint64_t m = move_index_of(*movement, p);
    pieces.tail->datasets.emplace(dataset::movement, owned_entries(*movement, m, movement->m_info.size - m));
    pieces.head_views.emplace(dataset::movement, owned_entries(*movement, 0, m));
    return m;
}

/// Cuts the datasets with one row per model step at step `m`.
void cut_step_rows(const ReadHolder& read, uint64_t m, SplitPieces& pieces) {
    if (const DataView* view = find_dataset(read.datasets, dataset::flipflop_trace)) {
        view->get_data<uint8_t>();
        const uint64_t rows = view->m_info.size / FLIPFLOP_TRACE_COLUMNS;
        check_rows_cover_moves("flipflop_trace", rows, m);
        const MatView<uint8_t> trace = matrix_of<uint8_t>(*view, rows, FLIPFLOP_TRACE_COLUMNS);
        pieces.tail->datasets.emplace(dataset::flipflop_trace, owned_rows(trace, m, rows - m, view->m_metadata));
        pieces.head_views.emplace(dataset::flipflop_trace, owned_rows(trace, 0, m, view->m_metadata));
    }

    if (const DataView* view = find_dataset(read.datasets, dataset::state_data)) {
        const uint64_t state_size = read.metadata.get<basecall_data::state_size>();
        view->get_data<float>();
        if (state_size == 0) {
            throw std::runtime_error("Cannot split state_data with a state_size of 0.");
        }
        const uint64_t rows = view->m_info.size / state_size;
        check_rows_cover_moves("state_data", rows, m);
        const MatView<float> states = matrix_of<float>(*view, rows, state_size);
        pieces.tail->datasets.emplace(dataset::state_data, owned_rows(states, m, rows - m, view->m_metadata));
        pieces.head_views.emplace(dataset::state_data, owned_rows(states, 0, m, view->m_metadata));
    }
}

SplitCounts split_counts(const Metadata& metadata, uint64_t p, uint64_t m) {
    SplitCounts counts;
    counts.length = metadata.get<basecall_data::sequence_length>();
    const uint64_t trimmed_events = metadata.get<basecall_data::trimmed_events>();
    const uint64_t num_events = metadata.get<basecall_data::num_events>();
    counts.stride = metadata.get<basecall_data::model_stride>();
    counts.parent_strand_id = metadata.get<read_data::strand_id>();
    const uint64_t duration = uint64_or_zero(metadata, read_data::duration::key);
    counts.start_time = uint64_or_zero(metadata, "start_time");
    check_position_within(p, counts.length);
    if (m > trimmed_events || trimmed_events - m > num_events) {
        throw std::runtime_error("Cannot split read with " + std::to_string(num_events) + " events, " +
                                 std::to_string(trimmed_events) + " after trimming, at move-table step " +
                                 std::to_string(m) + ".");
    }

    counts.tail_events = trimmed_events - m;
    counts.head_events = num_events - counts.tail_events;
    counts.head_duration = counts.head_events * counts.stride;
    // Without a (large enough) recorded duration the tail's share is empty rather than wrapped round.
    counts.tail_duration = duration > counts.head_duration ? duration - counts.head_duration : 0;
    return counts;
}

void write_tail_metadata(Metadata& tail_metadata, const SplitCounts& counts, uint64_t p) {
    tail_metadata.insert(read_data::strand_id::key, generate_dervived_uuid(counts.parent_strand_id, 1));
    tail_metadata.insert<uint64_t>(basecall_data::sequence_length::key, counts.length - p);
    tail_metadata.insert<uint64_t>(basecall_data::trimmed_events::key, counts.tail_events);
    tail_metadata.insert<uint64_t>(basecall_data::num_events::key, counts.tail_events);
    tail_metadata.insert<uint64_t>(read_data::duration::key, counts.tail_duration);
    tail_metadata.insert<uint64_t>("trimmed_duration", counts.tail_duration);
    tail_metadata.insert<uint64_t>("num_dravik_events", 0);
    tail_metadata.insert<uint64_t>("start_time", counts.start_time + counts.head_duration);
    tail_metadata.insert<uint64_t>(read_data::trimmed_samples::key, 0);
}

/// Moves the cut datasets into the head read, replacing the uncut ones. Nothing here fails.
void install_head_datasets(ReadHolder::DataSetMap& datasets, SplitPieces& pieces) {
    for (auto& text : pieces.head_texts) {
        datasets.at(text.first).set_string(std::move(text.second));
    }
    while (!pieces.head_views.empty()) {
        auto node = pieces.head_views.extract(pieces.head_views.begin());
        datasets.erase(node.key());
        datasets.insert(std::move(node));
    }
}

void write_head_metadata(Metadata& metadata, const SplitCounts& counts, const std::string& head_strand_id, uint64_t p,
                         uint64_t m) {
    metadata.insert(read_data::strand_id::key, head_strand_id);
    metadata.insert<uint64_t>(basecall_data::sequence_length::key, p);
    metadata.insert<uint64_t>(basecall_data::trimmed_events::key, m);
    metadata.insert<uint64_t>(basecall_data::num_events::key, counts.head_events);
    metadata.insert<uint64_t>(read_data::duration::key, counts.head_duration);
    metadata.insert<uint64_t>("trimmed_duration", counts.stride * m);
    metadata.insert<uint64_t>("num_dravik_events", 0);
}

}  // namespace

std::unique_ptr<ReadHolder> ReadHolder::split_at(uint64_t position) {
    const uint64_t p = position;

    // Everything that can fail is checked and built first, in the order the datasets are cut; only
    // then do this read and its coordinator change. A failed split therefore loses no bases and
    // leaves no sub tag counted that would never be completed.
    SplitPieces pieces;
    cut_texts(*this, p, pieces);
    cut_base_mod_probs(*this, p, pieces);
    const uint64_t m = cut_movement(*this, p, pieces);
    cut_step_rows(*this, m, pieces);
    const SplitCounts counts = split_counts(metadata, p, m);

    std::unique_ptr<ReadHolder>& tail = pieces.tail;
    tail->metadata = metadata;
    write_tail_metadata(tail->metadata, counts, p);
    const std::string head_strand_id = generate_dervived_uuid(counts.parent_strand_id, 0);
    std::unique_ptr<common::diagnostics::timings::ReadEventRecorder> recorder =
            event_recorder ? event_recorder->clone() : nullptr;

    // Commit.
    attach_derived_read(*this, *tail);
    tail->event_recorder = std::move(recorder);
    install_head_datasets(datasets, pieces);
    write_head_metadata(metadata, counts, head_strand_id, p, m);

    recalculate_mean_qscore();
    tail->recalculate_mean_qscore();
    return std::move(tail);
}

void ReadHolder::recalculate_mean_qscore() {
    const DataView* qstring = find_dataset(datasets, dataset::qstring);
    if (qstring == nullptr) {
        return;
    }
    const float shift = float_or(metadata, "qscore_shift", 0.0F);
    const float scale = float_or(metadata, "qscore_scale", 1.0F);
    const std::string& text = qstring->get_string();

    float mean_qscore = MIN_MEAN_QSCORE;  // an empty qstring has no quality to speak of
    if (!text.empty()) {
        float total_error = 0.0F;
        for (const char c : text) {
            const float phred = static_cast<float>(static_cast<int>(static_cast<unsigned char>(c)) - 33);
            total_error += std::pow(10.0F, (phred - shift) / scale / -10.0F);
        }
        const float mean_error = total_error / static_cast<float>(text.size());
        mean_qscore = shift + scale * (-10.0F * std::log10(mean_error));
    }
    // The negated comparisons also send NaN to the lower bound.
    if (!(mean_qscore > MIN_MEAN_QSCORE)) {
        mean_qscore = MIN_MEAN_QSCORE;
    }
    if (!(mean_qscore < MAX_MEAN_QSCORE)) {
        mean_qscore = MAX_MEAN_QSCORE;
    }
    metadata.insert(basecall_data::mean_qscore::key, mean_qscore);
}

}  // namespace interfaces
