#include "bam/sam_line.h"

#include "bam/bam_utils.h"

#include <boost/algorithm/string/split.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace bass::bam::util {

namespace {

constexpr std::size_t MANDATORY_FIELD_COUNT = 11;
const std::string MALFORMED_LINE = "Malformed SAM line detected";

bool is_field_separator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Whole-token decimal conversion; false for anything unreadable or out of range for T.
template <typename T>
bool read_number(const std::string& token, T& value) {
    const char* first = token.data();
    const char* const last = token.data() + token.size();
    if (first != last && *first == '+') {
        ++first;
    }
    if (first == last) {
        return false;
    }
    const auto result = std::from_chars(first, last, value);
    return result.ec == std::errc() && result.ptr == last;
}

// Width in bytes of one element of a "B" array, 0 for an unknown subtype.
std::size_t array_element_width(char subtype) {
    switch (subtype) {
        case 'c':
        case 'C':
            return 1;
        case 's':
        case 'S':
            return 2;
        case 'i':
        case 'I':
        case 'f':
            return 4;
        default:
            return 0;
    }
}

template <typename T>
void store_element(std::vector<uint8_t>& data, std::size_t index, T value) {
    std::memcpy(data.data() + index * sizeof(T), &value, sizeof(T));
}

template <typename T>
T load_element(const std::vector<uint8_t>& data, std::size_t index) {
    T value{};
    std::memcpy(&value, data.data() + index * sizeof(T), sizeof(T));
    return value;
}

// An integer of an optional field, read as std::stoll reads it; a value outside [low, high] is
// refused with the tag named.
int64_t read_integer(const std::string& text, const std::string& tag, int64_t low, int64_t high) {
    long long value = 0;
    bool in_range = true;
    try {
        value = std::stoll(text);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument("Invalid integer '" + text + "' in aux field " + tag);
    } catch (const std::out_of_range&) {
        in_range = false;
    }
    if (!in_range || value < low || value > high) {
        throw std::out_of_range("Integer " + text + " out of range in aux field " + tag);
    }
    return value;
}

// A float of an optional field. A value too small for a float is 0 (or its nearest denormal),
// as SAM readers take it; one too large is refused with the tag named.
float read_float(const std::string& text, const std::string& tag) {
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(text.c_str(), &end);
    if (end == text.c_str()) {
        throw std::invalid_argument("Invalid float '" + text + "' in aux field " + tag);
    }
    if (errno == ERANGE && std::isinf(value)) {
        throw std::out_of_range("Float " + text + " out of range in aux field " + tag);
    }
    return value;
}

// An "i" value in the smallest BAM type that holds it, as SAM-to-BAM converters store it.
void set_integer_value(AuxData& aux, int64_t value) {
    if (value < 0) {
        if (value >= std::numeric_limits<int8_t>::min()) {
            aux.type = 'c';
            aux.value = static_cast<int8_t>(value);
        } else if (value >= std::numeric_limits<int16_t>::min()) {
            aux.type = 's';
            aux.value = static_cast<int16_t>(value);
        } else {
            aux.type = 'i';
            aux.value = static_cast<int32_t>(value);
        }
    } else if (value <= std::numeric_limits<uint8_t>::max()) {
        aux.type = 'C';
        aux.value = static_cast<uint8_t>(value);
    } else if (value <= std::numeric_limits<uint16_t>::max()) {
        aux.type = 'S';
        aux.value = static_cast<uint16_t>(value);
    } else if (value <= std::numeric_limits<int32_t>::max()) {
        aux.type = 'i';
        aux.value = static_cast<int32_t>(value);
    } else {
        aux.type = 'I';
        aux.value = static_cast<uint32_t>(value);
    }
}

template <typename T>
void store_integer(std::vector<uint8_t>& data, std::size_t index, const std::string& text, const std::string& tag) {
    store_element(
            data, index,
            static_cast<T>(read_integer(text, tag, std::numeric_limits<T>::min(), std::numeric_limits<T>::max())));
}

bool parse_array(const std::string& value_text, const std::string& tag, AuxNumericalArray& array, std::string& error) {
    array.type = value_text.empty() ? '\0' : value_text[0];
    const std::size_t width = array_element_width(array.type);
    // Without a width the elements cannot be stored, and writing them back would give an
    // array of bare commas.
    if (width == 0) {
        error = std::string("Invalid auxiliary array type '") + array.type + "' found in alignment record";
        return false;
    }
    const auto commas = static_cast<std::size_t>(std::count(value_text.begin(), value_text.end(), ','));
    if (commas > std::numeric_limits<uint32_t>::max()) {
        error = "Invalid aux data detected: too many array elements";
        return false;
    }
    array.count = static_cast<uint32_t>(commas);
    array.data.assign(commas * width, 0);
    if (commas == 0) {
        return true;
    }
    const std::string elements_text = value_text.size() > 2 ? value_text.substr(2) : std::string();
    std::vector<std::string> elements;
    boost::algorithm::split(elements, elements_text, [](char c) { return c == ','; });
    for (std::size_t i = 0; i < elements.size(); ++i) {
        if (i >= array.count) {
            throw std::runtime_error("Hit end of buffer while writing data");
        }
        // Each element must fit its subtype.
        switch (array.type) {
            case 'c':
                store_integer<int8_t>(array.data, i, elements[i], tag);
                break;
            case 'C':
                store_integer<uint8_t>(array.data, i, elements[i], tag);
                break;
            case 's':
                store_integer<int16_t>(array.data, i, elements[i], tag);
                break;
            case 'S':
                store_integer<uint16_t>(array.data, i, elements[i], tag);
                break;
            case 'i':
                store_integer<int32_t>(array.data, i, elements[i], tag);
                break;
            case 'I':
                store_integer<uint32_t>(array.data, i, elements[i], tag);
                break;
            default:
                store_element(array.data, i, read_float(elements[i], tag));
                break;
        }
    }
    return true;
}

bool parse_aux_field(const std::string& field, BamRecord& record, std::string& error) {
    if (field.size() < 5 || field[2] != ':' || field[4] != ':') {
        error = "Invalid aux data detected: " + field;
        return false;
    }
    AuxData aux{field.substr(0, 2), field[3], boost::any()};
    const std::string value_text = field.substr(5);
    switch (aux.type) {
        case 'A':
            aux.value = value_text.empty() ? '\0' : value_text[0];
            break;
        case 'Z':
        case 'H':
            aux.value = value_text;
            break;
        case 'f':
            aux.value = read_float(value_text, aux.tag);
            break;
        case 'i':
            // SAM's i holds [-2^31, 2^32).
            set_integer_value(aux, read_integer(value_text, aux.tag, std::numeric_limits<int32_t>::min(),
                                                std::numeric_limits<uint32_t>::max()));
            break;
        case 'B': {
            AuxNumericalArray array;
            if (!parse_array(value_text, aux.tag, array, error)) {
                return false;
            }
            aux.value = std::move(array);
            break;
        }
        default:
            error = std::string("Invalid auxiliary data type) '") + aux.type + "' found in alignment record";
            return false;
    }
    record.aux.push_back(std::move(aux));
    return true;
}

std::string array_to_text(const AuxNumericalArray& array) {
    std::string text = std::string("B:") + array.type;
    const std::size_t width = array_element_width(array.type);
    for (std::size_t i = 0; i < array.count; ++i) {
        text += ',';
        if (width == 0) {
            continue;
        }
        if ((i + 1) * width > array.data.size()) {
            throw std::runtime_error("Hit end of buffer while extracting data");
        }
        switch (array.type) {
            case 'c':
                text += std::to_string(load_element<int8_t>(array.data, i));
                break;
            case 'C':
                text += std::to_string(load_element<uint8_t>(array.data, i));
                break;
            case 's':
                text += std::to_string(load_element<int16_t>(array.data, i));
                break;
            case 'S':
                text += std::to_string(load_element<uint16_t>(array.data, i));
                break;
            case 'i':
                text += std::to_string(load_element<int32_t>(array.data, i));
                break;
            case 'I':
                text += std::to_string(load_element<uint32_t>(array.data, i));
                break;
            default:
                text += internal::float_to_stripped_string(load_element<float>(array.data, i));
                break;
        }
    }
    return text;
}

// Appends the type and value of one optional field; false for a letter with no SAM form.
bool append_aux_value(const AuxData& aux, std::string& line) {
    switch (aux.type) {
        case 'A':
            line += std::string("A:") + boost::any_cast<char>(aux.value);
            return true;
        case 'C':
            line += "i:" + std::to_string(boost::any_cast<uint8_t>(aux.value));
            return true;
        case 'c':
            line += "i:" + std::to_string(boost::any_cast<int8_t>(aux.value));
            return true;
        case 'S':
            line += "i:" + std::to_string(boost::any_cast<uint16_t>(aux.value));
            return true;
        case 's':
            line += "i:" + std::to_string(boost::any_cast<int16_t>(aux.value));
            return true;
        case 'I':
            line += "i:" + std::to_string(boost::any_cast<uint32_t>(aux.value));
            return true;
        case 'i':
            line += "i:" + std::to_string(boost::any_cast<int32_t>(aux.value));
            return true;
        case 'f':
            line += "f:" + internal::float_to_stripped_string(boost::any_cast<float>(aux.value));
            return true;
        case 'H':
        case 'Z':
            line += std::string(1, aux.type) + ":" + boost::any_cast<const std::string&>(aux.value);
            return true;
        case 'B':
            line += array_to_text(boost::any_cast<const AuxNumericalArray&>(aux.value));
            return true;
        default:
            return false;
    }
}

bool is_long_cigar_field(const AuxData& aux) { return aux.tag == "CG" && aux.type == 'B'; }

bool has_valid_op_codes(const std::vector<uint32_t>& ops, std::string& error) {
    for (const uint32_t op : ops) {
        if ((op & 0xF) >= CIGAR_OP_CODES.size()) {
            error = "Invalid cigar op code detected: " + std::to_string(op & 0xF);
            return false;
        }
    }
    return true;
}

// The CIGAR text of the record, taken from its CG field when the packed CIGAR is the long-CIGAR
// placeholder.
bool cigar_text_of(const BamRecord& record, std::string& text, bool& used_long_cigar, std::string& error) {
    if (!has_valid_op_codes(record.cigar, error)) {
        return false;
    }
    const uint64_t l_seq = record.l_seq > 0 ? static_cast<uint64_t>(record.l_seq) : 0;
    bool is_placeholder = false;
    internal::unpack_cigar_string(record.cigar.data(), record.cigar.size(), text, l_seq, is_placeholder);
    used_long_cigar = is_placeholder;
    if (!is_placeholder) {
        return true;
    }
    const auto long_cigar = std::find_if(record.aux.begin(), record.aux.end(), is_long_cigar_field);
    if (long_cigar == record.aux.end()) {
        return true;
    }
    const auto& array = boost::any_cast<const AuxNumericalArray&>(long_cigar->value);
    // The words are read straight from the array's bytes, so its size must back its count.
    if (array.type != 'I' || array.data.size() / sizeof(uint32_t) < array.count) {
        error = "Malformed CG auxiliary data detected";
        return false;
    }
    std::vector<uint32_t> ops(array.count);
    // An empty array has no data to point at, and memcpy may not be handed a null pointer.
    if (!ops.empty()) {
        std::memcpy(ops.data(), array.data.data(), ops.size() * sizeof(uint32_t));
    }
    if (!has_valid_op_codes(ops, error)) {
        return false;
    }
    bool ignored = false;
    internal::unpack_cigar_string(ops.data(), ops.size(), text, l_seq, ignored);
    return true;
}

}  // namespace

