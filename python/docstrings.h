#pragma once

// The texts that help() shows for the module's classes and functions.
namespace tessellpy {
namespace docs {

constexpr const char* client_class = R"(Client of a Vexil basecall server.

One object drives 1 to 100 library clients, all connected to the same server with the same
configuration, and hands them reads in rotation. A session: set_params() (optional), connect(),
pass_read() or pass_reads(), get_completed_reads() until every read is back, finish() or disconnect().

Calls that can block (connect, pass_read and pass_reads while they wait for room, finish,
disconnect) release the interpreter lock, so other Python threads run meanwhile and may call into
the same object, and they let Ctrl-C raise KeyboardInterrupt within 100 ms; each call's docstring
says in which state an interrupt leaves the object.

Read tags: a read's read_tag is in flight from its acceptance until get_completed_reads has handed
the read back (the entry with sub_tag 0). A read whose tag is in flight in any library client of
this object is refused as bad_read, with a warning on the "tessellpy" logger.

Logging: refusals are explained on the "tessellpy" logger; the library's own warnings and errors
(a silent server, a lost connection) go to the "tessellpy.library" logger, with their severity,
when a call of the module returns or while it waits. Configure or silence them through logging.
A KeyboardInterrupt raised by a handler ends the call as Ctrl-C does; another exception from a
handler or filter is reported as logging reports a handler's failure, and the other records go on.
Exit: the interpreter's exit ends the connections of every object still alive after all atexit
handlers have run, whenever they were registered, so a handler can still finish and collect its
reads. All objects end together, while logging still takes the library's records (stderr after):
a server that stopped answering costs one query_timeout in all, and Ctrl-C ends that wait at once.

Deleting the object ends all its library clients at once, as disconnect() does; Ctrl-C during that
wait raises KeyboardInterrupt just after the deletion, and the clients end in the background,
waited for at exit.

Fork: the object belongs to the process that made it. In a child process (os.fork, multiprocessing
with the fork start method) every call raises RuntimeError, and deleting it there touches nothing
of the parent's connection. Make a new VexilClient in the child.
)";

constexpr const char* init = R"(Create the client; it does not connect: call connect().

:param address: The address the server listens to, e.g. "ipc:///tmp/server.sock" or "tcp://127.0.0.1:5555".
:param config: The name of the configuration to use on the server.
:param num_threads: The number of internal worker threads (library clients) used to talk to the server, 1 to 100.
)";

constexpr const char* set_params = R"(Parameter setter for connection to the server.

:param params: A dict of named parameters.
:returns: A result code.

Allowed parameters:
    client_name (str): A name for the client, used in log and trace file names.
    query_timeout (int): Timeout in ms for any request to the server. Default 2000 ms.
    server_file_load_timeout (int): Timeout in s for the server to load files. Default 180 s.
    pass_read_timeout (int): Timeout in ms used by pass_read when it is given 0. Default 0 (pass_read does not block).
    connection_timeout (int): Timeout in ms for a connection attempt. Default 15000 ms.
    reconnect_timeout (int): Time in s during which a lost connection is retried. Default 300 s.
    max_message_size (int): Samples per read block sent to the server. Default 256000.
    max_reads_queued (int): Reads (or batches) waiting to be sent. Default 20.
    max_server_read_failures (int): Times a read may fail on the server before it is returned uncalled. Default 10.
    priority (read_priority): Priority of this client and its reads. Default medium_priority.
    move_and_trace_enabled (bool): Return move and trace data. Default False.
    post_out (bool): Return full state data. Default False.
    barcode_kits (list of str): Barcode kits to detect. Default: no barcoding.
    lamp_kit (str): LAMP kit to detect.
    require_barcodes_both_ends (bool): Barcodes must be found at both ends. Default False.
    detect_mid_strand_barcodes (bool): Search for barcodes inside the strand. Default False.
    detect_mid_strand_adapter (bool): Search for adapters inside the strand. Default False.
    min_score_barcode_front (float): Minimum score of a front barcode. Default 60.
    min_score_barcode_rear (float): Minimum score of a rear barcode. Default: the front minimum.
    min_score_barcode_mid (float): Minimum score of a mid-strand barcode. Default 50.
    detect_adapter (bool): Detect adapters.
    detect_primer (bool): Detect primers.
    min_score_adapter (float): Minimum adapter score. Default 60.
    min_score_primer (float): Minimum primer score. Default 60.
    enable_trim_barcodes (bool): Trim barcodes. Default False.
    trim_adapters (bool): Trim adapters. Default False.
    trim_primers (bool): Trim primers. Default False.
    align_ref (str): Alignment index file. Default: no alignment.
    bed_file (str): BED file of regions of interest.
    align_type (str): "auto", "coarse" or "full". Default "auto".
    min_score_lamp (float): Minimum LAMP score. Default 80.
    min_score_lamp_mask (float): Minimum LAMP mask score. Default 50.
    min_score_lamp_target (float): Minimum LAMP target score. Default 50.
    additional_lamp_context_bases (int): Extra context bases for LAMP. Default 2.
    barcode_list (list of str): Barcodes to report. Default: no restriction.
    pair_by_channel (bool): Pair duplex reads by channel. Default False: pairing by time.

