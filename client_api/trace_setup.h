#pragma once

#include <atomic>
#include <string>

namespace vexil {

/// Sets up the process's trace files from its clients; tracing takes effect once per process. The
/// first trace folder a client is constructed with (unless ZEV_BASECALL_TRACE_FOLDER names one)
/// receives the trace files from that client's construction on, its constructor's lines included;
/// the client name of the process's first accepted set_params names them. A client whose folder or
/// name cannot take effect is told in one warning where its trace lines go; in a forked child of a
/// process that traced, that they are not written.
class TraceSetup {
public:
    /// Never destroyed: clients may be made and ended during static destruction.
    static TraceSetup& instance();

    TraceSetup(const TraceSetup&) = delete;
    TraceSetup& operator=(const TraceSetup&) = delete;

    /// At a client's construction, before it traces: true when a warning was written.
    bool take_folder(const std::string& folder);
    /// At a client's accepted set_params: true when a warning was written. A client already warned
    /// is not warned again.
    bool take_client_name(const std::string& name, bool already_warned);

private:
    TraceSetup() = default;

    // The folder of the trace files, "" when none.
    std::string folder_in_use() const;
    std::string where_lines_go() const;
    // In a forked child of a process whose writer exists, no trace line is written.
    void warn_not_written() const;

    // Each set once, by the first client that gives one, and never released. Lock-free, so that a
    // fork cannot leave one locked.
    std::atomic<const std::string*> m_folder{nullptr};
    std::atomic<const std::string*> m_name{nullptr};
};

}  // namespace vexil
