#pragma once

// Conversions from the engine's codes to the public ones (library-internal).

#include "basecall_client/client_connection_state.h"
#include "client_api/result.h"

namespace vexil {

/// The public status of the same number; std::runtime_error
/// "unrecognised basecall_service::ClientStatus value" for 8 or more.
ConnectionStatus to_connection_status(basecall_service::ClientStatus status);

/// The public result naming the same condition (the numbers differ, so this is a table, not a
/// cast); std::runtime_error "unrecognised ConnectionError value" for 13 or more.
Result to_result(basecall_service::ConnectionError error);

}  // namespace vexil
