#pragma once

#include <boost/core/demangle.hpp>

#include <string>
#include <typeinfo>

namespace common {
namespace details {
// Keywords some demanglers put in front of type names. Each source file holds its own copy.
static const std::string VS_CLASS_PREFIX = "class ";
static const std::string VS_STRUCT_PREFIX = "struct ";
}  // namespace details

// The fully qualified, demangled name of T without "class " or "struct " keywords.
template <typename T>
class ClassName {
public:
    static std::string class_name() {
        std::string name = boost::core::demangle(typeid(T).name());
        remove_from_name(name, details::VS_CLASS_PREFIX);
        remove_from_name(name, details::VS_STRUCT_PREFIX);
        return name;
    }

    // Removes every occurrence of `token`, searching again from the start after each removal.
    static void remove_from_name(std::string& name, const std::string& token) {
        if (token.empty()) {
            return;
        }
        for (auto position = name.find(token); position != std::string::npos; position = name.find(token)) {
            name.erase(position, token.size());
        }
    }
};

}  // namespace common
