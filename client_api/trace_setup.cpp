#include "client_api/trace_setup.h"

#include "common/diagnostics/tracing/context_builder.h"
#include "common/diagnostics/tracing/trace_configuration.h"
#include "common/diagnostics/tracing/trace_writer.h"
#include "common/logger.h"

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <cstdlib>
#include <memory>

namespace vexil {

namespace {

namespace tracing = common::diagnostics::tracing;

std::string environment_folder() {
    const char* folder = std::getenv(tracing::details::ActiveTraceContext::FOLDER_ENVIRONMENT_VARIABLE);
    return folder ? folder : "";
}

// The folder's identity: the same however it is spelt (trailing separators, ".", a relative or an
// absolute path, a link).
std::string folder_key(const std::string& folder) {
    boost::system::error_code error;
    const auto canonical = boost::filesystem::canonical(folder, error);
    if (!error) {
        return canonical.string();
    }
    auto normal = boost::filesystem::absolute(folder).lexically_normal();
    while (normal.filename_is_dot() && normal.has_parent_path()) {
        normal = normal.parent_path();  // what "DIR/" leaves
    }
    return normal.string();
}

bool same_folder(const std::string& one, const std::string& other) {
    return one == other || folder_key(one) == folder_key(other);
}

// Sets `slot` to `value` when it is still unset; either way returns what it holds.
const std::string& set_once(std::atomic<const std::string*>& slot, const std::string& value, bool& was_set) {
    auto candidate = std::make_unique<const std::string>(value);
    const std::string* expected = nullptr;
    was_set = slot.compare_exchange_strong(expected, candidate.get());
    // The winner's text lives as long as the process.
    return was_set ? *candidate.release() : *expected;
}

}  // namespace

TraceSetup& TraceSetup::instance() {
    static TraceSetup* const setup = new TraceSetup;
    return *setup;
}

bool TraceSetup::take_folder(const std::string& folder) {
    if (folder.empty()) {
        return false;
    }
    if (tracing::details::ActiveTraceContext::inherited_by_fork()) {
        warn_not_written();
        return true;
    }
    const auto from_environment = environment_folder();
    if (from_environment.empty()) {
        bool taken = false;
        const auto& first = set_once(m_folder, folder, taken);
        if (taken) {
            // Applied at once, so that this client's constructor line reaches the folder too.
            tracing::context().using_trace_output_folder(folder);
            tracing::details::ActiveTraceContext::instance().set_file_tracing_info(folder, "");
            return false;
        }
        if (same_folder(first, folder)) {
            return false;
        }
    } else if (same_folder(from_environment, folder)) {
        return false;
    }
    ZEV_LOG(common::logging::warning) << "Trace folder " << folder
                                      << " of this client is not used: tracing is set up once per process, and "
                                         "this client's trace lines go to "
                                      << where_lines_go();
    return true;
}

bool TraceSetup::take_client_name(const std::string& name, bool already_warned) {
    bool first = false;
    const auto& first_name = set_once(m_name, name, first);
    if (first) {
        tracing::context().with_trace_file_unique_id(name).initialise();
    }
    if (already_warned) {
        return false;
    }
    if (tracing::details::ActiveTraceContext::inherited_by_fork()) {
        // A child given no folder of its own is told too, when its parent traced.
        if (folder_in_use().empty() &&
            !std::getenv(tracing::details::TraceConfiguration::CONFIG_ENVIRONMENT_VARIABLE)) {
            return false;
        }
        warn_not_written();
        return true;
    }
    if (folder_in_use().empty()) {
        return false;  // no trace files: the name names nothing
    }
    if (first && !tracing::is_portable_trace_file_id(name)) {
        ZEV_LOG(common::logging::warning)
                << "Client name \"" << name
                << "\" cannot be part of a trace-file name (only ASCII letters, digits, \".\", \"_\" and \"-\" "
                   "can): this client's trace lines go to "
                << where_lines_go();
        return true;
    }
    if (first || first_name == name) {
        return false;
    }
    ZEV_LOG(common::logging::warning) << "Client name \"" << name
                                      << "\" does not name trace files: tracing is set up once per process, and "
                                         "this client's trace lines go to "
                                      << where_lines_go();
    return true;
}

void TraceSetup::warn_not_written() const {
    ZEV_LOG(common::logging::warning)
            << "Trace lines of this client are not written: this process is a forked child of the one whose "
               "tracing was set up, and tracing is set up once per process";
}

std::string TraceSetup::folder_in_use() const {
    const auto from_environment = environment_folder();
    if (!from_environment.empty()) {
        return from_environment;
    }
    const std::string* folder = m_folder.load();
    return folder ? *folder : "";
}

std::string TraceSetup::where_lines_go() const {
    std::string text = "the trace files in " + folder_in_use();
    if (!environment_folder().empty()) {
        text += std::string(" (named by ") + tracing::details::ActiveTraceContext::FOLDER_ENVIRONMENT_VARIABLE + ")";
    }
    const std::string* name = m_name.load();
    if (name) {
        text += tracing::is_portable_trace_file_id(*name) && !name->empty()
                        ? ", named after the client name \"" + *name + "\""
                        : ", named without a client name";
    }
    return text;
}

}  // namespace vexil
