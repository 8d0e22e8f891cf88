#pragma once

// Base sequences as text and as codes (A = 0, C = 1, G = 2, T = 3), reverse complements and
// k-mer states. A k-mer is packed two bits per base, the last base in the lowest bits.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace common {

/// One letter of "ACGT" per code; std::out_of_range for a code outside 0 to 3.
std::string seq_vector_to_string(const std::vector<int8_t>& codes);
std::string seq_vector_to_string(const int8_t* codes, std::size_t count);

/// One code per byte, either case; -1 for anything that is not a base.
std::vector<int32_t> string_to_seq_vector(const std::string& seq);

/// Fills `labels` with the 4^k k-mer texts (AA, AC, ... for k = 2) and `index` with their numbers.
/// k <= 0 gives none; a negative k throws std::length_error after both have been emptied;
/// k above 15 (more labels than a signed 32-bit count) throws std::out_of_range.
void build_labls(std::vector<std::string>& labels, std::map<std::string, int>& index, int k);

/// Value of the reverse complement of a k-mer of k bases; bits above the k-mer are ignored.
/// std::out_of_range for k above 32.
uint64_t rev_comp_kmer_value(uint64_t kmer, std::size_t k);

/// Reverse complement of an IUPAC text; bytes in `keep` are copied unchanged, anything the
/// table does not know (lower case and N included) becomes "X".
std::string reverse_complement_strand(const std::string& seq, const std::string& keep);

/// Reverse complement of base codes; std::out_of_range for a code outside 0 to 3.
std::vector<int8_t> reverse_complement_strand(const std::vector<int8_t>& codes);

/// The centre `reduced_k` bases of a k-mer state. With an odd number of bases to cut, `flag`
/// true cuts the extra base from the start, false from the end. std::out_of_range for k above 16.
int reduce_state(int state, int k, int reduced_k, bool flag);

}  // namespace common
