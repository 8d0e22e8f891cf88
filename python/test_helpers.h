#pragma once

#include <pybind11/pybind11.h>

namespace tessellpy {

/// Registers the test_* functions, which run the conversions on fixed samples.
void register_test_helpers(pybind11::module_& module);

}  // namespace tessellpy
