#pragma once

#include "client_api/read.h"

#include <pybind11/pybind11.h>

#include <vector>

namespace tessellpy {

namespace py = pybind11;

/// Fills `read` from a read dict. False when a value is refused or a required key is missing; keys
/// that are not strings and integers beyond what the stored type holds raise a cast error.
bool dict_to_readholder(const py::dict& source, vexil::Read& read);

/// The read as a dict: read_tag, sub_tag, priority, metadata, datasets.
py::dict readholder_to_dict(const vexil::Read& read);

/// Completed read groups as lists of read dicts. A read with alignment or base-modification data
/// gets its SAM lines under "alignment_sam_record" in its metadata; a read whose SAM lines cannot
/// be built comes back without them, and the failure is logged (logger "tessellpy").
py::list completed_reads_to_list(const std::vector<std::vector<vexil::Read>>& groups);

}  // namespace tessellpy
