#include "python/server_queries.h"

#include "client_api/result.h"
#include "client_api/server_query.h"
#include "python/docstrings.h"
#include "python/interruptible.h"
#include "python/library_log.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tessellpy {

namespace py = pybind11;
namespace query = vexil::server_query;

namespace {

/// What a query writes; shared with the thread that runs it, which may outlive an interrupted caller.
template <typename Output>
struct Answer {
    Output output{};
    vexil::Result result = vexil::Result::success;
};

/// The longest the interpreter's exit waits for a query that an interrupt left running: the
/// library's default "query_timeout", so that it waits no longer for a query than for a client left
/// at its defaults. The server keeps nothing of a query and nobody takes its answer any more, so
/// the wait only lets a query whose reply is on its way end in its own time rather than be cut off
/// inside the library as the process ends.
constexpr std::chrono::milliseconds QUERY_EXIT_WAIT{2000};

/// Runs `query` in the background, Ctrl-C taking effect at once.
void run_query(const char* name, const std::string& address, uint32_t timeout, std::function<void()> query) {
    run_interruptibly(std::move(query), std::min(std::chrono::milliseconds(timeout), QUERY_EXIT_WAIT),
                      std::string(name) + "('" + address + "', " + std::to_string(timeout) + ")");
}

/// Runs the query in the background, Ctrl-C taking effect at once; (answer, code), the answer None
/// on failure.
template <typename Output, typename Query, typename Convert>
py::tuple ask(const char* name, Query query_function, const std::string& address, uint32_t timeout, Convert convert) {
    auto answer = std::make_shared<Answer<Output>>();
    run_query(name, address, timeout, [answer, query_function, address, timeout] {
        answer->result = query_function(answer->output, address, timeout);
    });
    if (answer->result != vexil::Result::success) {
        return py::make_tuple(py::none(), answer->result);
    }
    return py::make_tuple(convert(answer->output), answer->result);
}

py::list barcode_kits(const std::vector<query::BarcodeKitDefinition>& kits) {
    py::list out;
    for (const auto& kit : kits) {
        py::dict entry;
        entry["kit_name"] = py::str(kit.kit_name());
        entry["first_index"] = kit.first_index();
        entry["last_index"] = kit.last_index();
        entry["first_inner_index"] = kit.first_inner_index();
        entry["last_inner_index"] = kit.last_inner_index();
        entry["is_both_ends"] = py::bool_(kit.is_both_ends());
        entry["is_dual"] = py::bool_(kit.is_dual());
        out.append(std::move(entry));
    }
    return out;
}

py::list lamp_kits(const std::vector<query::LampKitDefinition>& kits) {
    py::list out;
    for (const auto& kit : kits) {
        py::dict entry;
        entry["kit_name"] = py::str(kit.kit_name());
        entry["first_index"] = kit.first_index();
        entry["last_index"] = kit.last_index();
        py::list targets;
        for (const auto& target : kit.targets()) {
            targets.append(py::str(target));
        }
        entry["targets"] = std::move(targets);
        out.append(std::move(entry));
    }
    return out;
}

py::dict server_statistics(const query::ServerStatistics& stats) {
    py::dict out;
    out["lifetime_reads_in"] = py::int_(stats.lifetime_reads_in);
    out["lifetime_reads_out"] = py::int_(stats.lifetime_reads_out);
    out["period_reads_in"] = py::int_(stats.period_reads_in);
    out["period_reads_out"] = py::int_(stats.period_reads_out);
    py::list clients;
    for (const auto& counts : stats.client_statistics) {
        py::dict entry;
        entry["input_read_count"] = py::int_(counts.input_read_count);
        entry["output_read_count"] = py::int_(counts.output_read_count);
        clients.append(std::move(entry));
    }
    out["client_statistics"] = std::move(clients);
    return out;
}

py::str text(const std::string& value) { return py::str(value); }

}  // namespace

void register_server_queries(py::module_& module) {
    module.def("get_barcode_kits", logged(+[](const std::string& address, uint32_t timeout) {
                   return ask<std::vector<query::BarcodeKitDefinition>>(
                           "get_barcode_kits",
                           [](auto& kits, const std::string& where, uint32_t wait) {
                               return query::get_barcode_kits(kits, where, wait);
                           },
                           address, timeout, barcode_kits);
               }),
               docs::get_barcode_kits);
    module.def("get_lamp_kits", logged(+[](const std::string& address, uint32_t timeout) {
                   return ask<std::vector<query::LampKitDefinition>>(
                           "get_lamp_kits",
                           [](auto& kits, const std::string& where, uint32_t wait) {
                               return query::get_lamp_kits(kits, where, wait);
                           },
                           address, timeout, lamp_kits);
               }),
               docs::get_lamp_kits);
    module.def("get_server_stats", logged(+[](const std::string& address, uint32_t timeout) {
                   return ask<query::ServerStatistics>(
                           "get_server_stats",
                           [](auto& stats, const std::string& where, uint32_t wait) {
                               return query::get_server_statistics(stats, where, wait);
                           },
                           address, timeout, server_statistics);
               }),
               docs::get_server_stats);
    module.def("get_server_information", logged(+[](const std::string& address, uint32_t timeout) {
                   auto answer = std::make_shared<Answer<std::string>>();
                   run_query("get_server_information", address, timeout, [answer, address, timeout] {
                       answer->result = query::get_server_information(answer->output, address, timeout);
                   });
                   const bool answered = answer->result == vexil::Result::success;
                   return py::make_tuple(py::str(answered ? answer->output : "No information available"),
                                         answer->result);
               }),
               docs::get_server_information);
    module.def("get_server_internal_state", logged(+[](const std::string& address, uint32_t timeout) {
                   return ask<std::string>(
                           "get_server_internal_state",
                           [](auto& state, const std::string& where, uint32_t wait) {
                               return query::get_server_internal_state(state, where, wait);
                           },
                           address, timeout, text);
               }),
               docs::get_server_internal_state);
}

}  // namespace tessellpy
