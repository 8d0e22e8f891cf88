#include "common/diagnostics/tracing/trace_writer.h"

#include "common/active_object.h"
#include "common/diagnostics/tracing/trace_flush.h"
#include "common/diagnostics/tracing/trace_file_writer.h"
#include "common/logger.h"
#include "common/process_origin.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <future>
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

// What the program wrote through the stream goes first; the line itself goes straight to the
// descriptor, so that a write that blocks (a pipe nobody reads) holds no lock of the C stream and
// the standard streams' flush at exit is not held up behind it.
void write_to_descriptor(std::ostream& stream, int descriptor, const std::string& line) {
    stream.flush();
    std::string whole_line;
    whole_line.reserve(line.size() + 1);
    whole_line.append(line).push_back('\n');
    const char* data = whole_line.data();
    std::size_t left = whole_line.size();
    while (left > 0) {
        const ssize_t written = ::write(descriptor, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // a closed or failing stream: the line is dropped
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace

// Everything the worker's jobs use, besides the queue's own bookkeeping.
struct ActiveTraceContext::Writers {
    TraceFileWriter trace_file_writer;
    Writer custom_writer{[](const std::string&) {}};
    Writer stdout_writer{[](const std::string& line) { write_to_descriptor(std::cout, STDOUT_FILENO, line); }};
    Writer stderr_writer{[](const std::string& line) { write_to_descriptor(std::cerr, STDERR_FILENO, line); }};
    Writer boost_writer{[](const std::string& line) {
        ZEV_LOG_WITH_FUNCTION(common::logging::verbose, BOOST_WRITER_FUNCTION) << line;
    }};
    Writer win_dbg_out_writer{[](const std::string&) {}};

    std::atomic<std::size_t> queued_bytes{0};
    std::atomic<std::uint64_t> dropped_lines{0};
    // Steady-clock time (in its ticks) before which no other warning about dropped lines is written.
    std::atomic<std::chrono::steady_clock::rep> next_drop_warning{0};

    void write(TraceMode mode, const std::string& line);
    void report_dropped_lines();
};

void ActiveTraceContext::Writers::write(TraceMode mode, const std::string& line) {
    switch (mode) {
        case TraceMode::verbose_log:
            boost_writer(line);
            break;
        case TraceMode::trace_file:
            trace_file_writer.write(line);
            break;
        case TraceMode::stdout:
            stdout_writer(line);
            break;
        case TraceMode::stderr:
            stderr_writer(line);
            break;
        case TraceMode::win_dbg_out:
            win_dbg_out_writer(line);
            break;
        case TraceMode::custom:
            custom_writer(line);
            break;
        default:
            break;
    }
}

void ActiveTraceContext::Writers::report_dropped_lines() {
    if (dropped_lines.load(std::memory_order_relaxed) == 0) {
        return;
    }
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    auto due = next_drop_warning.load(std::memory_order_relaxed);
    if (now < due) {
        return;
    }
    const auto next =
            now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(DROP_WARNING_INTERVAL).count();
    if (!next_drop_warning.compare_exchange_strong(due, next, std::memory_order_relaxed)) {
        return;  // another thread is writing the warning
    }
    const auto count = dropped_lines.exchange(0, std::memory_order_relaxed);
    ZEV_LOG(common::logging::warning) << count << " trace line" << (count == 1 ? "" : "s")
                                      << " dropped: the trace writer fell " << MAX_QUEUED_BYTES / (1024 * 1024)
                                      << " MiB behind, its output blocked or slower than the tracing (a "
                                         "standard stream nobody reads, a slow disk); this warning comes at "
                                         "most once a minute";
}

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

ActiveTraceContext::ActiveTraceContext() : m_writers(std::make_unique<Writers>()) {
    // Before the worker starts, so no job can race with it; set_file_tracing_info fills the folder only
    // while it is empty, which lets the environment win over a folder set in code.
    if (const char* folder = std::getenv(FOLDER_ENVIRONMENT_VARIABLE)) {
        m_writers->trace_file_writer.set_folder_if_empty(folder);
    }
    m_worker = std::make_unique<common::ActiveObject>("tracing");
    g_writer_available.store(true, std::memory_order_release);
}

ActiveTraceContext::~ActiveTraceContext() {
    g_writer_available.store(false, std::memory_order_release);
    if (!m_worker->inherited()) {
        auto drained = std::make_shared<std::promise<void>>();
        auto done = drained->get_future();
        m_worker->send([drained] { drained->set_value(); });
        if (done.wait_for(EXIT_DRAIN_TIME) != std::future_status::ready) {
            // The worker is stuck in a write that does not return (or far behind): the process
            // exits without it, and what it may still use is never released.
            common::let_go(std::move(m_worker));
            common::let_go(std::move(m_writers));
            return;
        }
    }
    m_worker->join();
    m_worker.reset();
}

void ActiveTraceContext::post_message(TraceMode mode, std::string line) {
    Writers* const writers = m_writers.get();
    const std::size_t cost = line.size() + QUEUED_LINE_OVERHEAD;
    if (writers->queued_bytes.fetch_add(cost, std::memory_order_relaxed) + cost > MAX_QUEUED_BYTES) {
        writers->queued_bytes.fetch_sub(cost, std::memory_order_relaxed);
        writers->dropped_lines.fetch_add(1, std::memory_order_relaxed);
        // Lines for standard error or the verbose log would have the warning wait behind the very
        // output that is blocked: the worker reports those once it writes again.
        if (mode != TraceMode::stderr && mode != TraceMode::verbose_log) {
            writers->report_dropped_lines();
        }
        return;
    }
    m_worker->send([writers, mode, cost, line = std::move(line)] {
        writers->write(mode, line);
        writers->queued_bytes.fetch_sub(cost, std::memory_order_relaxed);
        writers->report_dropped_lines();
    });
}

void ActiveTraceContext::set_custom_writer(Writer writer) {
    if (m_worker->inherited()) {
        return;  // a forked child's copy: the worker, and the lines it would write, are the parent's
    }
    Writers* const writers = m_writers.get();
    m_worker->send([writers, writer = std::move(writer)]() mutable {
        // An empty callback would end the tracing thread at the next custom line: keep a no-op instead.
        writers->custom_writer = writer ? std::move(writer) : Writer([](const std::string&) {});
    });
}

void ActiveTraceContext::set_file_tracing_info(std::string folder, std::string file_id) {
    if (m_worker->inherited()) {
        return;  // a forked child's copy: a parent's thread may have held its queue at the fork
    }
    Writers* const writers = m_writers.get();
    m_worker->send([writers, folder = std::move(folder), file_id = std::move(file_id)] {
        writers->trace_file_writer.set_folder_if_empty(folder);
        writers->trace_file_writer.set_file_id(file_id);
    });
}

void ActiveTraceContext::flush() { m_worker->flush(); }

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
