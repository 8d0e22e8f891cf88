#pragma once

// Cloning and splitting of reads are members of interfaces::ReadHolder (interfaces/read_holder.h),
// defined in interfaces/read_cloning.cpp together with the derivation of read ids declared here.

#include <cstddef>
#include <string>

namespace interfaces {

/// Number of derived-id generators: 0 names a clone or the head of a split, 1 the tail of a split.
constexpr std::size_t NUM_DERIVED_ID_GENERATORS = 2;

/// The read id derived from `name` by generator `generator_index`: the name-based SHA-1 (version 5)
/// UUID of the name under that generator's namespace, as 36 lowercase hexadecimal characters with
/// hyphens. The same name and generator always give the same id. std::out_of_range for an index
/// other than 0 or 1.
std::string generate_dervived_uuid(const std::string& name, std::size_t generator_index);

}  // namespace interfaces
