#pragma once

// Text dumps of decoding data for debugging: string lists, k-mer state labels, state paths as
// bases and per-event state posteriors. Each returns its text and writes nothing itself.

#include "data_wrappers/band_mat_view.h"
#include "data_wrappers/views.h"

#include <string>
#include <vector>

namespace common {

/// "[size n, capacity c] {a; b; ...; z}" when `capacity` > 0, else a header with the element type
/// and stride. Unless `print_all`, the listing stops at index `limit` with "..." and the last element.
template <typename T>
std::string debugPrintVector(const bass::data_wrappers::VecView<T>& values, bool print_all, int limit, int capacity);

/// The k-mer labels of the states (4^k is the blank "[]"), listed as by debugPrintVector.
/// std::out_of_range for a state outside 0 to 4^k.
template <typename States>
std::string debugPrintStates(const States& states, int k, bool print_all, int limit);

/// The middle base of each state that differs from the one before, at most 100 of them followed
/// by "...". The blank state adds its label's character only where the label has one.
/// std::out_of_range for a state outside 0 to 4^k.
template <typename Path>
std::string debugPrintPathAsSequence(const Path& path, int k);

/// Header line, then per event (at most 200) the states above 0.1 (probabilities) or -2.3
/// (log-probabilities, told by a negative first value) with their labels.
template <typename Matrix>
std::string debugPrintPosteriors(const Matrix& matrix, int k);

}  // namespace common