An int parameter takes an int (or numpy integer) within its range, not a bool or a float; a float
parameter any real number but a bool; a str parameter a str, a list or tuple of str (joined with
spaces) or None (""). A value of another type is refused: nothing is changed, and a warning on the
"tessellpy" logger names the parameter, what it takes and what it was given.

Return values:
    success: The parameters were set.
    already_connected: The parameters cannot be changed after connecting (or while connect,
        finish or disconnect is under way).
    failed: The dict was not formatted correctly (see the warning).
)";

constexpr const char* get_status = R"(Get the status of the client.

:returns: A status code:
    The worst status among the library clients: error_state when any is in error, else
    disconnected when any is not connected, else the earliest stage any has reached; connected
    only when every one is. While connect is under way the clients it has not reached yet are
    left out.
    disconnected: Not connected.
    preparing_connection, loading_config, loading_alignment_index, loading_bed_file, connecting:
        The stages of a connect under way (or of the library reconnecting on its own).
    connected: Every library client is connected to the server.
    error_state: A connection failed; see get_error_message(). connect() brings it back.
)";

constexpr const char* get_error_message = R"(Get the error message, if any.

:returns: The current error message string, if any: one line per library client in error, and why
    the last connect failed when it disconnected the clients it had connected.
)";

constexpr const char* get_internal_state = R"(For diagnostics/debugging use only.

:returns: A string describing the internal state of this object's library clients, useful when
    diagnosing an issue: one line per client, each a JSON object; under "library_client" the
    settings that library client holds and its connection's read counts.
)";

constexpr const char* connect = R"(Connect to basecall server.

Connects the library clients one after the other; waits for connect, finish or disconnect calls
still under way on this object first. Clients already connected stay connected; a client in the
error state is disconnected (its reads come back uncalled through get_completed_reads()) and
connected again.

:returns: A result code:
    success, failed, already_connected, timed_out, invalid_response, basecall_config_unavailable,
    barcode_kit_unavailable, align_index_unavailable, bed_file_unavailable, or a code without a
    name (printed with its number and meaning). already_connected when every client was
    connected already.
When the first library client fails, the object is in the error state (get_status() says
error_state; call disconnect() before connecting again). When a later one fails, every client is
disconnected again and get_error_message() says why.

disconnect() from another thread ends a connect within a second; connect then returns failed.
Ctrl-C raises KeyboardInterrupt within 100 ms; the connection is then ended in the background, and
until that is done get_status() shows the attempt and set_params() returns already_connected;
disconnect() and connect() wait for it.
)";

