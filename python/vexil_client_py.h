#pragma once

#include "client_api/vexil_client.h"
#include "python/interruptible.h"

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
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
    /// the first.
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

private:
    using Groups = std::vector<std::vector<Read>>;

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
    /// Drops lifecycle work that has ended; call under m_lifecycle_mutex.
    void forget_finished_work();
    bool stopped_since(std::uint64_t generation) const { return m_stop_generation.load() != generation; }
    /// Asks work started under `generation` to stop and runs `cleanup` in the background, given the
    /// client that finish_all is at.
    void stop_in_background(std::uint64_t generation, std::function<void(std::size_t)> cleanup);
    Result connect_all(std::uint64_t generation);
    Result finish_all(unsigned long long timeout_s, std::uint64_t generation);

    /// Runs `call` (a library pass given a wait in ms) in slices until it leaves queue_full or the
    /// wait is used up, looking at signals in between (interpreter lock held on entry).
    PassReadResult pass_in_slices(unsigned int wait_ms, const std::function<PassReadResult(unsigned int)>& call);
    /// Hands reads carrying `tags` to the next library client in turn through `pass`, in slices:
    /// their tags are marked in flight first, and released again should an interrupt come between
    /// two slices. Null when a tag is in flight already or repeats: the refusal is logged after
    /// `refusal` and nothing is passed.
    std::optional<PassReadResult> pass_to_next_client(
            const std::vector<std::uint64_t>& tags, unsigned int wait_ms, const char* refusal,
            const std::function<PassReadResult(VexilClient&, unsigned int)>& pass);
    /// Marks the tags in flight on client `index`; false, with the reason, when one already is or
    /// one repeats.
    bool reserve_tags(const std::vector<std::uint64_t>& tags, std::size_t index, std::string& reason);
    void release_tags(const std::vector<std::uint64_t>& tags);
    /// Before client `index` connects again: completed reads its last connection still holds are
    /// kept for get_completed_reads, and the tags of reads that connection dropped are released.
    void keep_leftovers(std::size_t index);

    std::vector<std::unique_ptr<VexilClient>> m_clients;
    const std::string m_address;
    const std::string m_config;
    /// Read and written only with the interpreter lock held.
    std::size_t m_next_client = 0;
    /// The "pass_read_timeout" setting, which a pass given 0 ms waits in slices of its own.
    std::atomic<unsigned int> m_pass_read_timeout_ms{0};

    /// Guards m_tags_in_flight and m_kept_reads.
    mutable std::mutex m_reads_mutex;
    /// Tag of every read accepted and not yet handed back, with the client that holds it.
    std::unordered_map<std::uint64_t, std::size_t> m_tags_in_flight;
    Groups m_kept_reads;

    /// Guards m_lifecycle_work, m_finishing_client and m_connect_error.
    mutable std::mutex m_lifecycle_mutex;
    std::vector<LifecycleCall> m_lifecycle_work;
    /// Raised by disconnect() and by an interrupt: connect and finish work started under an earlier
    /// value stops.
    std::atomic<std::uint64_t> m_stop_generation{0};
    std::size_t m_finishing_client = 0;
    /// Why the last connect failed after connecting some clients, which it then disconnected.
    std::string m_connect_error;
};

}  // namespace vexil
