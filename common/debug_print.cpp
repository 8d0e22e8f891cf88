#include "common/debug_print.h"

#include "common/sequence_utils.h"
#include "common/text_utils.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <sstream>
#include <stdexcept>
#include <typeinfo>

namespace common {
namespace {

using bass::data_wrappers::BandMatView;
using bass::data_wrappers::MatView;
using bass::data_wrappers::VecView;

constexpr int max_path_characters = 100;
constexpr std::size_t max_posterior_events = 200;

// The 4^k k-mer labels followed by the blank state "[]".
std::vector<std::string> state_labels(int k) {
    std::vector<std::string> labels;
    std::map<std::string, int> index;
    build_labls(labels, index, k);
    labels.emplace_back("[]");
    return labels;
}

const std::string& label_of(const std::vector<std::string>& labels, int state) {
    if (state < 0 || static_cast<std::size_t>(state) >= labels.size()) {
        throw std::out_of_range("State " + std::to_string(state) + " has no label (states 0 to " +
                                std::to_string(labels.size() - 1) + ").");
    }
    return labels[static_cast<std::size_t>(state)];
}

template <typename States>
std::vector<std::string> labels_of_states(const States& states, const std::vector<std::string>& labels) {
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < states.size(); ++i) {
        texts.push_back(label_of(labels, states[i]));
    }
    return texts;
}

// The cells of a posterior matrix, dense or banded, behind one interface.
template <typename T>
struct PosteriorRows {
    const MatView<T>& matrix;
    std::size_t rows() const { return matrix.m_rows; }
    std::size_t states() const { return matrix.m_cols; }
    bool has_first_value() const { return matrix.m_rows > 0 && matrix.m_cols > 0; }
    T first_value() const { return matrix(0, 0); }
    template <typename Visit>
    void for_each_state(std::size_t e, Visit visit) const {
        for (std::size_t s = 0; s < matrix.m_cols; ++s) {
            visit(static_cast<int64_t>(s), matrix(e, s));
        }
    }
};

template <typename T>
struct BandPosteriorRows {
    const BandMatView<T>& matrix;
    std::size_t rows() const { return matrix.rows(); }
    std::size_t states() const { return matrix.num_states(); }
    bool has_first_value() const { return matrix.rows() > 0 && matrix.band_width() > 0 && matrix.num_states() > 0; }
    T first_value() const { return matrix.row(0)[0]; }
    template <typename Visit>
    void for_each_state(std::size_t e, Visit visit) const {
        const auto band = matrix.row(e);
        const int64_t first = matrix.first_state(e);
        for (std::size_t j = 0; j < band.size(); ++j) {
            visit(first + static_cast<int64_t>(j), band[j]);
        }
    }
};

template <typename T>
PosteriorRows<T> posterior_rows(const MatView<T>& matrix) {
    return {matrix};
}

template <typename T>
BandPosteriorRows<T> posterior_rows(const BandMatView<T>& matrix) {
    return {matrix};
}

template <typename T, typename Rows>
std::string print_posteriors(const Rows& rows, int k) {
    const auto labels = state_labels(k);
    // Probabilities or log-probabilities, told apart by the sign of the first value.
    T threshold = T(0);
    if (rows.rows() > 0 && rows.states() > 0 && rows.has_first_value()) {
        threshold = rows.first_value() < T(0) ? T(-2.3) : T(0.1);
    }
    std::ostringstream out;
    out << rows.rows() << " events, " << rows.states() << " states\n";
    const std::size_t events = std::min(rows.rows(), max_posterior_events);
    for (std::size_t e = 0; e < events; ++e) {
        out << "\n>>> Event " << e << "<<<";
        rows.for_each_state(e, [&](int64_t state, T value) {
            if (!(value > threshold)) {
                return;
            }
            out << "\nstate " << state;
            if (state >= 0 && static_cast<uint64_t>(state) < labels.size()) {
                out << " (" << labels[static_cast<std::size_t>(state)] << ")";
            }
            out << ": " << value;
        });
    }
    return out.str();
}

}  // namespace

template <typename T>
std::string debugPrintVector(const VecView<T>& values, bool print_all, int limit, int capacity) {
    std::ostringstream out;
    if (capacity > 0) {
        out << "[size " << values.m_size << ", capacity " << capacity << "] {";
    } else {
        out << "[type  " << demangle(typeid(T).name()) << ", size " << values.m_size << ", stride " << values.m_stride
            << "] {";
    }
    const std::size_t size = values.m_size;
    for (std::size_t i = 0; i < size; ++i) {
        if (!print_all && limit >= 0 && i == static_cast<std::size_t>(limit) && i < size - 1) {
            out << "...; " << values[size - 1];
            break;
        }
        out << values[i];
        if (i + 1 < size) {
            out << "; ";
        }
    }
    out << "}";
    return out.str();
}

template <typename States>
std::string debugPrintStates(const States& states, int k, bool print_all, int limit) {
    const auto texts = labels_of_states(states, state_labels(k));
    const auto view = VecView<std::string>::view(texts.data(), texts.size(), 1);
    return debugPrintVector(view, print_all, limit, static_cast<int>(texts.capacity()));
}

template <typename Path>
std::string debugPrintPathAsSequence(const Path& path, int k) {
    const auto labels = state_labels(k);
    const std::size_t middle = static_cast<std::size_t>(std::max(k, 0) / 2);
    std::string sequence;
    int written = 0;
    int previous = -1;
    for (const int state : path) {
        const bool changed = state != previous;
        previous = state;
        if (!changed) {
            continue;
        }
        const std::string& label = label_of(labels, state);
        // The blank label "[]" has no middle base for k of 4 or more: it adds nothing.
        if (middle >= label.size()) {
            continue;
        }
        sequence += label[middle];
        if (++written == max_path_characters) {
            sequence += "...";
            break;
        }
    }
    return sequence;
}

template <typename Matrix>
std::string debugPrintPosteriors(const Matrix& matrix, int k) {
    const auto rows = posterior_rows(matrix);
    using Value = std::remove_const_t<std::remove_reference_t<decltype(rows.first_value())>>;
    return print_posteriors<Value>(rows, k);
}

template std::string debugPrintVector<std::string>(const VecView<std::string>&, bool, int, int);
template std::string debugPrintStates<VecView<int>>(const VecView<int>&, int, bool, int);
template std::string debugPrintStates<std::vector<int>>(const std::vector<int>&, int, bool, int);
template std::string debugPrintPathAsSequence<std::vector<int>>(const std::vector<int>&, int);
template std::string debugPrintPosteriors<MatView<float>>(const MatView<float>&, int);
template std::string debugPrintPosteriors<MatView<double>>(const MatView<double>&, int);
template std::string debugPrintPosteriors<BandMatView<float>>(const BandMatView<float>&, int);
template std::string debugPrintPosteriors<BandMatView<double>>(const BandMatView<double>&, int);

}  // namespace common
