#include "bam/bam_record.h"

#include "bam/bam_utils.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace bass::bam::util::internal {

namespace {

constexpr uint8_t ABSENT_QUALITY = 255;
constexpr int PHRED_OFFSET = 33;

const std::map<char, int>& cigar_op_codes_map() {
    static const std::map<char, int> CIGAR_OP_CODES_MAP = fillmap(CIGAR_OP_CODES);
    return CIGAR_OP_CODES_MAP;
}

const std::map<char, int>& seq_codes_map() {
    static const std::map<char, int> SEQ_CODES_MAP = [] {
        auto codes = fillmap(SEQ_CODES);
        codes['U'] = codes.at('T');
        // SAM sequences are case-insensitive, and '.' stands for an unknown base.
        for (const char letter : SEQ_CODES + "U") {
            if (letter >= 'A' && letter <= 'Z') {
                codes[static_cast<char>(letter - 'A' + 'a')] = codes.at(letter);
            }
        }
        codes['.'] = codes.at('N');
        return codes;
    }();
    return SEQ_CODES_MAP;
}

bool consumes_reference(char op) { return op == 'M' || op == 'D' || op == 'N' || op == '=' || op == 'X'; }

// Packs plain CIGAR text into `ops`, summing the reference span.
bool pack_cigar_ops(const std::string& cigar_text, std::vector<uint32_t>& ops, uint64_t& ref_length,
                    std::string& error) {
    const auto& codes = cigar_op_codes_map();
    ref_length = 0;
    const char* cursor = cigar_text.c_str();
    const char* const text_end = cursor + cigar_text.size();
    while (cursor < text_end) {
        char* after_count = nullptr;
        errno = 0;
        const long long count = std::strtoll(cursor, &after_count, 10);
        const bool count_overflowed = errno == ERANGE;
        // The terminating NUL stands in as the letter when the text ends on a count.
        const char letter = after_count < text_end ? *after_count : '\0';
        const int code = codes.at(letter);
        if (code < 0) {
            error = std::string("Invalid cigar op detected: '") + letter + "'";
            return false;
        }
        // A length outside 28 bits would spill into the operation code or wrap.
        if (count_overflowed || count < 0 || count > static_cast<long long>(MAX_CIGAR_OP_LENGTH)) {
            error = "Invalid cigar op length detected: " + std::string(cursor, static_cast<const char*>(after_count));
            return false;
        }
        if (consumes_reference(letter)) {
            ref_length += static_cast<uint64_t>(count);
        }
        ops.push_back((static_cast<uint32_t>(count) << 4) | static_cast<uint32_t>(code));
        cursor = after_count + 1;
    }
    return true;
}

}  // namespace

std::map<char, int> fillmap(const std::string& alphabet) {
    std::map<char, int> codes;
    for (int value = std::numeric_limits<char>::min(); value <= std::numeric_limits<char>::max(); ++value) {
        codes[static_cast<char>(value)] = -1;
    }
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
        codes[alphabet[i]] = static_cast<int>(i);
    }
    return codes;
}

