#include "common/diagnostics/tracing/trace_writer.h"

#include "common/active_object.h"
#include "common/diagnostics/tracing/trace_flush.h"
#include "common/diagnostics/tracing/trace_file_writer.h"
#include "common/diagnostics/tracing/trace_line_queue.h"
#include "common/logger.h"
#include "common/process_origin.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#if defined(__GLIBCXX__)
#include <ext/stdio_filebuf.h>
#include <ext/stdio_sync_filebuf.h>
#endif

#include <algorithm>
#include <climits>
#include <cstdio>
#include <thread>

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

// Lines of one write to a standard stream: at most what a pipe takes whole, so that the lines of
// processes sharing it do not interleave.
constexpr std::size_t STREAM_CHUNK_BYTES = PIPE_BUF;
// Lines of one write to a trace file, which takes a write whole whatever its size.
constexpr std::size_t FILE_CHUNK_BYTES = 64 * 1024;
// Of the exit's time, what is kept for a write under way to end.
constexpr std::chrono::milliseconds EXIT_WRITE_GRACE{100};

// Whether `buffer` is the one the C++ library gave the standard stream onto `file`: its lines then go
// straight to the descriptor, so that a write that blocks (a pipe nobody reads) holds no lock of the
// C stream and the standard streams' flush at exit is not held up behind it. A buffer of the
// program's own (a test capturing the output, a console window) is written through the stream.
bool is_library_buffer(std::streambuf* buffer, FILE* file, int descriptor) {
#if defined(__GLIBCXX__)
    if (auto* synced = dynamic_cast<__gnu_cxx::stdio_sync_filebuf<char>*>(buffer)) {
        return synced->file() == file;
    }
    if (auto* unsynced = dynamic_cast<__gnu_cxx::stdio_filebuf<char>*>(buffer)) {
        return unsynced->fd() == descriptor;  // after sync_with_stdio(false)
    }
#else
    static_cast<void>(buffer);
    static_cast<void>(file);
    static_cast<void>(descriptor);
#endif
    return false;
}

// False when the stream is closed or failing: the text is dropped.
bool write_to_descriptor(int descriptor, const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(descriptor, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

// Writes whole lines to a standard stream, as the program has set the stream up.
class StandardStreamWriter {
public:
    StandardStreamWriter(std::ostream& stream, FILE* file, int descriptor)
        : m_stream(stream), m_file(file), m_descriptor(descriptor) {}

    void write(const std::string& text) const {
        if (!is_library_buffer(m_stream.rdbuf(), m_file, m_descriptor)) {
            m_stream.write(text.data(), static_cast<std::streamsize>(text.size()));
            m_stream.flush();
            return;
        }
        m_stream.flush();  // what the program wrote through the stream goes first
        write_to_descriptor(m_descriptor, text);
    }

private:
    std::ostream& m_stream;
    FILE* const m_file;
    const int m_descriptor;
};

std::string lines_text(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " trace line" : " trace lines");
}

// Whether a warning can be logged now without being held: the library's records go to standard
// error, and a record stuck in its sink would hold every later record and the exit. A pipe with room
// for a page takes a warning whole at once.
bool standard_error_takes_a_warning() {
    pollfd descriptor{STDERR_FILENO, POLLOUT, 0};
    return ::poll(&descriptor, 1, 0) == 1 && (descriptor.revents & POLLOUT) != 0;
}

}  // namespace

// Everything the worker's jobs use.
struct ActiveTraceContext::Writers {
    TraceLineQueue queue{MAX_QUEUED_BYTES, STUCK_AFTER};
    TraceFileWriter trace_file_writer;
    Writer custom_writer{[](const std::string&) {}};
    StandardStreamWriter stdout_writer{std::cout, stdout, STDOUT_FILENO};
    StandardStreamWriter stderr_writer{std::cerr, stderr, STDERR_FILENO};
    Writer boost_writer{[](const std::string& line) {
        ZEV_LOG_WITH_FUNCTION(common::logging::verbose, BOOST_WRITER_FUNCTION) << line;
    }};
    Writer win_dbg_out_writer{[](const std::string&) {}};