bool parse_sam_line_to_bam_record(const std::string& line, BamRecord& record, const std::vector<RefSeq>& refs,
                                  std::string& error) {
    std::array<std::string, MANDATORY_FIELD_COUNT> fields;
    std::size_t cursor = 0;
    for (auto& field : fields) {
        while (cursor < line.size() && is_field_separator(line[cursor])) {
            ++cursor;
        }
        const std::size_t start = cursor;
        while (cursor < line.size() && !is_field_separator(line[cursor])) {
            ++cursor;
        }
        field = line.substr(start, cursor - start);
    }
    const std::string& qname = fields[0];
    const std::string& rname = fields[2];
    const std::string& cigar = fields[5];
    std::string rnext = fields[6];
    const std::string& seq = fields[9];
    const std::string& qual = fields[10];

    record.read_name = qname;
    int32_t position = 0;
    int32_t mapq = 0;
    int32_t next_position = 0;
    // Positions are 1-based and never negative; a negative one would wrap on the shift to 0-based.
    const bool numbers_read = read_number(fields[1], record.flag) && read_number(fields[3], position) &&
                              position >= 0 && read_number(fields[4], mapq) && read_number(fields[7], next_position) &&
                              next_position >= 0 && read_number(fields[8], record.tlen);
    if (!numbers_read || qname.empty() || rname.empty() || cigar.empty() || rnext.empty() || seq.empty() ||
        qual.empty() || (qual.size() != seq.size() && qual != "*")) {
        error = MALFORMED_LINE;
        return false;
    }
    record.pos = position - 1;
    record.next_pos = next_position - 1;
    record.mapq = static_cast<uint8_t>(mapq & 0xFF);

    // The long-CIGAR placeholder soft-clips the whole sequence: none when SEQ is "*".
    const uint64_t seq_length = seq == "*" ? 0 : seq.size();
    if (!internal::pack_cigar_string(cigar, record, record.ref_length, seq_length, error)) {
        return false;
    }
    // An unmapped record, or one whose CIGAR covers no reference base, is binned as one base long,
    // where index readers look for it.
    constexpr uint16_t UNMAPPED_FLAG = 0x4;
    const uint64_t span = (record.flag & UNMAPPED_FLAG) != 0 || record.ref_length == 0 ? 1 : record.ref_length;
    // The end is clamped to the largest position so the bin arithmetic stays in 32 bits.
    const int64_t end = std::min<int64_t>(
            static_cast<int64_t>(record.pos) +
                    static_cast<int64_t>(std::min<uint64_t>(span, std::numeric_limits<int32_t>::max())),
            std::numeric_limits<int32_t>::max());
    record.bin = internal::reg_to_bin(record.pos, static_cast<int32_t>(end));
    record.ref_id = internal::get_ref_index(refs, rname);
    if (rnext == "=") {
        rnext = rname;
    }
    record.next_ref_id = internal::get_ref_index(refs, rnext);

    if (!internal::pack_seq_string(seq, record, error)) {
        return false;
    }
    if (record.l_seq != 0) {
        internal::pack_phred_string(qual, record);
    }

    if (cursor < line.size()) {
        if (line[cursor] == '\t') {
            ++cursor;
        }
        std::vector<std::string> aux_fields;
        const std::string rest = line.substr(cursor);
        boost::algorithm::split(aux_fields, rest, [](char c) { return c == '\t'; });
        for (const auto& field : aux_fields) {
            if (!parse_aux_field(field, record, error)) {
                return false;
            }
        }
    }
    record.sam_line = line;
    return true;
}

