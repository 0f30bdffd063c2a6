#include "linalg/klu_native/pattern_check.hpp"

#include <string>

#include "common/stop.hpp"

namespace quillmere::klu_native {

void check_pattern(std::size_t nrow, std::size_t ncol, std::span<const std::uint32_t> ap,
                   std::span<const std::uint32_t> ai) {
    check_len(ap.size(), ncol + 1, "column pointers");
    for (std::size_t j = 0; j < ncol; ++j) {
        if (ap[j] >= ap[j + 1]) continue;
        check_index(ap[j + 1] - 1, ai.size());
        bool inside = true;
        for (std::size_t p = ap[j]; p < ap[j + 1]; ++p) inside = inside && ai[p] < nrow;
        if (!inside) {
            for (std::size_t p = ap[j]; p < ap[j + 1]; ++p) check_index(ai[p], nrow);
        }
    }
}

void check_pointers(std::size_t n, std::span<const std::uint32_t> col_ptr, std::size_t nnz) {
    check_len(col_ptr.size(), n + 1, "column pointers");
    if (col_ptr[0] != 0 || col_ptr[n] != nnz) {
        stop("column pointers run from " + std::to_string(col_ptr[0]) + " to " +
             std::to_string(col_ptr[n]) + " over " + std::to_string(nnz) + " entries");
    }
    for (std::size_t j = 0; j < n; ++j) {
        if (col_ptr[j] > col_ptr[j + 1]) {
            stop("column " + std::to_string(j) + " ends before it starts");
        }
    }
}

void check_compressed(const CompressedPattern& pattern) {
    const std::size_t n = pattern.n;
    const std::span<const std::uint32_t> col_ptr(pattern.col_ptr);
    const std::span<const std::uint32_t> row_idx(pattern.row_idx);
    check_pointers(n, col_ptr, row_idx.size());
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint32_t begin = col_ptr[j];
        const std::uint32_t end = col_ptr[j + 1];
        if (begin == end) continue;
        bool increasing = true;
        for (std::uint32_t p = begin + 1; p < end; ++p) {
            increasing = increasing && row_idx[p] > row_idx[p - 1];
        }
        if (!increasing) {
            stop("the rows of column " + std::to_string(j) + " are not strictly increasing");
        }
        check_index(row_idx[end - 1], n);
    }
}

}  // namespace quillmere::klu_native
