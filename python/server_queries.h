#pragma once

#include <pybind11/pybind11.h>

namespace tessellpy {

/// Registers the module functions that put a one-shot question to a server.
void register_server_queries(pybind11::module_& module);

}  // namespace tessellpy
