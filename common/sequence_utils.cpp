#include "common/sequence_utils.h"

#include <array>
#include <stdexcept>

namespace common {
namespace {

constexpr char base_letters[] = "ACGT";

// Every later lookup indexes a table with the code, so an invalid code must stop here.
int8_t checked_code(int8_t code) {
    if (code < 0 || code > 3) {
        throw std::out_of_range("Invalid base code " + std::to_string(code) + ": expected 0 to 3.");
    }
    return code;
}

const std::array<char, 256>& text_translation_dict() {
    static const std::array<char, 256> translationDict = [] {
        std::array<char, 256> table;
        table.fill('X');
        const char pairs[][2] = {{'A', 'T'}, {'B', 'V'}, {'C', 'G'}, {'D', 'H'}, {'G', 'C'}, {'H', 'D'}, {'K', 'M'},
                                 {'M', 'K'}, {'R', 'Y'}, {'S', 'S'}, {'T', 'A'}, {'V', 'B'}, {'W', 'W'}, {'Y', 'R'}};
        for (const auto& pair : pairs) {
            table[static_cast<unsigned char>(pair[0])] = pair[1];
        }
        return table;
    }();
    return translationDict;
}

const std::array<int8_t, 4>& code_translation_dict() {
    static const std::array<int8_t, 4> translationDict = {3, 2, 1, 0};
    return translationDict;
}

}  // namespace

std::string seq_vector_to_string(const int8_t* codes, std::size_t count) {
    std::string result(count, ' ');
    for (std::size_t i = 0; i < count; ++i) {
        result[i] = base_letters[checked_code(codes[i])];
    }
    return result;
}

std::string seq_vector_to_string(const std::vector<int8_t>& codes) {
    return seq_vector_to_string(codes.data(), codes.size());
}

std::vector<int32_t> string_to_seq_vector(const std::string& seq) {
    std::vector<int32_t> result;
    result.reserve(seq.size());
    for (const char c : seq) {
        switch (c) {
            case 'A':
            case 'a':
                result.push_back(0);
                break;
            case 'C':
            case 'c':
                result.push_back(1);
                break;
            case 'G':
            case 'g':
                result.push_back(2);
                break;
            case 'T':
            case 't':
                result.push_back(3);
                break;
            default:
                result.push_back(-1);
                break;
        }
    }
    return result;
}

void build_labls(std::vector<std::string>& labels, std::map<std::string, int>& index, int k) {
    // 4^15 labels is the most a signed 32-bit count holds.
    constexpr int max_k = 15;
    if (k > max_k) {
        throw std::out_of_range("k-mer length " + std::to_string(k) + " is too large for state labels (at most " +
                                std::to_string(max_k) + ").");
    }
    const std::size_t count = k > 0 ? (std::size_t{1} << (2 * k)) : 0;
    labels.resize(count);
    index.clear();
    if (k < 0) {
        throw std::length_error("cannot create std::vector larger than max_size()");
    }
    // Base-4 counter, digit 0 written last.
    std::vector<int> digits(static_cast<std::size_t>(k), 0);
    for (std::size_t i = 0; i < count; ++i) {
        std::string label(static_cast<std::size_t>(k), 'A');
        for (int d = 0; d < k; ++d) {
            label[static_cast<std::size_t>(k - 1 - d)] = base_letters[digits[static_cast<std::size_t>(d)]];
        }
        labels[i] = label;
        index[label] = static_cast<int>(i);
        for (auto& digit : digits) {
            if (++digit < 4) {
                break;
            }
            digit = 0;
        }
    }
}

uint64_t rev_comp_kmer_value(uint64_t kmer, std::size_t k) {
    if (k > 32) {
        throw std::out_of_range("k-mer length " + std::to_string(k) + " does not fit 64 bits (at most 32).");
    }
    uint64_t result = 0;
    for (std::size_t j = 0; j < k; ++j) {
        const uint64_t base = (kmer >> (2 * (k - 1 - j))) & 3u;
        result |= (~base & 3u) << (2 * j);
    }
    return result;
}

std::string reverse_complement_strand(const std::string& seq, const std::string& keep) {
    const auto& table = text_translation_dict();
    std::string result(seq.size(), ' ');
    const std::size_t n = seq.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char c = seq[n - 1 - i];
        result[i] = keep.find(c) != std::string::npos ? c : table[static_cast<unsigned char>(c)];
    }
    return result;
}

std::vector<int8_t> reverse_complement_strand(const std::vector<int8_t>& codes) {
    const auto& table = code_translation_dict();
    const std::size_t n = codes.size();
    std::vector<int8_t> result(n);
    for (std::size_t i = 0; i < n; ++i) {
        result[i] = table[static_cast<std::size_t>(checked_code(codes[n - 1 - i]))];
    }
    return result;
}

int reduce_state(int state, int k, int reduced_k, bool flag) {
    if (k <= reduced_k) {
        return state;
    }
    // A signed 32-bit state holds at most 16 bases; beyond that the shifts are undefined.
    constexpr int max_k = 16;
    if (k > max_k) {
        throw std::out_of_range("k-mer length " + std::to_string(k) + " does not fit a state (at most " +
                                std::to_string(max_k) + ").");
    }
    if (reduced_k <= 0) {
        return 0;
    }
    const int cut = k - reduced_k;
    const int cut_from_end = flag ? cut / 2 : (cut + 1) / 2;
    const unsigned shift = 2u * static_cast<unsigned>(cut_from_end);
    // Unsigned, so that a 16-base state with its top bit set is not sign-extended.
    const uint32_t mask = static_cast<uint32_t>((uint64_t{1} << (2 * reduced_k)) - 1);
    const uint32_t bits = static_cast<uint32_t>(state);
    return static_cast<int>(((mask << shift) & bits) >> shift);
}

}  // namespace common
