#pragma once

// The texts that help() shows for the module's classes and functions.
namespace tessellpy {
namespace docs {

constexpr const char* init = R"(Constructor connects to a basecall service at the specified port.

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

Return values:
    success: The parameters were set.
    already_connected: The parameters cannot be changed after connecting.
    failed: The dict was not formatted correctly.
)";

constexpr const char* get_status = R"(Get the status of the client.

:returns: A status code:
    connected: The client is connected to the server.
    disconnected: The client is not connected.
    error_state: The connection failed; see get_error_message().
)";

constexpr const char* get_error_message = R"(Get the error message, if any.

:returns: The current error message string, if any.
)";

constexpr const char* get_internal_state = R"(For diagnostics/debugging use only.

:returns: A string describing the client's internal state, useful when diagnosing an issue.
)";

constexpr const char* connect = R"(Connect to basecall server.

:returns: A result code:
    success, failed, already_connected, timed_out, invalid_response, basecall_config_unavailable,
    barcode_kit_unavailable, align_index_unavailable, bed_file_unavailable.
A connection failure puts the object into the error state.
)";

constexpr const char* pass_read = R"(Pass one read (pass_read) or a list of reads (pass_reads) to the server.

:param wait_duration_ms: When the input queue is full, block until space frees or this many ms
    have passed. Zero does not block.

A read is a dict with these fields:
    read_tag (int): A 32-bit non-negative value unique to this client.
    raw_data (numpy.ndarray): A 1-d array of signed 16-bit integers.
    read_id (str): The read id; not empty.
    daq_offset (float): The digitiser offset.
    daq_scaling (float): The digitiser scaling.
Other fields are ignored.

:returns: A pass_read_result code:
    success (read_accepted), not_accepting_reads, queue_full, bad_read.
)";

constexpr const char* get_completed_reads = R"(Get completed reads.

:returns: A list of lists of read dicts; empty when nothing is ready. A read that was not split
    yields a list of length 1.
)";

constexpr const char* finish = R"(Blocks until all reads are finished processing.

:param timeout: Timeout in seconds; zero means no timeout.
:returns: A result code: success, not_ready, failed or no_connection.
)";

constexpr const char* disconnect = R"(Put the client into the disconnected state.

Disconnects if needed and clears any error message; call it before reconnecting after an error.
Any reads still held are dropped.

:returns: A result code: success or no_connection.
)";

constexpr const char* get_basecalling_config = R"(Get the basecalling config used by this client.

:returns: A tuple (dict, code); code success or no_connection.
)";

constexpr const char* get_alignment_sam_header = R"(Get the SAM header of the alignment index in use.

:returns: A tuple (header, code); code success or no_connection.
)";

#define TESSELLPY_QUERY_CODES                                                                  \
    ":param address: The address of the server.\n"                                             \
    ":param timeout: Timeout in ms.\n"                                                         \
    ":returns: A tuple (answer, code). Codes:\n"                                               \
    "    success\n"                                                                            \
    "    failed\n"                                                                             \
    "    bad_reply: the server's protocol version was rejected by the client\n"               \
    "    bad_request: the request was rejected by the server\n"                                \
    "    invalid_response\n"                                                                   \
    "    timed_out: no server at the address, or no answer\n"

constexpr const char* get_barcode_kits =
        "Query method for retrieving barcode kits supported by the server.\n\n" TESSELLPY_QUERY_CODES;
constexpr const char* get_lamp_kits =
        "Query method for retrieving lamp kits supported by the server.\n\n" TESSELLPY_QUERY_CODES;
constexpr const char* get_server_stats =
        "Query method for retrieving the server statistics.\n\n" TESSELLPY_QUERY_CODES;
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
