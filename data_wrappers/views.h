#pragma once

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>

namespace bass {
namespace data_wrappers {

/// Non-owning strided one-dimensional view. Element i lies at m_ptr + i * m_stride.
template <typename T>
class VecView {
public:
    VecView() = default;

    /// Builds a view; a zero stride, or a null pointer with elements, is refused.
    [[nodiscard]] static VecView view(const T* ptr, std::size_t size, long stride) {
        if (stride == 0) {
            throw std::runtime_error("Stride cannot be zero.");
        }
        if (ptr == nullptr && size > 0) {
            throw std::runtime_error("Cannot view nullptr with size > 0");
        }
        VecView result;
        result.m_ptr = const_cast<T*>(ptr);
        result.m_size = size;
        result.m_stride = stride;
        return result;
    }

    T& operator[](std::size_t i) const { return *element_ptr(i); }

    T& at(std::size_t i) const {
        if (i >= m_size) {
            throw std::out_of_range("VecView index " + std::to_string(i) + " out of range (size " +
                                    std::to_string(m_size) + ").");
        }
        return *element_ptr(i);
    }

    T* data() const { return m_ptr; }
    std::size_t size() const { return m_size; }
    int64_t stride() const { return m_stride; }
    bool empty() const { return m_size == 0; }

    T* m_ptr = nullptr;
    std::size_t m_size = 0;
    int64_t m_stride = 1;

private:
    T* element_ptr(std::size_t i) const { return m_ptr + static_cast<int64_t>(i) * m_stride; }
};

/// Non-owning strided two-dimensional view. Element (r, c) lies at
/// m_ptr + r * m_stride0 + c * m_stride1; a stride read as a negative signed number walks backwards.
template <typename T>
class MatView {
public:
    MatView() = default;

    [[nodiscard]] static MatView view(const T* ptr, std::size_t rows, std::size_t cols, std::size_t stride0,
                                      std::size_t stride1) {
        if (stride0 == 0 || stride1 == 0) {
            throw std::runtime_error("Strides (" + std::to_string(stride0) + "," + std::to_string(stride1) +
                                     ") cannot be zero.");
        }
        MatView result;
        result.m_ptr = const_cast<T*>(ptr);
        result.m_rows = rows;
        result.m_cols = cols;
        result.m_stride0 = stride0;
        result.m_stride1 = stride1;
        return result;
    }

    T& operator()(std::size_t r, std::size_t c) const { return *element_ptr(r, c); }

    T& at(std::size_t r, std::size_t c) const {
        if (r >= m_rows || c >= m_cols) {
            throw std::out_of_range("MatView index (" + std::to_string(r) + "," + std::to_string(c) +
                                    ") out of range (shape " + std::to_string(m_rows) + "x" + std::to_string(m_cols) +
                                    ").");
        }
        return *element_ptr(r, c);
    }

    T* data() const { return m_ptr; }
    std::size_t rows() const { return m_rows; }
    std::size_t cols() const { return m_cols; }
    int64_t stride0() const { return signed_stride(m_stride0); }
    int64_t stride1() const { return signed_stride(m_stride1); }

    /// A view of part of this one; refused when it would reach memory outside this view's range.
    MatView submatrix(std::size_t first_row, std::size_t first_col, std::size_t rows, std::size_t cols,
                      std::size_t row_step, std::size_t col_step) const {
        // Addresses are computed as integers: a sub-view that would lie outside the parent must be
        // reported, not formed by out-of-bounds pointer arithmetic.
        const uintptr_t start = address_of(
                m_ptr, static_cast<int64_t>(first_row) * stride0() + static_cast<int64_t>(first_col) * stride1());
        MatView result =
                view(reinterpret_cast<const T*>(start), rows, cols, m_stride0 * row_step, m_stride1 * col_step);
        if (result.m_rows == 0 || result.m_cols == 0) {
            return result;  // reaches no element at all
        }
        uintptr_t low = 0;
        uintptr_t high = 0;
        uintptr_t sub_low = 0;
        uintptr_t sub_high = 0;
        const bool parent_has_range = address_range(low, high);
        result.address_range(sub_low, sub_high);
        if (!parent_has_range || sub_low < low || sub_high > high) {
            std::ostringstream text;
            text << "MatView submatrix cannot access wider memory than parent matrix: full range is "
                 << reinterpret_cast<const void*>(low) << ".." << reinterpret_cast<const void*>(high)
                 << ", sub-range is " << reinterpret_cast<const void*>(sub_low) << ".."
                 << reinterpret_cast<const void*>(sub_high) << ".";
            throw std::out_of_range(text.str());
        }
        return result;
    }

    /// Copies every element into dst, a view of the same shape.
    void copy_to(MatView dst) const {
        if (dst.m_rows != m_rows || dst.m_cols != m_cols) {
            throw std::runtime_error("MatView sizes don't match.");
        }
        if (dst.m_stride0 == 1) {
            for (std::size_t c = 0; c < m_cols; ++c) {
                for (std::size_t r = 0; r < m_rows; ++r) {
                    dst(r, c) = (*this)(r, c);
                }
            }
        } else {
            for (std::size_t r = 0; r < m_rows; ++r) {
                for (std::size_t c = 0; c < m_cols; ++c) {
                    dst(r, c) = (*this)(r, c);
                }
            }
        }
    }

    T* m_ptr = nullptr;
    std::size_t m_rows = 0;
    std::size_t m_cols = 0;
    std::size_t m_stride0 = 1;
    std::size_t m_stride1 = 1;

private:
    static int64_t signed_stride(std::size_t stride) { return static_cast<int64_t>(stride); }

    static uintptr_t address_of(const T* base, int64_t element_offset) {
        return reinterpret_cast<uintptr_t>(base) +
               static_cast<uintptr_t>(element_offset * static_cast<int64_t>(sizeof(T)));
    }

    T* element_ptr(std::size_t r, std::size_t c) const {
        return m_ptr + static_cast<int64_t>(r) * stride0() + static_cast<int64_t>(c) * stride1();
    }

    /// Lowest and highest element addresses; false for a view without elements.
    bool address_range(uintptr_t& low, uintptr_t& high) const {
        if (m_rows == 0 || m_cols == 0) {
            return false;
        }
        const int64_t row_span = static_cast<int64_t>(m_rows - 1) * stride0();
        const int64_t col_span = static_cast<int64_t>(m_cols - 1) * stride1();
        const int64_t low_offset = (row_span < 0 ? row_span : 0) + (col_span < 0 ? col_span : 0);
        const int64_t high_offset = (row_span > 0 ? row_span : 0) + (col_span > 0 ? col_span : 0);
        low = address_of(m_ptr, low_offset);
        high = address_of(m_ptr, high_offset);
        return true;
    }
};

}  // namespace data_wrappers
}  // namespace bass