#define TESSELLPY_READ_FIELDS                                                                                       \
    "A read is a dict with these fields:\n"                                                                         \
    "    read_tag (int): A 32-bit non-negative value; no two reads in flight may share one.\n"                      \
    "    raw_data (numpy.ndarray): A 1-d array of signed 16-bit integers.\n"                                        \
    "    read_id (str): The read id; not empty.\n"                                                                  \
    "    daq_offset (float): The digitiser offset.\n"                                                               \
    "    daq_scaling (float): The digitiser scaling.\n"                                                             \
    "Other fields, and keys that are not str (bytes included), are ignored. numpy scalars are taken as the Python " \
    "numbers they equal, but a\n"                                                                                   \
    "float field takes no int (give 0.0, not 0). A refused read is explained by a warning on\n"                     \
    "the \"tessellpy\" logger; an integer outside its field's range (a negative channel or\n"                       \
    "mux included), or text that cannot be encoded as UTF-8, raises RuntimeError naming the\n"                      \
    "field. pass_reads raises TypeError naming the position of an item that is not a dict.\n\n"

// What pass_read and pass_reads each do with a read too short to call, as the library does.
#define TESSELLPY_SHORT_READ                                                                        \
    "A read with fewer samples than 20 model strides (model_stride of get_basecalling_config) is\n" \
    "too short to call: it is taken but not sent, and comes back uncalled (without a sequence)\n"   \
    "through get_completed_reads at once; its read_tag is held until then, as any read's is.\n\n"
#define TESSELLPY_SHORT_READS                                                                       \
    "A list has no rule for short reads: a read too short for pass_read to send is sent with the\n" \
    "rest, and comes back called when the server calls it.\n\n"

constexpr const char* pass_read =
        "Pass one read to the server.\n\n"
        ":param read: The read (a dict, see below).\n"
        ":param wait_duration_ms: When the input queue is full, block until space frees or this many ms\n"
        "    have passed. Zero waits the pass_read_timeout parameter (0 by default: no "
        "waiting).\n\n" TESSELLPY_READ_FIELDS TESSELLPY_SHORT_READ
        ":returns: A pass_read_result code:\n"
        "    read_accepted: The read was taken.\n"
        "    not_accepting_reads: The client is not connected, or finishing.\n"
        "    queue_full: No room came within the wait.\n"
        "    bad_read: The read was refused (see the warning); nothing was passed.\n\n"
        "Ctrl-C raises KeyboardInterrupt within 100 ms. Raised while the call waits for room, the read\n"
        "was not passed; but a Ctrl-C that arrives as the call returns is raised in place of its result,\n"
        "and the read may have been taken. To tell, pass the same read again: bad_read with the\n"
        "warning \"read tag N is already in flight\" means it was taken, and it comes back through\n"
        "get_completed_reads as usual; any other result means it was not (read_accepted: it is now).\n";

constexpr const char* pass_reads =
        "Pass a list of reads to the server, all to the same library client.\n\n"
        ":param reads: A list of reads (dicts, see below; other items are converted with dict()).\n"
        ":param wait_duration_ms: As for pass_read.\n\n"
        "The list is taken whole or not at all, and is never changed: read_accepted means every read\n"
        "was taken; any other result means none was, so the same list can be passed again as it is:\n\n"
        "    while client.pass_reads(reads, 1000) == tessellpy.queue_full:\n"
        "        collect_some(client.get_completed_reads())\n\n" TESSELLPY_READ_FIELDS TESSELLPY_SHORT_READS
        ":returns: A pass_read_result code as for pass_read; bad_read also when two reads of the\n"
        "    list share a read_tag.\n\n"
        "Ctrl-C raises KeyboardInterrupt within 100 ms. Raised while the call waits for room, no read\n"
        "was passed; but a Ctrl-C that arrives as the call returns is raised in place of its result,\n"
        "and the list may have been taken. To tell, pass the same list again: bad_read with the\n"
        "warning \"read tag N is already in flight\" means it was taken, and its reads come back through\n"
        "get_completed_reads as usual; any other result means it was not (read_accepted: it is now).\n";

#undef TESSELLPY_READ_FIELDS
#undef TESSELLPY_SHORT_READ
#undef TESSELLPY_SHORT_READS

constexpr const char* get_completed_reads = R"(Get completed reads.

