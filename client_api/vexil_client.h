#pragma once

#include "client_api/export.h"
#include "client_api/read.h"
#include "client_api/result.h"
#include "client_api/version_tag.h"
#include "data_wrappers/metadata.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vexil {

class VexilClientImpl;

/// One connection to a basecall server: configure it with set_params while disconnected, connect,
/// pass reads, collect the called reads, then finish or disconnect. Every outcome is a code; see
/// each call for the exceptions that can leave it.
class VEXIL_EXPORT VexilClient {
public:
    using StateChangeHandler =
            std::function<void(ConnectionStatus previous, ConnectionStatus current, std::string error_text)>;

    /// `log_bad_reads` logs a warning for every read refused as bad_read.
    ///
    /// `trace_folder` (when not empty) is where trace files go, for the traces that the file named by
    /// ZEV_BASECALL_TRACE_CONFIG sends to files. Tracing is set up once per process: the first client
    /// constructed with a folder gives the process's trace folder, from its construction on (its
    /// constructor's lines included, with or without set_params), unless ZEV_BASECALL_TRACE_FOLDER
    /// names one; the trace files hold the lines of every client of the process. The "client_name"
    /// of the process's first accepted set_params names the files (<executable>_<name>_<UTC
    /// time>_<pid>_<n>.trace; a file already open keeps its name), when it holds only ASCII letters,
    /// digits, ".", "_" and "-". A client whose folder or name cannot take effect, or whose name
    /// cannot be part of a file name, gets one warning saying where its trace lines go.
    VexilClient(std::string address, std::string config_name, std::string trace_folder, bool log_bad_reads);
    ~VexilClient();
    VexilClient(const VexilClient&) = delete;
    VexilClient& operator=(const VexilClient&) = delete;

    /// Settings and connection options; already_connected once a connection exists.
    Result set_params(const bass::data_wrappers::Metadata& params);
    Result set_priority(Read::Priority priority);
    /// A hook the client's worker thread runs when it starts.
    Result set_callback_function(void (*callback)());
    /// Called on the client's notification thread (started with the first change to deliver) for
    /// every status change of the next connection, one at a time and in order. The handler may call
    /// connect, disconnect or finish on this client (or destroy it); no other call waits for it,
    /// except destruction, which waits for a call that is running only: changes not yet delivered
    /// when destruction begins, and those it causes, are dropped.
    Result set_state_change_handler(StateChangeHandler handler);

    /// Loads the configuration (and alignment index and BED file, when set) on the server and
    /// registers with it; blocks until connected or failed. A server that does not answer is tried
    /// again for the "reconnect_timeout" window: connect returns within that window plus one
    /// "query_timeout", however slowly the server answers (a server that answers LOADING is waited
    /// for up to "server_file_load_timeout", within that bound). A silence of the server is one
    /// warning after 3 s (at most one "query_timeout" later) and one every 30 s after, here and
    /// on a working connection, where it is counted from the server's last reply.
    Result connect();

    /// An accepted read's record is taken (the read is left cleared); a refused one is unchanged.
    /// A read that fails validate_read is refused as bad_read: among others one whose tag is in
    /// flight, from its acceptance until get_completed_reads has handed it back.
    /// `wait_ms` 0 waits the "pass_read_timeout" setting for room in the queue. A read too short to
    /// be called (fewer than 20 model strides of samples) is taken without waiting for room, is
    /// never sent and comes back at once, uncalled, through get_completed_reads.
    PassReadResult pass_read(Read& read, unsigned int wait_ms = 0);
    /// The list is taken whole or not at all: on success every read's record is taken and `reads`
    /// is left empty; on any other result `reads` holds every read, in its order, as passed. One bad
    /// read (or two reads sharing a tag) refuses the whole list as bad_read. A list has no rule for
    /// short reads: a read too short for pass_read to send is sent with the rest, and comes back
    /// called when the server calls it.
    PassReadResult pass_reads(std::vector<Read>& reads, unsigned int wait_ms = 0);
    /// True when the read carries what the server needs; otherwise `message` says what is missing.
    bool validate_read(const Read& read, std::string& message) const;

    /// Appends one inner vector per read tag (a read split by the server comes back as several
    /// reads with one tag). Reads the server could not call come back without a sequence.
    void get_completed_reads(std::vector<std::vector<Read>>& reads);
    unsigned long long num_completed_reads() const;
    /// Declares that no more reads will be passed.
    void no_more_data();
    /// Waits until every passed read is back, then ends the connection: success when every read
    /// came back called (a connection that fails after that is only logged), but for reads too short
    /// to be called that pass_read took, which are never sent and come back at once without a
    /// sequence; not_ready when
    /// `timeout_s` (0: no limit) ran out first; failed when reads came back uncalled for another
    /// reason. Reads not called come back through get_completed_reads either way. Returns within
    /// `timeout_s` plus one "query_timeout", the goodbye's wait included.
    Result finish(unsigned long long timeout_s);
    /// Ends the connection at once; reads still on their way come back uncalled through
    /// get_completed_reads, also after a later connect. Returns within one "query_timeout", the
    /// wait for the server's answer to the goodbye (a server that stopped answering is one warning
    /// in the log); two when it cuts short a registration, which it then ends on the server too.
    /// The same holds for the destructor (beyond a handler call that is running), and for finish
    /// once its own time-out has run out.
    Result disconnect();

    ConnectionStatus get_status() const;
    /// The error of a failed connection; empty otherwise.
    std::string get_error_message() const;
    /// The process's state report as JSON, this client under "VexilClient".
    std::string get_internal_state() const;
    /// This client's own report as JSON, under "VexilClient", whichever client the process's
    /// report shows: its settings and its connection's read counts.
    std::string get_client_state() const;
    /// What the server of the current (or last) connection loaded; no_connection, with `config` or
    /// `header` left alone, when no connection has loaded one (none yet, or the last connect failed).
    Result get_basecalling_config(bass::data_wrappers::Metadata& config);
    Result get_alignment_sam_header(std::string& header);
    Result get_connected_server_info(ConnectedServerInfo& info);

    static VersionTag get_data_wrappers_version();
    static VersionTag get_api_version();
    static VersionTag get_software_version();
    static VersionTag get_protocol_version();

private:
    std::unique_ptr<VexilClientImpl> m_impl;
};

}  // namespace vexil