    // The worker's thread while it writes: a line it traces itself cannot wait for room.
    std::atomic<std::thread::id> writer_thread{};
    // Steady-clock time (in its ticks) before which no other warning about dropped lines is written.
    std::atomic<std::chrono::steady_clock::rep> next_drop_warning{0};

    // On the worker: writes what is queued until the queue is empty.
    void drain();
    void report_dropped_lines();

private:
    using Items = std::vector<TraceLineQueue::Item>;
    // Writes the lines of items [first, last), all of one mode; false once the queue is abandoned.
    bool write_lines(Items::const_iterator first, Items::const_iterator last);
    bool write_one_by_one(const Writer& writer, Items::const_iterator first, Items::const_iterator last);

    Items m_taken;
    std::vector<const std::string*> m_chunk;
    std::string m_text;
};

void ActiveTraceContext::Writers::drain() {
    writer_thread.store(std::this_thread::get_id(), std::memory_order_relaxed);
    while (queue.take_all(m_taken)) {
        auto item = m_taken.cbegin();
        bool writing = true;
        while (writing && item != m_taken.cend()) {
            if (item->job) {
                item->job();
                ++item;
                continue;
            }
            const auto run_end = std::find_if(item, m_taken.cend(), [&](const TraceLineQueue::Item& next) {
                return next.job || next.mode != item->mode;
            });
            writing = write_lines(item, run_end);
            item = run_end;
        }
        m_taken.clear();
        if (!writing) {
            return;  // abandoned at exit: nothing more is written
        }
        report_dropped_lines();
    }
}

bool ActiveTraceContext::Writers::write_lines(Items::const_iterator first, Items::const_iterator last) {
    const TraceMode mode = first->mode;
    if (mode == TraceMode::verbose_log) {
        return write_one_by_one(boost_writer, first, last);
    }
    if (mode == TraceMode::custom) {
        return write_one_by_one(custom_writer, first, last);
    }
    const std::size_t chunk_bytes = mode == TraceMode::trace_file ? FILE_CHUNK_BYTES : STREAM_CHUNK_BYTES;
    while (first != last) {
        // Whole lines up to the chunk's size; a longer line goes alone.
        m_chunk.clear();
        m_text.clear();
        std::size_t cost = 0;
        for (; first != last && (m_chunk.empty() || m_text.size() + first->line.size() + 1 <= chunk_bytes); ++first) {
            m_chunk.push_back(&first->line);
            m_text.append(first->line).push_back('\n');
            cost += TraceLineQueue::cost_of(first->line);
        }
        if (!queue.begin_write()) {
            return false;
        }
        switch (mode) {
            case TraceMode::trace_file:
                trace_file_writer.write_lines(m_chunk);
                break;
            case TraceMode::stdout:
                stdout_writer.write(m_text);
                break;
            case TraceMode::stderr:
                stderr_writer.write(m_text);
                break;
            default:
                break;  // win_dbg_out and any other: dropped by design
        }
        queue.end_write(m_chunk.size(), cost);
    }
    return true;
}

bool ActiveTraceContext::Writers::write_one_by_one(const Writer& writer, Items::const_iterator first,
                                                   Items::const_iterator last) {
    for (; first != last; ++first) {
        if (!queue.begin_write()) {
            return false;
        }
        writer(first->line);
        queue.end_write(1, TraceLineQueue::cost_of(first->line));
    }
    return true;
}

