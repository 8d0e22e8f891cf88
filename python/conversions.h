#pragma once

#include "data_wrappers/data_view.h"
#include "data_wrappers/metadata.h"
#include "python/option_types.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <map>
#include <string>
#include <typeindex>

namespace tessellpy {

namespace py = pybind11;

using DataSetMap = std::map<dataset, bass::data_wrappers::DataView>;

/// Adds key: value for one metadata entry by its stored type; entries of other types are left out.
void metadata_entry_to_dict(py::dict& out, const bass::data_wrappers::Metadata& metadata, const std::string& key,
                            std::type_index type);

/// Every entry of the record, in key order.
py::dict metadata_to_dict(const bass::data_wrappers::Metadata& metadata);

/// Datasets keyed by their names: strings as str, everything else as numpy arrays (copies).
py::dict datasets_to_dict(const DataSetMap& datasets);

/// A numpy copy of one numeric or alignment-table view; an empty float64 array for any other view.
/// std::runtime_error when the view's element size, count or data do not fit its description.
py::array dataview_to_ndarray(const bass::data_wrappers::DataView& view);

/// Stores a Python value under `key` as `type`; a value that does not convert raises (cast error).
void set_metadata_from_python(bass::data_wrappers::Metadata& metadata, const std::string& key,
                              const py::handle& value, OptionType type);

/// Joins the items with single spaces onto `out`; false at the first item that is not a str.
bool str_list_to_std_string(const py::list& items, std::string& out);

}  // namespace tessellpy
