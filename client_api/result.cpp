#include "client_api/result.h"

#include <array>
#include <stdexcept>

namespace vexil {

namespace {

template <typename Enum, std::size_t N>
const char* text_of(Enum value, const std::array<const char*, N>& texts, const char* error) {
    const auto index = static_cast<std::int64_t>(value);
    if (index < 0 || index >= static_cast<std::int64_t>(N)) {
        throw std::runtime_error(error);
    }
    return texts[static_cast<std::size_t>(index)];
}

constexpr std::array<const char*, 16> RESULT_TEXTS{
        "success",
        "no_connection",
        "already_connected",
        "not_ready",
        "timed_out",
        "invalid_response",
        "basecall_config_unavailable",
        "barcode_kit_unavailable",
        "align_index_unavailable",
        "bed_file_unavailable",
        "align_index_no_seq",
        "file_load_timeout",
        "failed",
        "bad_request",
        "bad_reply",
        "invalid_aligner_options",
};

constexpr std::array<const char*, 8> STATUS_TEXTS{
        "disconnected",     "preparing_connection", "loading_config", "loading_alignment_index",
        "loading_bed_file", "connecting",           "connected",      "error",
};

constexpr std::array<const char*, 4> PASS_READ_TEXTS{"success", "not_accepting_reads", "queue_full", "bad_read"};

}  // namespace

std::string to_string(Result result) { return text_of(result, RESULT_TEXTS, "unrecognised Result value"); }

std::string to_string(ConnectionStatus status) {
    return text_of(status, STATUS_TEXTS, "unrecognised connection status");
}

std::string to_string(PassReadResult result) { return text_of(result, PASS_READ_TEXTS, "unrecognised PassReadResult"); }

std::ostream& operator<<(std::ostream& os, Result result) { return os << to_string(result); }
std::ostream& operator<<(std::ostream& os, ConnectionStatus status) { return os << to_string(status); }
std::ostream& operator<<(std::ostream& os, PassReadResult result) { return os << to_string(result); }

}  // namespace vexil
