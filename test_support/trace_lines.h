#pragma once

#include "common/diagnostics/tracing/testability.h"
#include "common/diagnostics/tracing/trace_flush.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
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

/// Collects the trace lines of some domains into TraceLines for the whole test program; registered
/// with ::testing::AddGlobalTestEnvironment. The domains (a comma-separated list) are asked for at
/// set-up, once the library's own initialisers have run.
class TraceCollectingEnvironment : public ::testing::Environment {
public:
    explicit TraceCollectingEnvironment(std::function<std::string()> domains) : m_domains(std::move(domains)) {}

    void SetUp() override {
        common::diagnostics::tracing::testability::set_custom_trace_writer([](const std::string& line) {
            auto& collected = TraceLines::instance();
            std::lock_guard<std::mutex> lock(collected.mutex);
            collected.lines.push_back(line);
        });
        common::diagnostics::tracing::testability::set_enabled_trace_domains(m_domains());
    }
    // The collected lines die with the process; nothing may write to them by then.
    void TearDown() override {
        common::diagnostics::tracing::flush();
        common::diagnostics::tracing::testability::set_custom_trace_writer([](const std::string&) {});
        common::diagnostics::tracing::flush();
    }

private:
    std::function<std::string()> m_domains;
};

}  // namespace test_support
