#include "common/diagnostics/tracing/trace_writer.h"

#include "common/active_object.h"
#include "common/diagnostics/tracing/trace_flush.h"
#include "common/logger.h"

#include <pthread.h>

#include <cstdlib>
#include <iomanip>
#include <iostream>

namespace common {
namespace diagnostics {
namespace tracing {
namespace details {

namespace {

std::atomic<bool> g_writer_available{false};

const char* const BOOST_WRITER_FUNCTION =
        "auto (anonymous namespace)::ActiveTraceContext::(anonymous class)::operator()(const std::string &) const";

void write_to_stream(std::ostream& stream, const std::string& line) {
    stream << line << '\n';
    stream.flush();
}

}  // namespace

std::string create_timestamp(std::chrono::nanoseconds d) {
    const auto count = d.count();
    std::ostringstream text;
    text << count / 1000000 << '.' << std::setw(3) << std::setfill('0') << (count / 1000) % 1000 << "ms ";
    return text.str();
}

std::ostringstream& decorate_message_stream(std::ostringstream& stream, const std::string& tag,
                                            const std::string& function) {
    const auto now =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch());
    stream << create_timestamp(now) << ' ' << "thread:" << reinterpret_cast<const void*>(pthread_self()) << ' '
           << function << ' ' << tag;
    return stream;
}

ActiveTraceContext& ActiveTraceContext::instance() {
    static ActiveTraceContext s_instance;
    return s_instance;
}

bool ActiveTraceContext::available() {
    // In a forked child the worker is the parent's: lines are dropped rather than queued for ever.
    return g_writer_available.load(std::memory_order_acquire) && !instance().m_worker->inherited();
}

ActiveTraceContext::ActiveTraceContext()
    : m_custom_writer([](const std::string&) {}),
      m_stdout_writer([](const std::string& line) { write_to_stream(std::cout, line); }),
      m_stderr_writer([](const std::string& line) { write_to_stream(std::cerr, line); }),
      m_boost_writer([](const std::string& line) {
          ZEV_LOG_WITH_FUNCTION(common::logging::verbose, BOOST_WRITER_FUNCTION) << line;
      }),
      m_win_dbg_out_writer([](const std::string&) {}) {
    // Before the worker starts, so no job can race with it; set_file_tracing_info fills the folder only
    // while it is empty, which lets the environment win over a folder set in code.
    if (const char* folder = std::getenv(FOLDER_ENVIRONMENT_VARIABLE)) {
        m_trace_file_writer.set_folder_if_empty(folder);
    }
    m_worker = std::make_unique<common::ActiveObject>("tracing");
    g_writer_available.store(true, std::memory_order_release);
}

ActiveTraceContext::~ActiveTraceContext() {
    g_writer_available.store(false, std::memory_order_release);
    m_worker->join();
    m_worker.reset();
}

void ActiveTraceContext::post_message(TraceMode mode, std::string line) {
    m_worker->send([this, mode, line = std::move(line)] { write(mode, line); });
}

void ActiveTraceContext::set_custom_writer(Writer writer) {
    m_worker->send([this, writer = std::move(writer)]() mutable {
        // An empty callback would end the tracing thread at the next custom line: keep a no-op instead.
        m_custom_writer = writer ? std::move(writer) : Writer([](const std::string&) {});
    });
}

void ActiveTraceContext::set_file_tracing_info(std::string folder, std::string file_id) {
    m_worker->send([this, folder = std::move(folder), file_id = std::move(file_id)] {
        m_trace_file_writer.set_folder_if_empty(folder);
        m_trace_file_writer.set_file_id(file_id);
    });
}

void ActiveTraceContext::flush() { m_worker->flush(); }

void ActiveTraceContext::write(TraceMode mode, const std::string& line) {
    switch (mode) {
        case TraceMode::verbose_log:
            m_boost_writer(line);
            break;
        case TraceMode::trace_file:
            m_trace_file_writer.write(line);
            break;
        case TraceMode::stdout:
            m_stdout_writer(line);
            break;
        case TraceMode::stderr:
            m_stderr_writer(line);
            break;
        case TraceMode::win_dbg_out:
            m_win_dbg_out_writer(line);
            break;
        case TraceMode::custom:
            m_custom_writer(line);
            break;
        default:
            break;
    }
}

}  // namespace details

void flush() {
    auto& writer = details::ActiveTraceContext::instance();
    if (details::ActiveTraceContext::available()) {
        writer.flush();
    }
}

}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
