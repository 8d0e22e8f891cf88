#include "python/enums.h"

#include "client_api/read.h"
#include "client_api/result.h"

#include <string>

namespace tessellpy {

namespace py = pybind11;

namespace {

/// The enum's own `method` for named values; `pattern` filled with the number and the library's
/// text for the others.
py::cpp_function nameless_aware(py::enum_<vexil::Result>& type, const char* method, std::string pattern) {
    const py::object named_text = type.attr(method);
    return py::cpp_function(
            [named_text, pattern](vexil::Result value) -> std::string {
                if (py::cast(value).attr("name").cast<std::string>() != "???") {
                    return py::str(named_text(value));
                }
                return py::str(pattern).format(static_cast<int>(value), vexil::to_string(value));
            },
            py::is_method(type));
}

/// Pickled as a call of the enum with the value's number, which every protocol stores; pybind11's own
/// support (__setstate__ on an empty instance) needs protocol 2 and aborts the interpreter below it.
template <typename Enum>
py::enum_<Enum>& pickled_by_number(py::enum_<Enum>& type) {
    type.def("__reduce_ex__", [](const py::object& value, const py::handle& /*protocol*/) {
        return py::make_tuple(py::type::of(value), py::make_tuple(py::int_(value)));
    });
    return type;
}

}  // namespace

void register_enums(py::module_& module) {
    py::enum_<vexil::ConnectionStatus> status(module, "status");
    status.value("disconnected", vexil::ConnectionStatus::disconnected)
            .value("preparing_connection", vexil::ConnectionStatus::preparing_connection)
            .value("loading_config", vexil::ConnectionStatus::loading_config)
            .value("loading_alignment_index", vexil::ConnectionStatus::loading_alignment_index)
            .value("loading_bed_file", vexil::ConnectionStatus::loading_bed_file)
            .value("connecting", vexil::ConnectionStatus::connecting)
            .value("connected", vexil::ConnectionStatus::connected)
            .value("error_state", vexil::ConnectionStatus::error)
            .export_values();
    pickled_by_number(status);
    // align_index_no_seq and file_load_timeout have no member: they arrive as nameless values.
    py::enum_<vexil::Result> result(module, "result");
    result.value("success", vexil::Result::success)
            .value("no_connection", vexil::Result::no_connection)
            .value("already_connected", vexil::Result::already_connected)
            .value("not_ready", vexil::Result::not_ready)
            .value("timed_out", vexil::Result::timed_out)
            .value("invalid_response", vexil::Result::invalid_response)
            .value("basecall_config_unavailable", vexil::Result::basecall_config_unavailable)
            .value("barcode_kit_unavailable", vexil::Result::barcode_kit_unavailable)
            .value("align_index_unavailable", vexil::Result::align_index_unavailable)
            .value("bed_file_unavailable", vexil::Result::bed_file_unavailable)
            .value("failed", vexil::Result::failed)
            .value("bad_request", vexil::Result::bad_request)
            .value("bad_reply", vexil::Result::bad_reply)
            .value("invalid_aligner_options", vexil::Result::invalid_aligner_options)
            .export_values();
    // A nameless value prints its number and the library's name for it rather than "result.???".
    // Assigned rather than def'd: def would add an overload behind pybind11's own, never reached.
    result.attr("__str__") = nameless_aware(result, "__str__", "result {} ({})");
    result.attr("__repr__") = nameless_aware(result, "__repr__", "<result {}: {}>");
    pickled_by_number(result);
    py::enum_<vexil::PassReadResult> pass_read_result(module, "pass_read_result");
    pass_read_result.value("read_accepted", vexil::PassReadResult::success)
            .value("not_accepting_reads", vexil::PassReadResult::not_accepting_reads)
            .value("queue_full", vexil::PassReadResult::queue_full)
            .value("bad_read", vexil::PassReadResult::bad_read)
            .export_values();
    pickled_by_number(pass_read_result);
    py::enum_<vexil::Read::Priority> read_priority(module, "read_priority");
    read_priority.value("high_priority", vexil::Read::HIGH_PRIORITY)
            .value("medium_priority", vexil::Read::MEDIUM_PRIORITY)
            .value("low_priority", vexil::Read::LOW_PRIORITY)
            .export_values();
    pickled_by_number(read_priority);
}

}  // namespace tessellpy
