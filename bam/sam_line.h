#pragma once

#include "bam/bam_record.h"

#include <string>
#include <vector>

// Conversion between one SAM alignment line and a BamRecord. Both operations return false and
// set `error` on bad input; a record left by a failed parse must be discarded.
namespace bass::bam::util {

/// Fills a fresh `record` from `line` (no line end), resolving RNAME and RNEXT through `refs`
/// (-1 for names not listed). Optional fields of types A, B, H, Z, f and i are kept in order.
/// Throws std::invalid_argument / std::out_of_range for unreadable or out-of-range numbers in
/// optional fields, and std::runtime_error for an array with more elements than commas.
bool parse_sam_line_to_bam_record(const std::string& line, BamRecord& record, const std::vector<RefSeq>& refs,
                                  std::string& error);

/// Writes `record` as a SAM line into `record.sam_line` (TLEN is always written as 0). The
/// long-CIGAR placeholder is replaced by the CIGAR of the record's "CG" field. Throws
/// boost::bad_any_cast when a field's value does not hold its letter's type, and
/// std::runtime_error when an array's data is shorter than its count.
bool update_sam_line(const std::vector<RefSeq>& refs, BamRecord& record, std::string& error);

}  // namespace bass::bam::util