Reads not called come back too, without a sequence. Handing a read back (the entry with sub_tag 0)
frees its read_tag for another read. Reads a connection left uncollected are still handed back
after the next connect.

:returns: A list of lists of read dicts; empty when nothing is ready. A read that was not split
    yields a list of length 1.
)";

constexpr const char* finish = R"(Blocks until all reads are finished processing, then ends the connection.

Finishes the library clients all at once, so that many take no longer than one; waits for
connect, finish or disconnect calls still under way on this object first. Reads that were not called come back through
get_completed_reads() either way.

:param timeout: Timeout in seconds for each library client; zero means no timeout.
:returns: A result code: success (every read came back called), not_ready (the timeout ran out
    first), failed (reads came back uncalled for another reason) or no_connection.

disconnect() from another thread ends a finish within a second; finish then returns failed.
Ctrl-C raises KeyboardInterrupt within 100 ms; the connection is then ended in the background, and
the reads already accepted come back (uncalled where need be) through get_completed_reads();
disconnect() returns once that is done.
)";

constexpr const char* disconnect = R"(Put the client into the disconnected state.

Disconnects if needed (all library clients at once) and clears any error message; call it before
reconnecting after an error.
Reads still queued or on the server are not called: they come back uncalled through
get_completed_reads() and hold their read tags until collected there. May be called
from another thread to end a connect or finish under way there, which then returns within a
second; disconnect itself returns once every library client is disconnected.

:returns: A result code: success when it ended a connection (or a connect or finish under way),
    no_connection when there was none.

Ctrl-C raises KeyboardInterrupt within 100 ms; the disconnection goes on in the background.
)";

constexpr const char* get_basecalling_config = R"(Get the basecalling config used by this client.

:returns: A tuple (dict, code); code success or no_connection.
)";

constexpr const char* get_alignment_sam_header = R"(Get the SAM header of the alignment index in use.

:returns: A tuple (header, code); code success or no_connection.
)";

#define TESSELLPY_QUERY_CODES                                                                   \
    ":param address: The address of the server.\n"                                              \
    ":param timeout: Timeout in ms.\n"                                                          \
    ":returns: A tuple (answer, code). Codes:\n"                                                \
    "    success\n"                                                                             \
    "    failed\n"                                                                              \
    "    bad_reply: the server's protocol version was rejected by the client\n"                 \
    "    bad_request: the request was rejected by the server\n"                                 \
    "    invalid_response\n"                                                                    \
    "    timed_out: no server at the address, or no answer\n"                                   \
    "Ctrl-C raises KeyboardInterrupt within 100 ms; the query itself runs to its time-out in\n" \
    "the background, and the interpreter waits for it when it exits.\n"

constexpr const char* get_barcode_kits =
        "Query method for retrieving barcode kits supported by the server.\n\n" TESSELLPY_QUERY_CODES;
constexpr const char* get_lamp_kits =
        "Query method for retrieving lamp kits supported by the server.\n\n" TESSELLPY_QUERY_CODES;
constexpr const char* get_server_stats = "Query method for retrieving the server statistics.\n\n" TESSELLPY_QUERY_CODES;
constexpr const char* get_server_information =
        "Query method for retrieving information about the server.\n\n"
        "The information string is JSON encoded server information, for example a \"vexil_version\"\n"
        "and a \"protocol_version\" entry, the processing mode and the devices in use and unused.\n"
        "Fields may be added in future versions.\n\n" TESSELLPY_QUERY_CODES;
constexpr const char* get_server_internal_state = "For diagnostics/debugging use only.\n\n" TESSELLPY_QUERY_CODES;

#undef TESSELLPY_QUERY_CODES

constexpr const char* get_software_version = R"(Get the Vexil software version that the library was compiled from.

:returns: A tuple containing the major, minor, and patch version numbers.
)";

constexpr const char* get_protocol_version = R"(Get the Vexil protocol version that the server client is using.

:returns: A tuple containing the major, minor, and patch version numbers.
)";

}  // namespace docs
}  // namespace tessellpy
