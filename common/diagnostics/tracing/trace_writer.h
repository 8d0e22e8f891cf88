#pragma once

#include "common/diagnostics/tracing/trace_mode.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

namespace common {
class ActiveObject;
}

namespace common {
namespace diagnostics {
namespace tracing {
namespace details {

// d as whole milliseconds, ".", the microseconds within that millisecond as three digits, "ms ".
std::string create_timestamp(std::chrono::nanoseconds d);

// Writes the head of a trace line: time stamp, " thread:<pthread_self> ", `function`, " ", `tag`.
std::ostringstream& decorate_message_stream(std::ostringstream& stream, const std::string& tag,
                                            const std::string& function);

// The process's one trace writer. Lines are formatted on the calling threads and written, in queue
// order, on the active object "tracing" through the writer of their mode, many lines per write where
// the output allows. Everything the writers touch is touched only on that thread.
//
// The queue is bounded: a line that finds it full waits while the writer makes progress, and is
// dropped and counted once the writer has written nothing for a second (a standard stream nobody
// reads, a disk that does not answer), so memory stays flat. At exit a writer that does not drain
// within a bounded time is let go rather than waited for; the lines it leaves are counted too, and
// the count of every dropped line reaches the warning logger.
class ActiveTraceContext {
public:
    using Writer = std::function<void(const std::string&)>;

    static constexpr const char* FOLDER_ENVIRONMENT_VARIABLE = "ZEV_BASECALL_TRACE_FOLDER";
    static constexpr const char* ENTER_TAG = "[ENTER] ";
    static constexpr const char* LEAVE_TAG = "[LEAVE] ";
    static constexpr const char* TRACE_TAG = "[TRACE] ";
    // What the queued lines may hold (each line counts its length and the queue's own cost of it).
    static constexpr std::size_t MAX_QUEUED_BYTES = 16 * 1024 * 1024;
    // A writer that has written nothing for this long is stuck: lines that find the queue full are
    // dropped rather than wait.
    static constexpr std::chrono::seconds STUCK_AFTER{1};
    // The warning about dropped lines comes at most this often, and once more at exit.
    static constexpr std::chrono::seconds DROP_WARNING_INTERVAL{60};
    // How long the exit waits for the queued lines to be written.
    static constexpr std::chrono::seconds EXIT_DRAIN_TIME{2};

    // Created on first use (starting the worker) and destroyed at exit.
    static ActiveTraceContext& instance();
    // False once the writer has been destroyed at process exit, and in a forked child of the process
    // that made it (its worker runs only there): lines are then dropped.
    static bool available();
    // True in a forked child of a process that had made the writer: the child writes no trace line.
    static bool inherited_by_fork();

    ~ActiveTraceContext();
    ActiveTraceContext(const ActiveTraceContext&) = delete;
    ActiveTraceContext& operator=(const ActiveTraceContext&) = delete;

    // Queues the line for the writer of `mode`; waits while the queue is full and the writer writes,
    // drops it once the writer is stuck.
    void post_message(TraceMode mode, std::string line);
    // Installs the custom writer on the worker, in order with the lines queued before.
    void set_custom_writer(Writer writer);
    // On the worker: the folder is taken only while none is known; a non-empty id sets the suffix.
    void set_file_tracing_info(std::string folder, std::string file_id);
    // Waits until every job queued before the call has run.
    void flush();

private:
    struct Writers;

    ActiveTraceContext();
    // Queues a job to run on the worker in order with the lines.
    void send(std::function<void()> job);
    // The warning about lines dropped since the last one, `left_at_exit` of them never taken.
    void report_at_exit(std::uint64_t left_at_exit);

    // On the heap: a worker blocked at exit keeps using them after this object is gone.
    std::unique_ptr<Writers> m_writers;
    // Last, so that it is stopped and joined before anything its jobs use is released.
    std::unique_ptr<common::ActiveObject> m_worker;
};

}  // namespace details
}  // namespace tracing
}  // namespace diagnostics
}  // namespace common
