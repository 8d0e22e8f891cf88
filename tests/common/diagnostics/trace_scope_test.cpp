#include "common/diagnostics/tracing/disabled_trace_context.h"
#include "common/diagnostics/tracing/trace_domain.h"
#include "common/diagnostics/tracing/trace_mode.h"
#include "common/diagnostics/tracing/trace_writer.h"

#include <gtest/gtest.h>

// GCC 12 reports std::regex internals as maybe-uninitialized under the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <stdexcept>

namespace basecall_service {
class ReadBuffer {
public:
    struct MetadataValidationTrace {};
};
}  // namespace basecall_service

namespace {

namespace tracing = common::diagnostics::tracing;
using tracing::details::TraceContext;

// Records every event as text, so the calls a scope makes can be compared.
class RecordingContext : public TraceContext {
public:
    explicit RecordingContext(bool active = true) : m_active(active) {}
    void write_entry(const std::string& name) override { events.push_back("entry " + name); }
    void write_exit(const std::string& name) override { events.push_back("exit " + name); }
    void write_exit(const std::string& name, std::chrono::nanoseconds elapsed) override {
        events.push_back("timed_exit " + name);
        last_elapsed = elapsed;
    }
    void write_message(const std::string& name, const std::string& text) override {
        events.push_back("message " + name + " " + text);
    }
    void write_message(const std::string& name, std::function<std::string()> text) override {
        events.push_back("lazy " + name + " " + text());
    }
    void write_message(const std::string& name, const std::string& text, std::chrono::nanoseconds elapsed) override {
        events.push_back("timed_message " + name + " " + text);
        last_elapsed = elapsed;
    }
    bool is_active() const override { return m_active; }

    std::vector<std::string> events;
    std::chrono::nanoseconds last_elapsed{-1};

private:
    bool m_active;
};

TEST(TraceMode, KeywordsAndValues) {
    EXPECT_EQ(static_cast<int>(tracing::TraceMode::custom), 6);
    EXPECT_EQ(tracing::trace_mode_from_keyword("trace_file"), tracing::TraceMode::trace_file);
    EXPECT_EQ(tracing::trace_mode_from_keyword("exclude"), tracing::TraceMode::exclude);
    EXPECT_FALSE(tracing::trace_mode_from_keyword("file").has_value());
    EXPECT_FALSE(tracing::trace_mode_from_keyword("Stdout").has_value());
    EXPECT_FALSE(tracing::trace_mode_from_keyword("none").has_value());
    EXPECT_EQ(tracing::to_string(tracing::TraceMode::win_dbg_out), "win_dbg_out");
    EXPECT_THROW(tracing::to_string(static_cast<tracing::TraceMode>(8)), std::runtime_error);
}

TEST(DisabledTraceContext, NeverCallsCallback) {
    tracing::details::DisabledTraceContext context;
    EXPECT_FALSE(context.is_active());
    bool called = false;
    context.write_message("f", [&] {
        called = true;
        return std::string("x");
    });
    EXPECT_FALSE(called);
}

TEST(ClassName, DemangledWithNamespacesAndKeywordsRemoved) {
    EXPECT_EQ(common::ClassName<basecall_service::ReadBuffer>::class_name(), "basecall_service::ReadBuffer");
    EXPECT_EQ(common::ClassName<basecall_service::ReadBuffer::MetadataValidationTrace>::class_name(),
              "basecall_service::ReadBuffer::MetadataValidationTrace");
    EXPECT_EQ(tracing::TraceDomain<basecall_service::ReadBuffer>::hftrace_domain_name(),
              "hftrace::basecall_service::ReadBuffer");

    std::string name = "class a::class class b struct c";
    common::ClassName<int>::remove_from_name(name, "class ");
    EXPECT_EQ(name, "a::b struct c");
    common::ClassName<int>::remove_from_name(name, "struct ");
    EXPECT_EQ(name, "a::b c");
    // Removal searches again from the start, so a token formed by an erasure goes too.
    std::string nested = "clclass ass x";
    common::ClassName<int>::remove_from_name(nested, "class ");
    EXPECT_EQ(nested, "x");
}

TEST(Trace, UntimedScopeWritesEntryMessagesAndPlainExit) {
    auto context = std::make_shared<RecordingContext>();
    {
        tracing::Trace trace(context, "queue_read", false);
        trace.message("hello");
        trace.message([] { return std::string("lazy text"); });
        trace.timed_message("not timed");
    }
    EXPECT_EQ(context->events,
              (std::vector<std::string>{"entry queue_read", "message queue_read hello", "lazy queue_read lazy text",
                                        "message queue_read not timed", "exit queue_read"}));
}

TEST(Trace, TimedScopeWritesElapsedTimes) {
    auto context = std::make_shared<RecordingContext>();
    {
        tracing::Trace trace(context, std::string("pull"), true);
        trace.timed_message("half way");
        EXPECT_GE(context->last_elapsed.count(), 0);
    }
    EXPECT_EQ(context->events,
              (std::vector<std::string>{"entry pull", "timed_message pull half way", "timed_exit pull"}));
    EXPECT_GE(context->last_elapsed.count(), 0);
}

TEST(Trace, MovedScopeWritesOneExit) {
    auto context = std::make_shared<RecordingContext>();
    {
        tracing::Trace first(context, "f", false);
        tracing::Trace second(std::move(first));
        first.message("ignored");
        second.message("kept");
    }
    EXPECT_EQ(context->events, (std::vector<std::string>{"entry f", "message f kept", "exit f"}));
}

TEST(Trace, InactiveContextNeverRunsCallbacks) {
    auto context = std::make_shared<RecordingContext>(false);
    bool called = false;
    {
        tracing::Trace trace(context, "f", true);
        trace.message([&] {
            called = true;
            return std::string();
        });
        trace.message(std::function<std::string()>([&] {
            called = true;
            return std::string();
        }));
    }
    EXPECT_FALSE(called);
    EXPECT_TRUE(context->events.empty());
}

TEST(TraceWriter, TimestampText) {
    using std::chrono::nanoseconds;
    EXPECT_EQ(tracing::details::create_timestamp(nanoseconds(999)), "0.000ms ");
    EXPECT_EQ(tracing::details::create_timestamp(nanoseconds(1000000)), "1.000ms ");
    EXPECT_EQ(tracing::details::create_timestamp(nanoseconds(1005000)), "1.005ms ");
    EXPECT_EQ(tracing::details::create_timestamp(nanoseconds(1234567)), "1.234ms ");
    EXPECT_EQ(tracing::details::create_timestamp(nanoseconds(81234567890)), "81234.567ms ");
}

TEST(TraceWriter, HeadLayout) {
    std::ostringstream stream;
    tracing::details::decorate_message_stream(stream, "[ENTER] ", "a::B::f");
    const std::regex layout(R"(^\d+\.\d{3}ms  thread:0x[0-9a-f]+ a::B::f \[ENTER\] $)");
    EXPECT_TRUE(std::regex_match(stream.str(), layout)) << stream.str();
    std::ostringstream expected_thread;
    expected_thread << "thread:" << reinterpret_cast<const void*>(pthread_self()) << " ";
    EXPECT_NE(stream.str().find(expected_thread.str()), std::string::npos);
}

}  // namespace
