#include "bam/bam_utils.h"

#include "bam/base_mod_context.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace bass::bam::util {

const std::string BAM_MAGIC_WORD("BAM\1", 4);
const std::string BAI_MAGIC_WORD("BAI\1", 4);
const std::string CIGAR_OP_CODES("MIDNSHP=X");
const std::string SEQ_CODES("=ACMGRSVTWYHKDBN");

namespace {

const std::string CANONICAL_BASES = "ACGT";

const std::map<std::string, std::string>& modbase_name_map() {
    static const std::map<std::string, std::string> names{
            {"6mA", "a"},   {"5mC", "m"},  {"5hmC", "h"}, {"5fc", "f"},  {"5caC", "c"},
            {"8oxoG", "o"}, {"5hmU", "g"}, {"5fU", "e"},  {"5caU", "b"},
    };
    return names;
}

bool is_canonical(char letter) { return CANONICAL_BASES.find(letter) != std::string::npos; }

}  // namespace

bool make_unmapped_sam_line(std::string& sam_line, const std::string& read_name, const std::string& sequence,
                            const std::string& qstring, std::string& error) {
    // A read without qualities has QUAL "*".
    if (!qstring.empty() && sequence.size() != qstring.size()) {
        error = "sequence and qscore do not match size!";
        return false;
    }
    if (read_name.empty()) {
        error = "Empty read_name string provided!";
        return false;
    }
    const std::string& seq_field = sequence.empty() ? std::string("*") : sequence;
    const std::string& qual_field = qstring.empty() ? std::string("*") : qstring;
    sam_line = read_name + "\t4\t*\t0\t0\t*\t*\t0\t0\t" + seq_field + "\t" + qual_field;
    return true;
}

bool get_modbase_channel_name(std::string& code, const std::string& long_name, std::string& error) {
    const auto& names = modbase_name_map();
    const auto found = names.find(long_name);
    if (found != names.end()) {
        code = found->second;
        return true;
    }
    if (std::all_of(long_name.begin(), long_name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        code = long_name;
        return true;
    }
    error = "Unknown modified base abbreviation: " + long_name;
    return false;
}

bool generate_modbase_string(std::string& out, const std::string& sequence, const std::string& alphabet,
                             const std::string& long_names, const std::string& context,
                             const data_wrappers::VecView<uint8_t>& probs, uint8_t threshold, std::string& error) {
    const std::size_t num_channels = alphabet.size();
    if (sequence.size() * num_channels != probs.size()) {
        error = "Mismatch between modbase_probs size and sequence length * num channels in "
                "modbase_alphabet!";
        return false;
    }
    out = "MM:Z:";
    std::string ml = "ML:B:C";

    BaseModContext base_mod_context;
    if (!context.empty() && !base_mod_context.decode(context)) {
        throw std::runtime_error("Invalid base modification context string.");
    }
    // A base called only within a motif reports every motif position ("?"); other bases omit
    // unreported positions, which readers take as unmodified (".").
    std::array<bool, 4> is_explicit{};
    for (std::size_t index = 0; index < CANONICAL_BASES.size(); ++index) {
        is_explicit[index] = base_mod_context.motif(CANONICAL_BASES[index]).size() >= 2;
    }

    // Bases as SAM readers count them: case-insensitive, U as T. Any other letter (N, IUPAC
    // codes) is no site of any channel.
    std::string bases = sequence;
    for (char& base : bases) {
        base = base == 'U' || base == 'u' ? 'T' : static_cast<char>(std::toupper(static_cast<unsigned char>(base)));
    }
    std::vector<int32_t> mask = base_mod_context.get_sequence_mask(bases);
    base_mod_context.update_mask(mask, bases, alphabet, probs, threshold);

    std::istringstream names(long_names);
    char canonical = '\0';
    for (std::size_t channel = 0; channel < num_channels; ++channel) {
        const char letter = alphabet[channel];
        if (is_canonical(letter)) {
            canonical = letter;
            continue;
        }
        std::string long_name;
        if (!(names >> long_name)) {
            // An empty code would give an entry such as "C+." that readers drop without notice.
            error = "Missing base modification long name for channel '" + std::string(1, letter) +
                    "' of modbase_alphabet " + alphabet + " (long names: '" + long_names + "')";
            return false;
        }
        std::string code;
        if (!get_modbase_channel_name(code, long_name, error)) {
            return false;
        }
        out += canonical;
        out += '+';
        out += code;
        out += is_explicit[CANONICAL_BASES.find(canonical)] ? '?' : '.';

        std::size_t skip = 0;
        for (std::size_t pos = 0; pos < bases.size(); ++pos) {
            if (bases[pos] != canonical) {
                continue;
            }
            if (mask[pos] == 1) {
                out += ',';
                out += std::to_string(skip);
                ml += ',';
                ml += std::to_string(static_cast<unsigned>(probs[pos * num_channels + channel]));
                skip = 0;
            } else {
                ++skip;
            }
        }
        out += ';';
    }
    out += '\t';
    out += ml;
    return true;
}

bool generate_modbase_string(std::string& out, const std::string& sequence, const std::string& alphabet,
                             const std::string& long_names, const data_wrappers::VecView<uint8_t>& probs,
                             uint8_t threshold, std::string& error) {
    return generate_modbase_string(out, sequence, alphabet, long_names, std::string(), probs, threshold, error);
}

bool generate_move_table_string(std::string& out, const data_wrappers::VecView<uint8_t>& moves, int8_t stride,
                                std::string& error) {
    if (moves.size() == 0) {
        error = "Zero length move table provided to generate_move_table_string";
        return false;
    }
    constexpr unsigned MAX_SIGNED_BYTE = 127;
    out = "mv:B:c," + std::to_string(static_cast<int>(stride));
    for (std::size_t i = 0; i < moves.size(); ++i) {
        unsigned value = moves[i];
        while (value >= MAX_SIGNED_BYTE) {
            out += ",127";
            value -= MAX_SIGNED_BYTE;
        }
        out += ',';
        out += std::to_string(value);
    }
    return true;
}

}  // namespace bass::bam::util
