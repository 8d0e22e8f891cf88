#pragma once

// Kit definitions made from the engine's kit records (library-internal).

#include "basecall_client/server_proxy.h"
#include "client_api/server_query.h"

namespace vexil {
namespace server_query {

BarcodeKitDefinition create_barcode_kit_definition(const basecall_service::server_proxy::BarcodeKit& kit);
LampKitDefinition create_lamp_kit_definition(const basecall_service::server_proxy::LampKit& kit);

}  // namespace server_query
}  // namespace vexil
