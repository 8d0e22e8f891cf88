#include "client_api/status_mapping.h"

#include <array>
#include <stdexcept>

namespace vexil {

ConnectionStatus to_connection_status(basecall_service::ClientStatus status) {
    const auto value = static_cast<std::int32_t>(status);
    if (value < 0 || value > static_cast<std::int32_t>(ConnectionStatus::error)) {
        throw std::runtime_error("unrecognised basecall_service::ClientStatus value");
    }
    return static_cast<ConnectionStatus>(value);
}

Result to_result(basecall_service::ConnectionError error) {
    // Indexed by the engine's ConnectionError.
    static constexpr std::array<Result, 13> RESULTS{
            Result::success,
            Result::bad_request,
            Result::bad_reply,
            Result::timed_out,
            Result::invalid_response,
            Result::basecall_config_unavailable,
            Result::barcode_kit_unavailable,
            Result::align_index_unavailable,
            Result::bed_file_unavailable,
            Result::align_index_no_seq,
            Result::invalid_aligner_options,
            Result::file_load_timeout,
            Result::failed,
    };
    const auto value = static_cast<std::int32_t>(error);
    if (value < 0 || value >= static_cast<std::int32_t>(RESULTS.size())) {
        throw std::runtime_error("unrecognised ConnectionError value");
    }
    return RESULTS[static_cast<std::size_t>(value)];
}

}  // namespace vexil