int32_t get_ref_index(const std::vector<RefSeq>& refs, const std::string& name) {
    for (std::size_t i = 0; i < refs.size(); ++i) {
        if (refs[i].name == name) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

bool get_ref_name(const std::vector<RefSeq>& refs, int32_t id, std::string& out) {
    if (id == -1) {
        out = "*";
        return true;
    }
    if (id < 0 || static_cast<std::size_t>(id) >= refs.size()) {
        return false;
    }
    out = refs[static_cast<std::size_t>(id)].name;
    return true;
}

uint16_t reg_to_bin(int32_t beg, int32_t end_exclusive) {
    // 64-bit so that decrementing the smallest end cannot overflow.
    const int64_t first = beg;
    const int64_t last = static_cast<int64_t>(end_exclusive) - 1;
    if (first >> 14 == last >> 14)
        return static_cast<uint16_t>(4681 + (first >> 14));
    if (first >> 17 == last >> 17)
        return static_cast<uint16_t>(585 + (first >> 17));
    if (first >> 20 == last >> 20)
        return static_cast<uint16_t>(73 + (first >> 20));
    if (first >> 23 == last >> 23)
        return static_cast<uint16_t>(9 + (first >> 23));
    if (first >> 26 == last >> 26)
        return static_cast<uint16_t>(1 + (first >> 26));
    return 0;
}

void reg_to_bins(int32_t beg, int32_t end_exclusive, std::vector<uint16_t>& bins) {
    struct Level {
        int64_t offset;
        int shift;
    };
    constexpr Level LEVELS[] = {{1, 26}, {9, 23}, {73, 20}, {585, 17}, {4681, 14}};
    const int64_t first = beg;
    const int64_t last = static_cast<int64_t>(end_exclusive) - 1;
    bins.push_back(0);
    for (const auto& level : LEVELS) {
        for (int64_t bin = level.offset + (first >> level.shift); bin <= level.offset + (last >> level.shift); ++bin) {
            bins.push_back(static_cast<uint16_t>(bin));
        }
    }
}

std::string float_to_stripped_string(float value) {
    const double widened = value;
    const int length = std::snprintf(nullptr, 0, "%.6f", widened);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%.6f", widened);
    text.resize(static_cast<std::size_t>(length));
    const auto point = text.find('.');
    if (point != std::string::npos) {
        // SAM's float syntax has no trailing point: 3.000000 becomes 3.
        const auto last_kept = text.find_last_not_of('0');
        text.resize(last_kept == point ? point : last_kept + 1);
    }
    return text;
}

bool pack_cigar_string(const std::string& cigar_text, BamRecord& record, uint64_t& ref_length_out, uint64_t seq_length,
                       std::string& error) {
    if (cigar_text == "*") {
        ref_length_out = 1;
        return true;
    }
    std::vector<uint32_t> ops;
    if (!pack_cigar_ops(cigar_text, ops, ref_length_out, error)) {
        return false;
    }
    if (ops.size() < LONG_CIGAR_OP_COUNT) {
        record.cigar = std::move(ops);
        return true;
    }
    // Too many operations for n_cigar_op: the full CIGAR moves to a CG field.
    AuxNumericalArray array;
    array.type = 'I';
    array.count = static_cast<uint32_t>(ops.size());
    array.data.resize(ops.size() * sizeof(uint32_t));
    std::memcpy(array.data.data(), ops.data(), array.data.size());
    record.aux.push_back(AuxData{"CG", 'B', array});

    const std::string placeholder = std::to_string(seq_length) + "S" + std::to_string(ref_length_out) + "N";
    std::vector<uint32_t> placeholder_ops;
    uint64_t scratch_span = 0;
    if (!pack_cigar_ops(placeholder, placeholder_ops, scratch_span, error)) {
        return false;
    }
    record.cigar = std::move(placeholder_ops);
    return true;
}

bool pack_seq_string(const std::string& seq_text, BamRecord& record, std::string& error) {
    if (seq_text == "*") {
        record.l_seq = 0;
        record.seq.clear();
        return true;
    }
    if (seq_text.empty() || seq_text.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
        error = "Invalid sequence code detected";
        return false;
    }
    record.l_seq = static_cast<int32_t>(seq_text.size());
    record.seq.assign((seq_text.size() + 1) / 2, 0);
    const auto& codes = seq_codes_map();
    for (std::size_t i = 0; i < seq_text.size(); ++i) {
        const int code = codes.at(seq_text[i]);
        if (code < 0) {
            error = "Invalid sequence code detected";
            return false;
        }
        const int shift = i % 2 == 0 ? 4 : 0;
        record.seq[i / 2] = static_cast<uint8_t>(record.seq[i / 2] | (code << shift));
    }
    return true;
}

void pack_phred_string(const std::string& qual_text, BamRecord& record) {
    const std::size_t length = record.l_seq > 0 ? static_cast<std::size_t>(record.l_seq) : 0;
    // Text shorter than the sequence would be read past its end: treat it as absent.
    if (qual_text == "*" || qual_text.size() < length) {
        record.qual.assign(length, ABSENT_QUALITY);
        return;
    }
    record.qual.resize(length);
    for (std::size_t i = 0; i < length; ++i) {
        record.qual[i] = static_cast<uint8_t>(qual_text[i] - PHRED_OFFSET);
    }
}

void unpack_cigar_string(const uint32_t* ops, uint64_t n_ops, std::string& out, uint64_t l_seq, bool& is_placeholder) {
    is_placeholder = false;
    if (n_ops == 0) {
        out = "*";
        return;
    }
    out.clear();
    constexpr uint32_t SOFT_CLIP = 4;
    is_placeholder = (ops[0] & 0xF) == SOFT_CLIP && (ops[0] >> 4) >= l_seq;
    for (uint64_t i = 0; i < n_ops; ++i) {
        const uint32_t code = ops[i] & 0xF;
        out += std::to_string(ops[i] >> 4);
        // Codes past the table have no SAM letter; '?' keeps the text visibly invalid.
        out += code < CIGAR_OP_CODES.size() ? CIGAR_OP_CODES[code] : '?';
    }
}

bool unpack_seq_string(const BamRecord& record, std::string& out) {
    if (record.l_seq == 0) {
        out = "*";
        return true;
    }
    const std::size_t length = record.l_seq > 0 ? static_cast<std::size_t>(record.l_seq) : 0;
    if (record.l_seq < 0 || record.seq.size() < (length + 1) / 2) {
        return false;
    }
    out.reserve(out.size() + length);
    for (std::size_t i = 0; i < length / 2; ++i) {
        out += SEQ_CODES[record.seq[i] >> 4];
        out += SEQ_CODES[record.seq[i] & 0xF];
    }
    if (length % 2 == 1) {
        out += SEQ_CODES[record.seq[length / 2] >> 4];
    }
    return true;
}

bool unpack_phred_string(const BamRecord& record, std::string& out) {
    if (record.l_seq <= 0 || record.qual.size() < static_cast<std::size_t>(record.l_seq) ||
        record.qual[0] == ABSENT_QUALITY) {
        out = "*";
        return true;
    }
    out.assign(static_cast<std::size_t>(record.l_seq), '\0');
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char>(record.qual[i] + PHRED_OFFSET);
    }
    return true;
}

void unpack_virtual_offset(uint64_t voffset, uint64_t& file_offset, uint16_t& block_offset) {
    file_offset = voffset >> 16;
    block_offset = static_cast<uint16_t>(voffset & 0xFFFF);
}

}  // namespace bass::bam::util::internal
