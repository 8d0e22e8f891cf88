#pragma once

#include "data_wrappers/views.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace bass {
namespace data_wrappers {

/// Read-only view of a banded matrix: row e holds the values of the states first_state(e) to
/// first_state(e) + band_width() - 1, band position j at data[e * row stride + j * column stride].
template <typename T>
class BandMatView {
public:
    BandMatView() = default;

    /// One first state per row; a zero stride, a null pointer with values, or a first-state list
    /// of another length than the rows is refused.
    [[nodiscard]] static BandMatView view(const T* ptr, std::size_t rows, std::size_t band_width, int64_t row_stride,
                                          int64_t col_stride, std::vector<int32_t> first_states,
                                          std::size_t num_states) {
        if (row_stride == 0 || col_stride == 0) {
            throw std::runtime_error("Strides cannot be zero.");
        }
        if (ptr == nullptr && rows > 0 && band_width > 0) {
            throw std::runtime_error("Cannot view nullptr with size > 0");
        }
        if (first_states.size() != rows) {
            throw std::runtime_error("Band matrix needs one first state per row: " + std::to_string(rows) +
                                     " rows but " + std::to_string(first_states.size()) + " first states.");
        }
        BandMatView result;
        result.m_ptr = ptr;
        result.m_rows = rows;
        result.m_band_width = band_width;
        result.m_row_stride = row_stride;
        result.m_col_stride = col_stride;
        result.m_first_states = std::move(first_states);
        result.m_num_states = num_states;
        return result;
    }

    /// The band of row e; std::out_of_range "row index out of bounds." past the last row.
    VecView<const T> row(std::size_t e) const {
        if (e >= m_rows) {
            throw std::out_of_range("row index out of bounds.");
        }
        return VecView<const T>::view(m_ptr + static_cast<int64_t>(e) * m_row_stride, m_band_width, m_col_stride);
    }

    int32_t first_state(std::size_t e) const {
        if (e >= m_rows) {
            throw std::out_of_range("row index out of bounds.");
        }
        return m_first_states[e];
    }

    const T* data() const { return m_ptr; }
    std::size_t rows() const { return m_rows; }
    std::size_t band_width() const { return m_band_width; }
    std::size_t num_states() const { return m_num_states; }

private:
    const T* m_ptr = nullptr;
    std::size_t m_rows = 0;
    std::size_t m_band_width = 0;
    int64_t m_row_stride = 1;
    int64_t m_col_stride = 1;
    std::vector<int32_t> m_first_states;
    std::size_t m_num_states = 0;
};

}  // namespace data_wrappers
}  // namespace bass
