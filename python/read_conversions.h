#pragma once

#include "client_api/read.h"

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace tessellpy {

namespace py = pybind11;

/// Fills `read` from a read dict. False when a value is refused or a required key is missing, with
/// `reason` naming the key, what it takes and what it was given. Integers and numpy integers are
/// taken where an int is, floats and numpy floating-point scalars where a float is (an int is not),
/// bools and numpy bools where a bool is. A key that is not a str or bytes, an integer beyond what
/// the stored type holds and text that cannot be encoded as UTF-8 raise a cast error naming the
/// key and the value's type.
bool dict_to_readholder(const py::dict& source, vexil::Read& read, std::string& reason);

/// The reads of a list of read dicts (or mappings), converted from a snapshot of the list. False at
/// the first read refused, `reason` naming its position; a TypeError for an item that is no mapping,
/// and a RuntimeError for a read dict that the conversion's own calls change in size.
bool read_list_to_readholders(const py::list& read_dicts, std::vector<vexil::Read>& reads, std::string& reason);

/// The read as a dict: read_tag, sub_tag, priority, metadata, datasets.
py::dict readholder_to_dict(const vexil::Read& read);
/// As above, the arrays taking over the buffers the read's datasets own rather than copying them.
py::dict readholder_to_dict(vexil::Read&& read);

/// Completed read groups as lists of read dicts. A read with alignment or base-modification data
/// gets its SAM lines under "alignment_sam_record" in its metadata; a read whose SAM lines cannot
/// be built comes back without them, and the failure is logged (logger "tessellpy").
py::list completed_reads_to_list(const std::vector<std::vector<vexil::Read>>& groups);
/// As above, the arrays taking over the buffers the reads' datasets own, and each group freed as
/// soon as it is converted.
py::list completed_reads_to_list(std::vector<std::vector<vexil::Read>>&& groups);

}  // namespace tessellpy
