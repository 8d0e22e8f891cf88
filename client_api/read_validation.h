#pragma once

#include "interfaces/read_holder.h"

#include <string>

namespace vexil {

/// Whether a read carries what a server needs to call it: raw data as a non-empty one-dimensional
/// int16 view; "read_id" (text), "daq_offset" (finite float) and "daq_scaling" (finite float above
/// 0); with a duplex configuration also "channel", "mux", "run_id", "sampling_rate" and
/// "start_time" of their types; a tag that fits the 32 bits the protocol carries; sub tag 0. A
/// read refused here would otherwise fail at the server and end the connection with it, or fail
/// while its messages are built. False with `message` naming the key and what was wrong.
bool validate_read_record(const interfaces::ReadHolder& read, bool duplex, std::string& message);

}  // namespace vexil
