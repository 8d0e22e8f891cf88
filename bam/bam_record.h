#pragma once

#include <boost/any.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bass::bam {

/// One entry of the caller's reference list; only the name is looked at.
struct RefSeq {
    std::string name;
    uint64_t length{0};
};

/// The value of a "B" optional field: `count` elements of subtype `type` (c, C, s, S, i, I or
/// f), stored back to back in native byte order.
struct AuxNumericalArray {
    char type{'\0'};
    uint32_t count{0};
    std::vector<uint8_t> data;
};

/// One optional field. `value` holds, by `type`: A char; B AuxNumericalArray; H and Z
/// std::string; f float; i int32_t; C uint8_t; c int8_t; S uint16_t; s int16_t; I uint32_t.
struct AuxData {
    std::string tag;
    char type{'\0'};
    boost::any value;
};

/// One alignment in the field layout of a BAM record. block_size, l_read_name and n_cigar_op
/// are not stored: the sizes of the strings and vectors carry them.
struct BamRecord {
    int32_t ref_id{-1};
    int32_t pos{-1};
    std::string read_name;
    uint8_t mapq{0};
    uint16_t bin{0};
    uint16_t flag{0};
    int32_t l_seq{0};
    int32_t next_ref_id{-1};
    int32_t next_pos{-1};
    int32_t tlen{0};
    /// Each word is (length << 4) | operation code.
    std::vector<uint32_t> cigar;
    /// Reference span summed from the CIGAR text (1 for "*").
    uint64_t ref_length{0};
    /// 4-bit base codes, first base of each pair in the high nibble.
    std::vector<uint8_t> seq;
    /// Phred qualities; 255 throughout when absent.
    std::vector<uint8_t> qual;
    std::vector<AuxData> aux;
    std::string sam_line;
};

}  // namespace bass::bam

// Conversions of the variable record fields between SAM text and packed BAM form, and the
// lookups and bin arithmetic they need.
namespace bass::bam::util::internal {

/// Largest operation length a packed CIGAR word can hold (28 bits).
constexpr uint32_t MAX_CIGAR_OP_LENGTH = (1U << 28) - 1;
/// Operation counts at or above this are stored in a "CG" field behind a placeholder CIGAR.
constexpr std::size_t LONG_CIGAR_OP_COUNT = 65536;

/// Maps every char to -1, then each letter of `alphabet` to its position (last one wins).
std::map<char, int> fillmap(const std::string& alphabet);

/// Index of the first reference named exactly `name`, or -1.
int32_t get_ref_index(const std::vector<RefSeq>& refs, const std::string& name);

/// "*" for -1, the reference's name for a valid index; false (and `out` unchanged) otherwise.
bool get_ref_name(const std::vector<RefSeq>& refs, int32_t id, std::string& out);

/// Bin of the region [beg, end) under the 5-level binning scheme; 0 when no level holds it.
uint16_t reg_to_bin(int32_t beg, int32_t end);

/// Appends every bin overlapping [beg, end), starting with 0, largest bins first.
void reg_to_bins(int32_t beg, int32_t end, std::vector<uint16_t>& bins);

/// Fixed notation with six decimals, trailing zeros removed, and the point with them ("2", "0.25").
std::string float_to_stripped_string(float value);

/// Packs `cigar_text` into `record.cigar` and sums its reference span. A CIGAR of 65,536
/// operations or more goes into a "CG" field of `record.aux` behind the placeholder
/// "<seq_length>S<span>N".
bool pack_cigar_string(const std::string& cigar_text, BamRecord& record, uint64_t& ref_length_out, uint64_t seq_length,
                       std::string& error);

/// Packs the bases of `seq_text` ("*" for none) into `record.seq` and sets `record.l_seq`.
/// Lower-case letters pack as their upper case, '.' as N and U as T.
bool pack_seq_string(const std::string& seq_text, BamRecord& record, std::string& error);

/// Fills `record.qual` from Phred+33 text; "*" (or text too short for `l_seq`) marks the
/// qualities absent. Must follow pack_seq_string.
void pack_phred_string(const std::string& qual_text, BamRecord& record);

/// Writes the CIGAR text of `n_ops` words ("*" for none). `is_placeholder` tells whether the
/// first operation is a soft clip of at least `l_seq` bases, i.e. the long-CIGAR placeholder.
void unpack_cigar_string(const uint32_t* ops, uint64_t n_ops, std::string& out, uint64_t l_seq, bool& is_placeholder);

/// Appends the bases of the record ("*" when it has none). False when `seq` holds fewer bytes
/// than `l_seq` needs; nothing is appended then.
bool unpack_seq_string(const BamRecord& record, std::string& out);

/// Writes the Phred+33 qualities, or "*" when they are absent or fewer than `l_seq`.
bool unpack_phred_string(const BamRecord& record, std::string& out);

/// Splits a BGZF virtual offset into the compressed-block offset and the in-block offset.
void unpack_virtual_offset(uint64_t voffset, uint64_t& file_offset, uint16_t& block_offset);

}  // namespace bass::bam::util::internal
