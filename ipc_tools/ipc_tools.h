#pragma once

// Everything a user of the IPC layer needs: messages, the request broker and its errors,
// connection strings and the registered client options.
#include "ipc_tools/client_options.h"
#include "ipc_tools/connection_info.h"
#include "ipc_tools/connection_string.h"
#include "ipc_tools/message.h"
#include "ipc_tools/message_type.h"
#include "ipc_tools/request_broker.h"
#include "ipc_tools/request_errors.h"
