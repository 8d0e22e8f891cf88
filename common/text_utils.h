#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace common {

/// Removes every white-space character, at the ends and inside, keeping the order of the others.
std::string trim(std::string s);

/// The text cut to `max_len` characters, the last three of them "..."; unchanged when it fits.
std::string trunc_long_str(const std::string& s, int32_t max_len);

/// Leaves out one final carriage return and a leading UTF-8 byte-order mark.
std::string clean_string(const std::string& s);

/// Shortens a demangled type name ("std::vector<std::string>" to "vector<string>").
std::string shortenClassname(std::string name);

/// Demangles an ABI type name and shortens it.
std::string demangle(const char* mangled);

/// Fixed notation with the precision, trailing zeros dropped down to one digit after the point.
std::string encode_float(float value, int32_t precision);

/// printf-style formatting into a string; std::runtime_error when formatting fails.
std::string Sprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Sprintf_va(const char* fmt, va_list args);

}  // namespace common
