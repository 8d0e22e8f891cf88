#include "reference_server/read_caller.h"

#include "common/active_object.h"

#include <algorithm>

namespace reference_server {

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
    if (settings.index) {
        read.alignments = settings.index->align(identity.read_id, read.called.sequence, read.called.qstring);
        if (settings.bed_file) {
            for (auto& hit : read.alignments) {
                settings.bed_file->annotate(hit);
            }
        }
    }
    if (!settings.barcode_kits.empty()) {
        read.barcoding = classify_barcode(read.called.sequence, settings.barcode_kits);
    }
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
        const auto threads = static_cast<unsigned int>(std::min<std::size_t>(num_threads, common::ActiveObject::MAX_NUM_THREADS));
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
        return item.complete(index, std::move(called));
    } catch (const std::exception& error) {
        return item.fail(index, error.what());
    }
}

}  // namespace reference_server