bool update_sam_line(const std::vector<RefSeq>& refs, BamRecord& record, std::string& error) {
    std::string cigar;
    bool used_long_cigar = false;
    if (!cigar_text_of(record, cigar, used_long_cigar, error)) {
        return false;
    }
    std::string mate_name;
    std::string ref_name;
    // A reference index out of range fails without a message, as callers of this toolkit expect.
    if (!internal::get_ref_name(refs, record.next_ref_id, mate_name) ||
        !internal::get_ref_name(refs, record.ref_id, ref_name)) {
        return false;
    }
    const std::string rnext = mate_name != "*" && mate_name == ref_name ? "=" : mate_name;
    std::string seq;
    if (!internal::unpack_seq_string(record, seq)) {
        error = "Sequence data shorter than l_seq " + std::to_string(record.l_seq);
        return false;
    }
    std::string qual;
    internal::unpack_phred_string(record, qual);

    std::string line;
    for (const auto& field :
         {record.read_name, std::to_string(record.flag), ref_name, std::to_string(static_cast<int64_t>(record.pos) + 1),
          std::to_string(static_cast<unsigned>(record.mapq)), cigar, rnext,
          std::to_string(static_cast<int64_t>(record.next_pos) + 1), std::string("0"), seq, qual}) {
        line += field;
        line += '\t';
    }
    for (const auto& aux : record.aux) {
        if (used_long_cigar && is_long_cigar_field(aux)) {
            continue;
        }
        line += aux.tag + ":";
        if (!append_aux_value(aux, line)) {
            error = std::string("Invalid auxiliary data type encountered: ") + aux.type;
            record.sam_line = line;
            return false;
        }
        line += '\t';
    }
    line.pop_back();
    record.sam_line = std::move(line);
    return true;
}

}  // namespace bass::bam::util
