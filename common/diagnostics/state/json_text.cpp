#include "common/diagnostics/state/json_text.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace common {
namespace diagnostics {
namespace state {
namespace detail {

namespace {

constexpr int INDENT_SIZE = 4;
// Plain notation is used while the decimal point falls within these bounds.
constexpr int MIN_PLAIN_EXPONENT = -4;
constexpr int MAX_PLAIN_EXPONENT = 17;
const char* const REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";

void append_exponent(std::string& out, int exponent) {
    out += exponent < 0 ? '-' : '+';
    const auto magnitude = std::abs(exponent);
    if (magnitude < 10) {
        out += '0';  // at least two digits, as printf writes them
    }
    out += std::to_string(magnitude);
}

// `digits` times ten to the power of (`point` - number of digits): the decimal point sits after
// `point` digits.
void append_decimal(std::string& out, const std::string& digits, int point) {
    const int count = static_cast<int>(digits.size());
    if (count <= point && point <= MAX_PLAIN_EXPONENT) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
        out += ".0";
    } else if (0 < point && point <= MAX_PLAIN_EXPONENT) {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point), std::string::npos);
    } else if (MIN_PLAIN_EXPONENT < point && point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else {
        out += digits[0];
        if (count > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        out += 'e';
        append_exponent(out, point - 1);
    }
}

bool is_continuation(unsigned char byte, unsigned char low = 0x80, unsigned char high = 0xBF) {
    return byte >= low && byte <= high;
}

// The length of the well-formed UTF-8 sequence at `position`, or, negated, the length of the
// ill-formed part to replace by one U+FFFD (the lead byte and the continuation bytes that fit it).
int utf8_sequence_length(const std::string& text, std::size_t position) {
    const auto lead = static_cast<unsigned char>(text[position]);
    int length = 0;
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        second_low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        second_high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        second_low = lead == 0xF0 ? 0x90 : 0x80;
        second_high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        return -1;
    }
    for (int i = 1; i < length; ++i) {
        const auto index = position + static_cast<std::size_t>(i);
        const bool fits = index < text.size() &&
                          (i == 1 ? is_continuation(static_cast<unsigned char>(text[index]), second_low, second_high)
                                  : is_continuation(static_cast<unsigned char>(text[index])));
        if (!fits) {
            return -i;
        }
    }
    return length;
}

void append_string(std::string& out, const std::string& text) {
    static const char* const HEX_DIGITS = "0123456789ABCDEF";
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte <= 0x1F || byte == 0x7F) {
                    out += "\\u00";
                    out += HEX_DIGITS[byte >> 4];
                    out += HEX_DIGITS[byte & 0x0F];
                } else if (byte < 0x80) {
                    out += static_cast<char>(byte);
                } else {
                    const int length = utf8_sequence_length(text, i);
                    if (length > 0) {
                        out.append(text, i, static_cast<std::size_t>(length));
                    } else {
                        out += REPLACEMENT_CHARACTER;
                    }
                    i += static_cast<std::size_t>(std::abs(length)) - 1;
                }
                break;
        }
    }
    out += '"';
}

void new_line(std::string& out, int indent) {
    out += '\n';
    out.append(static_cast<std::size_t>(indent), ' ');
}

void append_value(std::string& out, const nlohmann::ordered_json& value, int indent) {
    switch (value.type()) {
        case nlohmann::ordered_json::value_t::object: {
            if (value.empty()) {
                out += "{}";
                break;
            }
            out += '{';
            bool first = true;
            for (const auto& member : value.items()) {
                if (!first) {
                    out += ',';
                }
                first = false;
                new_line(out, indent + INDENT_SIZE);
                append_string(out, member.key());
                out += ": ";
                append_value(out, member.value(), indent + INDENT_SIZE);
            }
            new_line(out, indent);
            out += '}';
            break;
        }
        case nlohmann::ordered_json::value_t::array: {
            // Arrays stay on the line of their member, elements separated by ", ".
            out += '[';
            bool first = true;
            for (const auto& element : value) {
                if (!first) {
                    out += ", ";
                }
                first = false;
                append_value(out, element, indent);
            }
            out += ']';
            break;
        }
        case nlohmann::ordered_json::value_t::string:
            append_string(out, value.get_ref<const std::string&>());
            break;
        case nlohmann::ordered_json::value_t::boolean:
            out += value.get<bool>() ? "true" : "false";
            break;
        case nlohmann::ordered_json::value_t::number_integer:
            out += std::to_string(value.get<std::int64_t>());
            break;
        case nlohmann::ordered_json::value_t::number_unsigned:
            out += std::to_string(value.get<std::uint64_t>());
            break;
        case nlohmann::ordered_json::value_t::number_float:
            out += format_json_double(value.get<double>());
            break;
        case nlohmann::ordered_json::value_t::null:
        case nlohmann::ordered_json::value_t::binary:
        case nlohmann::ordered_json::value_t::discarded:
        default:
            out += "null";
            break;
    }
}

}  // namespace

std::string format_json_double(double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    if (value == 0.0) {
        return "0.0";
    }
    // Shortest digits that read back as the same double, as d[.ddd]e±x.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), std::fabs(value), std::chars_format::scientific);
    const std::string scientific(buffer, result.ptr);
    const auto exponent_position = scientific.find('e');
    std::string digits;
    for (std::size_t i = 0; i < exponent_position; ++i) {
        if (scientific[i] != '.') {
            digits += scientific[i];
        }
    }
    const int exponent = std::atoi(scientific.c_str() + exponent_position + 1);
    std::string out = std::signbit(value) ? "-" : "";
    append_decimal(out, digits, exponent + 1);
    return out;
}

std::string to_pretty_json_text(const nlohmann::ordered_json& document) {
    std::string out;
    append_value(out, document, 0);
    return out;
}

}  // namespace detail
}  // namespace state
}  // namespace diagnostics
}  // namespace common