void ActiveTraceContext::Writers::report_dropped_lines() {
    if (!queue.has_dropped() || !standard_error_takes_a_warning()) {
        return;  // counted on, for a later warning
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
    const auto count = queue.take_dropped();
    ZEV_LOG(common::logging::warning) << lines_text(count)
                                      << " dropped: the trace writer has written nothing for a second or more, its "
                                         "output blocked (a standard stream nobody reads, a disk that does not "
                                         "answer); this warning comes at most once a minute, and once more at exit "
                                         "for the lines dropped after it";
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

bool ActiveTraceContext::inherited_by_fork() {
    return g_writer_available.load(std::memory_order_acquire) && instance().m_worker->inherited();
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
    if (m_worker->inherited()) {
        // The queue's lock and condition may be held or waited on by the parent's threads.
        common::let_go(std::move(m_writers));
        m_worker->join();
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + EXIT_DRAIN_TIME;
    auto drained = std::make_shared<std::promise<void>>();
    auto done = drained->get_future();
    send([drained] { drained->set_value(); });
    if (done.wait_until(deadline - EXIT_WRITE_GRACE) != std::future_status::ready) {
        // The worker is stuck in a write that does not return (or far behind): the process exits
        // without it, and what it may still use is never released.
        report_at_exit(m_writers->queue.abandon(EXIT_WRITE_GRACE));
        common::let_go(std::move(m_worker));
        common::let_go(std::move(m_writers));
        return;
    }
    m_worker->join();
    m_worker.reset();
    report_at_exit(0);
}

void ActiveTraceContext::report_at_exit(std::uint64_t left_at_exit) {
    if (!standard_error_takes_a_warning()) {
        return;  // the warning would hold the exit behind the very stream that is blocked
    }
    const auto dropped = m_writers->queue.take_dropped() + left_at_exit;
    if (dropped == 0) {
        return;
    }
    std::string text = lines_text(dropped) + " dropped since the last warning about dropped trace lines";
    if (left_at_exit > 0) {
        text += ", " + std::to_string(left_at_exit) + " of them still unwritten when the exit's " +
                std::to_string(EXIT_DRAIN_TIME.count()) + " s for writing them ran out";
    }
    ZEV_LOG(common::logging::warning) << text;
}

void ActiveTraceContext::send(std::function<void()> job) {
    if (m_writers->queue.push_job(std::move(job)) == TraceLineQueue::Pushed::queued_writer_idle) {
        Writers* const writers = m_writers.get();
        m_worker->send([writers] { writers->drain(); });
    }
}

void ActiveTraceContext::post_message(TraceMode mode, std::string line) {
    Writers* const writers = m_writers.get();
    const bool may_wait = writers->writer_thread.load(std::memory_order_relaxed) != std::this_thread::get_id();
    switch (writers->queue.push_line(mode, std::move(line), may_wait)) {
        case TraceLineQueue::Pushed::queued:
            return;
        case TraceLineQueue::Pushed::queued_writer_idle:
            m_worker->send([writers] { writers->drain(); });
            return;
        case TraceLineQueue::Pushed::dropped:
            // Lines for standard error or the verbose log would have the warning wait behind the very
            // output that is blocked: the worker reports those once it writes again, or the exit does.
            if (mode != TraceMode::stderr && mode != TraceMode::verbose_log) {
                writers->report_dropped_lines();
            }
            return;
    }
}

void ActiveTraceContext::set_custom_writer(Writer writer) {
    if (m_worker->inherited()) {
        return;  // a forked child's copy: the worker, and the lines it would write, are the parent's
    }
    Writers* const writers = m_writers.get();
    send([writers, writer = std::move(writer)]() mutable {
        // An empty callback would end the tracing thread at the next custom line: keep a no-op instead.
        writers->custom_writer = writer ? std::move(writer) : Writer([](const std::string&) {});
    });
}

void ActiveTraceContext::set_file_tracing_info(std::string folder, std::string file_id) {
    if (m_worker->inherited()) {
        return;  // a forked child's copy: a parent's thread may have held its queue at the fork
    }
    Writers* const writers = m_writers.get();
    send([writers, folder = std::move(folder), file_id = std::move(file_id)] {
        writers->trace_file_writer.set_folder_if_empty(folder);
        writers->trace_file_writer.set_file_id(file_id);
    });
}

void ActiveTraceContext::flush() {
    auto written = std::make_shared<std::promise<void>>();
    auto done = written->get_future();
    send([written] { written->set_value(); });
    done.wait();
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
