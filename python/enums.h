#pragma once

#include <pybind11/pybind11.h>

namespace tessellpy {

/// Registers status, result, pass_read_result and read_priority, each member also as a module attribute.
void register_enums(pybind11::module_& module);

}  // namespace tessellpy
