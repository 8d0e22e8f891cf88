#include "bam/base_mod_context.h"

#include <boost/algorithm/string/split.hpp>

#include <stdexcept>
#include <utility>

namespace bass::bam {

namespace {

const std::string CANONICAL_BASES = "ACGT";

bool is_canonical(char letter) { return CANONICAL_BASES.find(letter) != std::string::npos; }

}  // namespace

BaseModContext::BaseModContext()
    : m_base_index{{'A', 0}, {'C', 1}, {'G', 2}, {'T', 3}}, m_motifs{}, m_motif_offsets{} {}

std::size_t BaseModContext::slot(char base) const { return m_base_index.at(base); }

const std::string& BaseModContext::motif(char base) const { return m_motifs[slot(base)]; }

std::size_t BaseModContext::motif_offset(char base) const { return m_motif_offsets[slot(base)]; }

void BaseModContext::set_context(std::string motif, std::size_t offset) {
    if (motif.size() < 2) {
        return;
    }
    const char base = motif.at(offset);
    if (!is_canonical(base)) {
        throw std::runtime_error("Invalid motif string '" + motif + "'.");
    }
    const auto index = slot(base);
    m_motifs[index] = std::move(motif);
    m_motif_offsets[index] = offset;
}

bool BaseModContext::decode(const std::string& context) {
    std::vector<std::string> fields;
    boost::algorithm::split(fields, context, [](char c) { return c == ':'; });
    if (fields.size() != CANONICAL_BASES.size()) {
        return false;
    }
    for (std::size_t index = 0; index < CANONICAL_BASES.size(); ++index) {
        const std::string& field = fields[index];
        if (field == "_") {
            m_motifs[index].clear();
            m_motif_offsets[index] = 0;
            continue;
        }
        const auto marker = field.find('X');
        if (marker == std::string::npos) {
            return false;
        }
        m_motifs[index] = field;
        m_motifs[index][marker] = CANONICAL_BASES[index];
        m_motif_offsets[index] = marker;
    }
    return true;
}

std::string BaseModContext::encode() const {
    std::string text;
    for (std::size_t index = 0; index < CANONICAL_BASES.size(); ++index) {
        if (index > 0) {
            text += ':';
        }
        if (m_motifs[index].empty()) {
            text += '_';
        } else {
            std::string field = m_motifs[index];
            field[m_motif_offsets[index]] = 'X';
            text += field;
        }
    }
    return text;
}

std::vector<int32_t> BaseModContext::get_sequence_mask(const std::string& sequence) const {
    std::vector<int32_t> mask(sequence.size(), 0);
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        // N, IUPAC codes and any other letter are no modification sites.
        if (!is_canonical(sequence[i])) {
            continue;
        }
        const auto index = slot(sequence[i]);
        const std::string& base_motif = m_motifs[index];
        const std::size_t offset = m_motif_offsets[index];
        if (base_motif.empty() || i < offset) {
            continue;
        }
        const std::size_t start = i - offset;
        if (start + base_motif.size() > sequence.size()) {
            continue;
        }
        if (sequence.compare(start, base_motif.size(), base_motif) == 0) {
            mask[i] = 1;
        }
    }
    return mask;
}

void BaseModContext::update_mask(std::vector<int32_t>& mask, const std::string& sequence, const std::string& alphabet,
                                 const data_wrappers::VecView<uint8_t>& probs, uint8_t threshold) const {
    const std::size_t num_channels = alphabet.size();
    if (num_channels == 0) {
        return;
    }
    // Every index below must stay inside the mask and the probabilities.
    if (mask.size() != sequence.size() || probs.size() < sequence.size() * num_channels) {
        throw std::out_of_range("Base modification mask, sequence and probabilities do not match in size.");
    }
    bool have_canonical = false;
    char canonical = '\0';
    for (std::size_t channel = 0; channel < num_channels; ++channel) {
        const char letter = alphabet[channel];
        if (is_canonical(letter)) {
            canonical = letter;
            have_canonical = true;
            continue;
        }
        if (!have_canonical) {
            // A modification channel needs a canonical base before it.
            throw std::out_of_range("Base modification alphabet '" + alphabet +
                                    "' does not begin with a canonical base.");
        }
        if (!m_motifs[slot(canonical)].empty()) {
            continue;
        }
        for (std::size_t pos = 0; pos < sequence.size(); ++pos) {
            if (sequence[pos] == canonical && probs[pos * num_channels + channel] >= threshold) {
                mask[pos] = 1;
            }
        }
    }
}

}  // namespace bass::bam
