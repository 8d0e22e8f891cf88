#pragma once

#include "data_wrappers/metadata.h"
#include "ipc_tools/vexil_ipc_generated.h"

namespace basecall_service {

// Writes the barcoding, LAMP, adapter and primer detections of a called read into its metadata as
// 60 flat keys. Every key is written, even for a sub-table the server left out (its strings then
// read as empty and its numbers as 0), so a read always carries a complete set of barcoding keys.
// Each write replaces an earlier value of the key.
void write_barcoding_results(const vexil_ipc::BarcodeArrangementResults& barcoding,
                             bass::data_wrappers::Metadata& metadata);

// Number of keys write_barcoding_results writes.
constexpr int NUM_BARCODING_KEYS = 60;

}  // namespace basecall_service
