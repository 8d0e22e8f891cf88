#include "reference_server/read_caller.h"

#include "common/active_object.h"

#include <algorithm>

namespace reference_server {

namespace {

void align_and_classify(CalledRead& read, const CallSettings& settings) {
    if (settings.index) {
        read.alignments = settings.index->align(read.identity.read_id, read.called.sequence, read.called.qstring);
        if (settings.bed_file) {
            for (auto& hit : read.alignments) {
                settings.bed_file->annotate(hit);
            }
        }
    }
    if (!settings.barcode_kits.empty()) {
        read.barcoding = classify_barcode(read.called.sequence, settings.barcode_kits);
    }
}

template <typename T>
std::vector<T> events_of(const std::vector<T>& values, std::size_t per_event, std::size_t first, std::size_t end) {
    if (values.empty()) {
        return {};
    }
    return std::vector<T>(values.begin() + static_cast<std::ptrdiff_t>(first * per_event),
                          values.begin() + static_cast<std::ptrdiff_t>(end * per_event));
}

}  // namespace

std::vector<CalledRead> split_read(const CalledRead& parent, std::uint32_t parts, const CallSettings& settings) {
    const CalledSequence& whole = parent.called;
    const std::size_t events = whole.sequence.size();
    std::vector<CalledRead> subs;
    if (parts == 0 || events < parts) {
        return subs;
    }
    subs.reserve(parts);
    for (std::uint32_t i = 1; i <= parts; ++i) {
        const std::size_t first = events * (i - 1) / parts;
        const std::size_t end = events * i / parts;
        CalledRead sub;
        sub.identity = parent.identity;
        sub.identity.sub_tag = i;
        sub.identity.duration = static_cast<std::uint32_t>((end - first) * parent.model_stride) +
                                (i == parts ? whole.trimmed_samples : 0U);
        sub.identity.start_time = parent.identity.start_time + first * parent.model_stride;
        sub.model_stride = parent.model_stride;
        sub.model_version_id = parent.model_version_id;
        CalledSequence& called = sub.called;
        called.sequence = whole.sequence.substr(first, end - first);
        called.qstring = whole.qstring.substr(first, end - first);
        called.moves = events_of(whole.moves, 1, first, end);
        called.trace = events_of(whole.trace, SignalModel::trace_width, first, end);
        called.state_data = events_of(whole.state_data, SignalModel::state_size, first, end);
        called.event_means = events_of(whole.event_means, 1, first, end);
        called.trimmed_samples = i == parts ? whole.trimmed_samples : 0U;
        long long qscore_sum = 0;
        for (const char quality : called.qstring) {
            qscore_sum += quality - 33;
        }
        called.mean_qscore = static_cast<float>(static_cast<double>(qscore_sum) / static_cast<double>(end - first));
        called.median_current = whole.median_current;
        called.med_abs_dev = whole.med_abs_dev;
        align_and_classify(sub, settings);
        subs.push_back(std::move(sub));
    }
    return subs;
}

CalledRead call_for_client(const CallSettings& settings, const ReadIdentity& identity, const std::int16_t* raw,
                           std::size_t count) {
    CalledRead read;
    read.identity = identity;
    read.model_stride = settings.model_stride;
    read.model_version_id = settings.model_version_id;
    CallOptions options;
    options.with_moves_and_trace = settings.with_moves_and_trace;
    // State data is made from the event means when a client asks for it with its pull.
    read.called = settings.use_signal_model
                          ? call_read(raw, count, identity.daq_offset, identity.daq_scaling, read.model_stride, options)
                          : call_read_without_model(count, read.model_stride, options);
    align_and_classify(read, settings);
    read.sub_reads = split_read(read, settings.split_reads, settings);
    return read;
}

CallItem::CallItem(bool is_batch, std::size_t num_reads)
    : m_is_batch(is_batch), m_reads(num_reads), m_remaining(num_reads) {}

bool CallItem::complete(std::size_t index, CalledRead read) {
    m_reads[index] = std::move(read);
    return finish_one();
}

bool CallItem::fail(std::size_t index, const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(m_failure_mutex);
        if (m_failure.empty()) {
            m_failure = "Cannot basecall read " + std::to_string(m_reads[index].identity.read_tag) + ": " + why;
        }
    }
    return finish_one();
}

bool CallItem::finish_one() {
    // Sequentially consistent, as the server's check for held pulls that follows it.
    return m_remaining.fetch_sub(1) == 1;
}

ReadCaller::ReadCaller(std::size_t num_threads, std::function<void()> on_ready) : m_on_ready(std::move(on_ready)) {
    if (num_threads > 0) {
        const auto threads =
                static_cast<unsigned int>(std::min<std::size_t>(num_threads, common::ActiveObject::MAX_NUM_THREADS));
        // call_into catches everything a call throws; anything else is a fault of the pool itself.
        m_workers = std::make_unique<common::ActiveObject>("read_caller", threads, [](const std::exception&) {});
    }
}

ReadCaller::~ReadCaller() {
    m_stopping = true;
    m_workers.reset();
}

std::shared_ptr<CallItem> ReadCaller::submit(bool is_batch, std::shared_ptr<const CallSettings> settings,
                                             std::vector<ReadSamples> reads) {
    auto item = std::make_shared<CallItem>(is_batch, reads.size());
    for (std::size_t i = 0; i < reads.size(); ++i) {
        // The identity goes in first so that a failure can name the read.
        item->reads()[i].identity = reads[i].identity;
    }
    if (!m_workers) {
        m_deferred.push_back(DeferredCall{item, std::move(settings), std::move(reads)});
        return item;
    }
    for (std::size_t i = 0; i < reads.size(); ++i) {
        m_workers->send([this, item, settings, read = std::move(reads[i]), i] {
            if (m_stopping.load(std::memory_order_relaxed)) {
                return;
            }
            if (call_into(*item, i, *settings, read) && m_on_ready) {
                m_on_ready();
            }
        });
    }
    return item;
}

void ReadCaller::run_deferred() {
    std::vector<DeferredCall> calls;
    calls.swap(m_deferred);
    for (const auto& call : calls) {
        for (std::size_t i = 0; i < call.reads.size(); ++i) {
            call_into(*call.item, i, *call.settings, call.reads[i]);
        }
    }
}

bool ReadCaller::call_into(CallItem& item, std::size_t index, const CallSettings& settings, const ReadSamples& read) {
    try {
        CalledRead called = call_for_client(settings, read.identity, read.raw, read.count);
        called.num_blocks = read.num_blocks;
        for (auto& sub : called.sub_reads) {
            // A long read's parts travel in as many blocks as it does, none of them empty.
            sub.num_blocks =
                    static_cast<std::uint32_t>(std::clamp<std::size_t>(sub.called.sequence.size(), 1, read.num_blocks));
        }
        return item.complete(index, std::move(called));
    } catch (const std::exception& error) {
        return item.fail(index, error.what());
    }
}

}  // namespace reference_server
