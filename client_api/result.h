#pragma once

#include "client_api/export.h"

#include <cstdint>
#include <ostream>
#include <string>

namespace vexil {

/// Outcome of a call or a server query; the numbers are part of the interface.
enum class Result : std::int32_t {
    success = 0,
    no_connection = 1,
    already_connected = 2,
    not_ready = 3,
    timed_out = 4,
    invalid_response = 5,
    basecall_config_unavailable = 6,
    barcode_kit_unavailable = 7,
    align_index_unavailable = 8,
    bed_file_unavailable = 9,
    align_index_no_seq = 10,
    file_load_timeout = 11,
    failed = 12,
    bad_request = 13,
    bad_reply = 14,
    invalid_aligner_options = 15,
};

/// Connection state of one client, in the order in which a connection is built.
enum class ConnectionStatus : std::int32_t {
    disconnected = 0,
    preparing_connection = 1,
    loading_config = 2,
    loading_alignment_index = 3,
    loading_bed_file = 4,
    connecting = 5,
    connected = 6,
    error = 7,
};

/// Outcome of handing one read or a list of reads to a client.
enum class PassReadResult : std::int32_t {
    success = 0,
    not_accepting_reads = 1,
    queue_full = 2,
    bad_read = 3,
};

/// The enumerator's name; std::runtime_error for a value outside the enum.
VEXIL_EXPORT std::string to_string(Result result);
VEXIL_EXPORT std::string to_string(ConnectionStatus status);
VEXIL_EXPORT std::string to_string(PassReadResult result);

/// Writes exactly the text of to_string; an unknown value throws before anything is written.
VEXIL_EXPORT std::ostream& operator<<(std::ostream& os, Result result);
VEXIL_EXPORT std::ostream& operator<<(std::ostream& os, ConnectionStatus status);
VEXIL_EXPORT std::ostream& operator<<(std::ostream& os, PassReadResult result);

}  // namespace vexil
