#pragma once

#include "reference_server/called_read.h"
#include "reference_server/fault_rules.h"
#include "reference_server/response.h"

#include <chrono>
#include <optional>
#include <string>

namespace reference_server {

/// What a fired fault rule does to one request: an answer in place of the normal one, or changes
/// to the state or to the normal answer.
struct FaultEffect {
    std::optional<Response> answer;      ///< sent instead of handling the request
    bool drop_reads = false;             ///< the client's reads are dropped
    bool forget_clients = false;         ///< every client is forgotten before the request is handled
    ReadCorruption corruption;           ///< applied to the read the request returns
    std::chrono::milliseconds delay{0};  ///< the normal reply goes out this much later
};

FaultEffect fault_effect(const FaultRule& rule, const std::string& client_id);

}  // namespace reference_server
