#pragma once

#include "client_api/vexil_client.h"
#include "python/interruptible.h"
#include "python/read_tag_ledger.h"

#include <pybind11/pybind11.h>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vexil {

namespace py = pybind11;

/// The object behind the Python class VexilClient: 1 to 100 library clients against one server and
/// configuration, fed with reads in rotation. Calls that can block release the interpreter lock and
/// wait in slices, so that Ctrl-C and disconnect() from another thread take effect promptly.
class VexilClientPy {
public:
    VexilClientPy(const std::string& address, const std::string& config, const py::int_& num_threads);
    /// Ends what still runs in the background, then destroys the library clients from the last to
    /// the first. In a child process of the one that made the object it touches none of them. Call
    /// without the interpreter lock.
    ~VexilClientPy();
    VexilClientPy(const VexilClientPy&) = delete;
    VexilClientPy& operator=(const VexilClientPy&) = delete;

    Result set_params(const py::dict& params);
    ConnectionStatus get_status() const;
    std::string get_error_message() const;
    std::string get_internal_state() const;
    Result connect();
    PassReadResult pass_read(const py::dict& read, const py::int_& wait_duration_ms);
    PassReadResult pass_reads(const py::list& reads, const py::int_& wait_duration_ms);
    py::list get_completed_reads();
    Result finish(const py::int_& timeout);
    Result disconnect();
    py::tuple get_basecalling_config();
    py::tuple get_alignment_sam_header();
    std::string repr() const;

    /// The longest the interpreter's exit waits for this object's clients to end: their goodbye to a
    /// server that stopped answering waits one "query_timeout", and the library then takes a moment
    /// to log that and end its threads.
    std::chrono::milliseconds exit_wait() const {
        return std::chrono::milliseconds(m_query_timeout_ms.load()) + std::chrono::seconds(1);
    }
    /// How the interpreter's exit names the ending of this object's clients.
    std::string ending_text() const;

    /// Raises RuntimeError in a child process of the one that made the object: the library clients,
    /// their threads and sockets are the parent's.
    void refuse_if_forked() const;
    bool forked() const;
    /// Ends every library client at once, as disconnect() does, and what still runs in the background
    /// with them; then destroys them. Call without the interpreter lock.
    void end_all_clients();

    /// A disconnect under way in the background.
    struct Disconnecting {
        /// Each library client's result, once `calls` have finished.
        std::shared_ptr<std::vector<Result>> results;
        /// The disconnect (the last) and the connect or finish work it ends.
        tessellpy::BackgroundCalls calls;
        /// Such work held a connection, or an interrupt ended one in the background.
        bool ended_work = false;
    };
    /// Starts disconnect()'s work: every library client's connection ends on a thread of its own,
    /// beside any connect or finish under way, which the library's disconnect ends. Needs neither
    /// the interpreter nor its lock.
    Disconnecting start_disconnect();

private:
    using Groups = tessellpy::ReadTagLedger::Groups;

    /// Library work of connect, finish or disconnect on a thread of its own: its caller may leave
    /// before it ends (Ctrl-C, or disconnect() from another thread).
    struct LifecycleCall {
        std::shared_ptr<tessellpy::BackgroundCall> call;
        /// connect and finish: the work disconnect() ends.
        bool holds_connection;
    };

