#pragma once

#include "data_wrappers/views.h"

#include <cstdint>
#include <string>

// SAM text for one read: the unmapped record line and the MM/ML and mv tags. Each operation
// returns false and sets `error` on bad input; `out` is then unchanged or partly built and must
// be discarded.
namespace bass::bam::util {

/// Magic of a BAM file: "BAM" followed by the byte 1.
extern const std::string BAM_MAGIC_WORD;
/// Magic of a BAM index file: "BAI" followed by the byte 1.
extern const std::string BAI_MAGIC_WORD;
/// CIGAR operation letters; an operation's BAM code is its position here.
extern const std::string CIGAR_OP_CODES;
/// Base letters; a base's 4-bit BAM code is its position here.
extern const std::string SEQ_CODES;

/// Replaces `sam_line` by the eleven mandatory fields of an unmapped record (FLAG 4), without
/// tags or line terminator. SEQ and QUAL are "*" when empty.
bool make_unmapped_sam_line(std::string& sam_line, const std::string& read_name, const std::string& sequence,
                            const std::string& qstring, std::string& error);

/// One-letter SAM code of a modified base given by its long name ("5mC" -> "m"); an all-digit
/// name is a numeric code and stands for itself.
bool get_modbase_channel_name(std::string& code, const std::string& long_name, std::string& error);

/// The MM and ML tags, separated by a tab: "MM:Z:..." then "ML:B:C,...". `probs` holds one row
/// per sequence position and one column per alphabet letter; `long_names` names each
/// modification letter of the alphabet in order. Positions are reported where the context
/// motif occurs, or, for bases without a motif, where a probability reaches `threshold`.
/// Throws std::runtime_error for a context text that does not decode, and std::out_of_range
/// for a sequence or alphabet letter that is not a canonical base where one is needed.
bool generate_modbase_string(std::string& out, const std::string& sequence, const std::string& alphabet,
                             const std::string& long_names, const std::string& context,
                             const data_wrappers::VecView<uint8_t>& probs, uint8_t threshold, std::string& error);

/// As above, without a context.
bool generate_modbase_string(std::string& out, const std::string& sequence, const std::string& alphabet,
                             const std::string& long_names, const data_wrappers::VecView<uint8_t>& probs,
                             uint8_t threshold, std::string& error);

/// The move-table tag "mv:B:c,<stride>,<moves>..."; moves of 127 or more are written as runs
/// of 127 followed by the remainder, since the tag holds signed bytes.
bool generate_move_table_string(std::string& out, const data_wrappers::VecView<uint8_t>& moves, int8_t stride,
                                std::string& error);

}  // namespace bass::bam::util
