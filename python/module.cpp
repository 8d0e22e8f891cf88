// The extension module tessellpy: the client class over libvexil_client, its enums, the server
// queries, the version functions and the conversion test helpers.
#include "client_api/vexil_client.h"
#include "python/align_results.h"
#include "python/docstrings.h"
#include "python/enums.h"
#include "python/interpreter_exit.h"
#include "python/library_log.h"
#include "python/server_queries.h"
#include "python/test_helpers.h"
#include "python/vexil_client_py.h"

#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace py = pybind11;

namespace {

py::tuple version_tuple(const vexil::VersionTag& tag) { return py::make_tuple(tag.major, tag.minor, tag.patch); }

using vexil::VexilClientPy;

/// The Python object of a VexilClient that __init__ made. VexilClient.__new__ alone leaves pybind11's
/// storage for the object allocated but unconstructed; pybind11 registers the object only once
/// __init__ has made it.
py::handle initialised(const VexilClientPy* client) {
    static const auto* const type = py::detail::get_type_info(typeid(VexilClientPy));
    const py::handle self = client == nullptr ? py::handle() : py::detail::get_object_handle(client, type);
    if (!self) {
        throw py::type_error("this VexilClient was not initialised: VexilClient.__init__() has not been called on it");
    }
    return self;
}

/// Runs `call` on an object that __init__ made; with `log`, between two handovers of the library's
/// records (tessellpy::with_library_log).
template <typename Call>
auto on_initialised(const VexilClientPy* client, bool log, const Call& call) {
    initialised(client);
    return log ? tessellpy::with_library_log(call) : call();
}

/// A method of the class, refused on an object that __init__ did not make.
template <typename Return, typename... Args>
auto method(Return (VexilClientPy::*member)(Args...), bool log = true) {
    return [member, log](VexilClientPy* client, Args... args) {
        return on_initialised(client, log, [&] { return (client->*member)(std::forward<Args>(args)...); });
    };
}

template <typename Return, typename... Args>
auto method(Return (VexilClientPy::*member)(Args...) const, bool log = true) {
    return [member, log](const VexilClientPy* client, Args... args) {
        return on_initialised(client, log, [&] { return (client->*member)(std::forward<Args>(args)...); });
    };
}

void register_client_class(py::module_& module) {
    namespace docs = tessellpy::docs;
    using tessellpy::with_library_log;
    py::class_<VexilClientPy, vexil::VexilClientPyHolder>(module, "VexilClient", docs::client_class)
            .def(py::init([](const std::string& address, const std::string& config, const py::int_& num_threads) {
                     return with_library_log([&] {
                         return vexil::VexilClientPyHolder(
                                 std::make_unique<VexilClientPy>(address, config, num_threads).release());
                     });
                 }),
                 py::arg("address"), py::arg("config"), py::arg("num_threads") = 1, docs::init)
            .def("set_params", method(&VexilClientPy::set_params), py::arg("params"), docs::set_params)
            .def("get_status", method(&VexilClientPy::get_status), docs::get_status)
            .def("get_error_message", method(&VexilClientPy::get_error_message), docs::get_error_message)
            .def("get_internal_state", method(&VexilClientPy::get_internal_state), docs::get_internal_state)
            .def("connect", method(&VexilClientPy::connect), docs::connect)
            .def("pass_read", method(&VexilClientPy::pass_read), py::arg("read"), py::arg("wait_duration_ms") = 0,
                 docs::pass_read)
            .def("pass_reads", method(&VexilClientPy::pass_reads), py::arg("reads"), py::arg("wait_duration_ms") = 0,
                 docs::pass_reads)
            // Hands over only what was logged before: a handler's interrupt at the end would drop the
            // reads it took.
            .def(
                    "get_completed_reads",
                    [](VexilClientPy* client) {
                        initialised(client);
                        tessellpy::emit_library_log();
                        return client->get_completed_reads();
                    },
                    docs::get_completed_reads)
            .def("finish", method(&VexilClientPy::finish), py::arg("timeout") = 0, docs::finish)
            .def("disconnect", method(&VexilClientPy::disconnect), docs::disconnect)
            .def("get_basecalling_config", method(&VexilClientPy::get_basecalling_config), docs::get_basecalling_config)
            .def("get_alignment_sam_header", method(&VexilClientPy::get_alignment_sam_header),
                 docs::get_alignment_sam_header)
            .def("__repr__", method(&VexilClientPy::repr, false))
            .def("__reduce_ex__", [](const py::handle&, const py::handle&) -> py::object {
                throw py::type_error("cannot pickle 'VexilClient' object: its connections belong to this process");
            });
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
    // Imported now, so that the library's records find it until the interpreter's very end.
    py::module_::import("logging");
    tessellpy::install_library_log();
    tessellpy::install_exit_steps();
}

}  // namespace

namespace {

py::module_::module_def module_definition;

}  // namespace

// Written out rather than through PYBIND11_MODULE: a subinterpreter is refused before pybind11 sets
// up its state, which waits there for a lock the main interpreter's thread state holds.
extern "C" PYBIND11_EXPORT PyObject* PyInit_tessellpy() {
    PYBIND11_CHECK_PYTHON_VERSION
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "tessellpy works only in the main interpreter, not in a subinterpreter: its clients "
                        "wait with the interpreter lock released, which only the main interpreter allows");
        return nullptr;
    }
    PYBIND11_ENSURE_INTERNALS_READY
    auto module = py::module_::create_extension_module("tessellpy", nullptr, &module_definition);
    try {
        initialise(module);
        return module.ptr();
    } catch (py::error_already_set& error) {
        // pybind11 would raise a bare "initialization failed" and leave the cause in __cause__.
        const std::string cause = py::str(error.type().attr("__name__")).cast<std::string>() + ": " +
                                  py::str(error.value()).cast<std::string>();
        PyErr_SetString(PyExc_ImportError, ("tessellpy could not be initialised: " + cause).c_str());
        return nullptr;
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
}
