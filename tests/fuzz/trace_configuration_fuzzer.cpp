// A trace-configuration text through parsing into the domain tables and the mode lookup.

#include "common/diagnostics/tracing/testability.h"
#include "common/diagnostics/tracing/trace_configuration.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

using common::diagnostics::tracing::TraceMode;
using common::diagnostics::tracing::details::TraceConfiguration;

const char* const DOMAINS[] = {"basecall_service::ReadBuffer", "hftrace::basecall_service::ReadBuffer",
                               "ipc_tools::RequestBroker", "", "*"};

void look_up(const TraceConfiguration& configuration, const std::string& domain) {
    const TraceMode mode = configuration.get_domain_trace_mode(domain);
    if (static_cast<int>(mode) < 0 || static_cast<int>(mode) > static_cast<int>(TraceMode::exclude)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    auto& configuration = TraceConfiguration::instance();
    namespace testability = common::diagnostics::tracing::testability;

    testability::set_default_trace_mode(TraceMode::verbose_log);
    std::istringstream in(text);
    testability::configure_trace_domains(in);
    for (const char* domain : DOMAINS) {
        look_up(configuration, domain);
    }
    // The text's own words as domain names.
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        look_up(configuration, word);
    }

    testability::set_default_trace_mode(TraceMode::exclude);
    testability::set_enabled_trace_domains(text);
    for (const char* domain : DOMAINS) {
        look_up(configuration, domain);
    }
    configuration.clear();
    return 0;
}
