#pragma once

#include "common/diagnostics/tracing/trace_flush.h"

#include <mutex>
#include <string>
#include <vector>

namespace test_support {

/// Trace lines collected by a custom trace writer, for the whole test program.
struct TraceLines {
    std::mutex mutex;
    std::vector<std::string> lines;

    static TraceLines& instance() {
        static TraceLines collected;
        return collected;
    }
    /// Every line written so far, after the tracing worker has written what was queued.
    std::vector<std::string> flushed() {
        common::diagnostics::tracing::flush();
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }
    void clear() {
        common::diagnostics::tracing::flush();
        std::lock_guard<std::mutex> lock(mutex);
        lines.clear();
    }
};

}  // namespace test_support
