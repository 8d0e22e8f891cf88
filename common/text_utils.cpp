#include "common/text_utils.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/core/demangle.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace common {

std::string trim(std::string s) {
    s.erase(std::remove_if(s.begin(), s.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }),
            s.end());
    return s;
}

std::string trunc_long_str(const std::string& s, int32_t max_len) {
    if (static_cast<int32_t>(s.size()) <= max_len) {
        return s;
    }
    // A limit below 3 leaves no room for the text; the whole text is kept and marked as cut.
    const int32_t keep = max_len - 3;
    return (keep < 0 ? s : s.substr(0, static_cast<std::size_t>(keep))) + "...";
}

std::string clean_string(const std::string& s) {
    std::size_t begin = 0;
    std::size_t end = s.size();
    if (end > 0 && s[end - 1] == '\r') {
        --end;
    }
    if (end >= 3 && static_cast<unsigned char>(s[0]) == 0xEF && static_cast<unsigned char>(s[1]) == 0xBB &&
        static_cast<unsigned char>(s[2]) == 0xBF) {
        begin = 3;
    }
    return s.substr(begin, end - begin);
}

std::string shortenClassname(std::string name) {
    boost::replace_all(name, " ", "");
    boost::replace_all(name, "std::", "");
    boost::replace_all(name, "class", "");
    boost::replace_all(name, "struct", "");
    boost::replace_all(name, ",allocator<float>", "");
    boost::replace_all(name, ",allocator<int>", "");
    boost::replace_all(name, ",allocator<char>", "");
    boost::replace_all(name, "basic_string<char,char_traits<char>>", "string");
    boost::replace_all(name, ",allocator<string>", "");
    boost::replace_all(name, "signed", "signed ");
    return name;
}

std::string demangle(const char* mangled) { return shortenClassname(boost::core::demangle(mangled)); }

std::string encode_float(float value, int32_t precision) {
    std::ostringstream stream;
    stream << std::fixed << std::setprecision(precision) << std::showpoint << value;
    std::string text = stream.str();
    const auto point = text.find('.');
    if (point != std::string::npos) {
        while (text.size() > point + 2 && text.back() == '0') {
            text.pop_back();
        }
    }
    if (text == "-0.0") {
        text = "0.0";
    }
    return text;
}

std::string Sprintf_va(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char buffer[1024];
    const int length = std::vsnprintf(buffer, sizeof(buffer), fmt, args);
    if (length < 0) {
        va_end(copy);
        throw std::runtime_error(std::string("Error in printf for fmt: '") + fmt + "'");
    }
    if (length < static_cast<int>(sizeof(buffer))) {
        va_end(copy);
        return std::string(buffer);
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), fmt, copy);
    va_end(copy);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::string Sprintf(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    try {
        std::string text = Sprintf_va(fmt, args);
        va_end(args);
        return text;
    } catch (...) {
        va_end(args);
        throw;
    }
}

}  // namespace common
