#pragma once

#include "ipc_tools/vexil_ipc_generated.h"

namespace ipc_tools {

/// The protocol version this client speaks (16.0.0); initialised once, on first use.
const vexil_ipc::ProtocolVersion& current_version();

}  // namespace ipc_tools
