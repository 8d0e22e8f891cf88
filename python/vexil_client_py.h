#pragma once

#include "client_api/vexil_client.h"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vexil {

namespace py = pybind11;

/// The object behind the Python class VexilClient: 1 to 100 library clients against one server and
/// configuration, fed with reads in rotation. Calls that can block release the interpreter lock.
class VexilClientPy {
public:
    VexilClientPy(const std::string& address, const std::string& config, const py::int_& num_threads);
    /// Destroys the library clients from the last to the first.
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
    /// The client that takes the next read; advances the rotation (interpreter lock held).
    VexilClient& next_in_rotation();
    /// Runs `call` on every client in order and combines the results: the last one that is not
    /// success wins.
    template <typename Call>
    Result on_every_client(Call call);

    std::vector<std::unique_ptr<VexilClient>> m_clients;
    std::size_t m_next_client = 0;
    /// Held (with the interpreter lock released) by connect, finish and disconnect, so that they
    /// never run at once on one object; set_params refuses to change settings while it is held.
    std::mutex m_lifecycle;
};

}  // namespace vexil
