#pragma once

#include "data_wrappers/views.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bass::bam {

/// For each canonical base (A, C, G, T), the motif in which its modifications are called and
/// the index of the modified base inside that motif. Its text form is four ":"-separated fields
/// in base order, each "_" (no motif) or a motif with "X" marking the modified base, e.g.
/// "_:XG:_:_" for C called only in CG.
class BaseModContext {
public:
    BaseModContext();

    /// Throws std::out_of_range for a letter other than A, C, G or T.
    const std::string& motif(char base) const;
    std::size_t motif_offset(char base) const;

    /// Sets the motif of the base found at `offset` in `motif`. Motifs shorter than two letters
    /// are ignored; an offset outside the motif raises std::out_of_range and a non-ACGT letter
    /// at the offset std::runtime_error.
    void set_context(std::string motif, std::size_t offset);

    /// Reads a context text; returns false when it is malformed. Bases handled before the
    /// first bad field keep their new values.
    bool decode(const std::string& context);
    std::string encode() const;

    /// One value per sequence position: 1 where the position's base has a motif and the
    /// motif occurs around it, else 0. A letter other than A, C, G or T is never a site.
    std::vector<int32_t> get_sequence_mask(const std::string& sequence) const;

    /// Sets the mask to 1 at positions of motif-less bases where any modification channel of
    /// that base reaches `threshold`. `probs` holds one row per position, one column per
    /// alphabet letter.
    void update_mask(std::vector<int32_t>& mask, const std::string& sequence, const std::string& alphabet,
                     const data_wrappers::VecView<uint8_t>& probs, uint8_t threshold) const;

private:
    std::size_t slot(char base) const;

    std::map<char, std::size_t> m_base_index;
    std::array<std::string, 4> m_motifs;
    std::array<std::size_t, 4> m_motif_offsets;
};

}  // namespace bass::bam