    /// Starts `work` once no earlier lifecycle work is left, waiting for it in slices (interpreter
    /// lock held on entry); `work` gets the stop generation it started under.
    std::pair<std::shared_ptr<tessellpy::BackgroundCall>, std::uint64_t> start_when_idle(
            std::function<void(std::uint64_t)> work);
    /// Registers `work` as lifecycle work running on a thread of its own; call under m_lifecycle_mutex.
    std::shared_ptr<tessellpy::BackgroundCall> add_work(std::function<void()> work, bool holds_connection);
    /// Drops lifecycle work that has ended; call under m_lifecycle_mutex.
    void forget_finished_work();
    bool stopped_since(std::uint64_t generation) const { return m_stop_generation.load() != generation; }
    /// Asks work started under `generation` to stop and runs `cleanup` in the background.
    void stop_in_background(std::uint64_t generation, std::function<void()> cleanup);
    /// connect and finish: runs `work` once earlier lifecycle work has ended and waits for it in
    /// slices; interrupted, the connection is ended in the background; failed when disconnect()
    /// from another thread ended it.
    Result run_holding_connection(std::function<Result(std::uint64_t)> work);
    Result connect_all(std::uint64_t generation);
    Result finish_all(unsigned long long timeout_s, std::uint64_t generation);
    /// Runs `call` on every library client at once and combines the results: the last that is not
    /// success wins. A frozen server then costs one client's time-out, not one per client.
    Result on_every_client(const std::function<Result(VexilClient&)>& call);
    Result disconnect_all();

    /// Runs `call` (a library pass given a wait in ms) in slices until it leaves queue_full or the
    /// wait is used up, looking at signals in between (interpreter lock held on entry).
    PassReadResult pass_in_slices(unsigned int wait_ms, const std::function<PassReadResult(unsigned int)>& call);
    /// Hands reads carrying `tags` to the next library client in turn through `pass`, in slices:
    /// their tags are held for this pass first, and released again unless the library took the
    /// reads. Null when a tag is in flight already or repeats. Every bad_read is logged after
    /// `refusal`, a library's with the reason `explain` finds.
    std::optional<PassReadResult> pass_to_next_client(
            const std::vector<std::uint64_t>& tags, unsigned int wait_ms, const char* refusal,
            const std::function<PassReadResult(VexilClient&, unsigned int)>& pass,
            const std::function<std::string(const VexilClient&)>& explain);

    /// Before client `index` connects again: what its last connection still holds goes to the ledger.
    void keep_leftovers(std::size_t index);

    std::vector<std::unique_ptr<VexilClient>> m_clients;
    /// The process whose library clients these are.
    const pid_t m_owner_pid;
    /// A connect is going through the clients.
    std::atomic<bool> m_connecting{false};
    const std::string m_address;
    const std::string m_config;
    /// Read and written only with the interpreter lock held.
    std::size_t m_next_client = 0;
    /// The "pass_read_timeout" setting, which a pass given 0 ms waits in slices of its own.
    std::atomic<unsigned int> m_pass_read_timeout_ms{0};
    /// The "query_timeout" setting; the library's default until set_params changes it.
    std::atomic<unsigned int> m_query_timeout_ms{2000};

    tessellpy::ReadTagLedger m_ledger;

    /// Guards m_lifecycle_work, m_ended_in_background and m_connect_error.
    mutable std::mutex m_lifecycle_mutex;
    std::vector<LifecycleCall> m_lifecycle_work;
    /// Raised by disconnect() and by an interrupt: connect and finish work started under an earlier
    /// value stops.
    std::atomic<std::uint64_t> m_stop_generation{0};
    /// An interrupt ended a connect or finish in the background since the last lifecycle call began:
    /// the next disconnect() reports that connection as ended, however soon the cleanup was done.
    bool m_ended_in_background = false;
    /// Why the last connect failed after connecting some clients, which it then disconnected.
    std::string m_connect_error;
};

/// Deletes the object behind a Python VexilClient (pybind11 holder): its library clients end on a
/// thread of their own, all at once, while the caller waits in slices. Ctrl-C ends the wait (the rest
/// goes on in the background and is waited for at interpreter exit) and is raised again right after.
/// In a forked child nothing is ended: what the object holds belongs to the parent.
struct VexilClientPyDeleter {
    void operator()(VexilClientPy* client) const;
};

using VexilClientPyHolder = std::unique_ptr<VexilClientPy, VexilClientPyDeleter>;

}  // namespace vexil
