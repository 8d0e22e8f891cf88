// The extension module tessellpy: the client class over libvexil_client, its enums, the server
// queries, the version functions and the conversion test helpers.
#include "client_api/vexil_client.h"
#include "python/align_results.h"
#include "python/docstrings.h"
#include "python/enums.h"
#include "python/interruptible.h"
#include "python/library_log.h"
#include "python/server_queries.h"
#include "python/test_helpers.h"
#include "python/vexil_client_py.h"

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace {

py::tuple version_tuple(const vexil::VersionTag& tag) { return py::make_tuple(tag.major, tag.minor, tag.patch); }

void register_client_class(py::module_& module) {
    namespace docs = tessellpy::docs;
    using vexil::VexilClientPy;
    // Every call hands what the library logged meanwhile to Python's logging before it returns.
    using log_guard = py::call_guard<tessellpy::LibraryLogGuard>;
    py::class_<VexilClientPy, vexil::VexilClientPyHolder>(module, "VexilClient", docs::client_class)
            .def(py::init<const std::string&, const std::string&, const py::int_&>(), log_guard(), py::arg("address"),
                 py::arg("config"), py::arg("num_threads") = 1, docs::init)
            .def("set_params", &VexilClientPy::set_params, log_guard(), py::arg("params"), docs::set_params)
            .def("get_status", &VexilClientPy::get_status, log_guard(), docs::get_status)
            .def("get_error_message", &VexilClientPy::get_error_message, log_guard(), docs::get_error_message)
            .def("get_internal_state", &VexilClientPy::get_internal_state, log_guard(), docs::get_internal_state)
            .def("connect", &VexilClientPy::connect, log_guard(), docs::connect)
            .def("pass_read", &VexilClientPy::pass_read, log_guard(), py::arg("read"), py::arg("wait_duration_ms") = 0,
                 docs::pass_read)
            .def("pass_reads", &VexilClientPy::pass_reads, log_guard(), py::arg("reads"),
                 py::arg("wait_duration_ms") = 0, docs::pass_reads)
            .def("get_completed_reads", &VexilClientPy::get_completed_reads, log_guard(), docs::get_completed_reads)
            .def("finish", &VexilClientPy::finish, log_guard(), py::arg("timeout") = 0, docs::finish)
            .def("disconnect", &VexilClientPy::disconnect, log_guard(), docs::disconnect)
            .def("get_basecalling_config", &VexilClientPy::get_basecalling_config, log_guard(),
                 docs::get_basecalling_config)
            .def("get_alignment_sam_header", &VexilClientPy::get_alignment_sam_header, log_guard(),
                 docs::get_alignment_sam_header)
            .def("__repr__", &VexilClientPy::repr);
}

void initialise(py::module_& module) {
    module.doc() = "Python client of the Vexil basecall server.";
    // First, so that a missing or broken numpy is named as the cause.
    py::module_::import("numpy");
    apps::register_align_results_dtype();
    // The enums come first so that the signatures help() shows name them.
    tessellpy::register_enums(module);
    register_client_class(module);
    tessellpy::register_server_queries(module);
    module.def(
            "get_software_version", [] { return version_tuple(vexil::VexilClient::get_software_version()); },
            tessellpy::docs::get_software_version);
    module.def(
            "get_protocol_version", [] { return version_tuple(vexil::VexilClient::get_protocol_version()); },
            tessellpy::docs::get_protocol_version);
    tessellpy::register_test_helpers(module);
    tessellpy::wait_for_abandoned_calls_at_exit();
    tessellpy::install_library_log();
    // What the library logs as the interpreter ends reaches logging while it still can.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { tessellpy::emit_library_log(); }));
}

}  // namespace

PYBIND11_MODULE(tessellpy, module) {
    try {
        initialise(module);
    } catch (py::error_already_set& error) {
        // pybind11 would raise a bare "initialization failed" and leave the cause in __cause__.
        const std::string cause = py::str(error.type().attr("__name__")).cast<std::string>() + ": " +
                                  py::str(error.value()).cast<std::string>();
        throw std::runtime_error("tessellpy could not be initialised: " + cause);
    }
}
