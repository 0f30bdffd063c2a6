#pragma once
// Numeric factorisation with partial pivoting of the KLU-style backend: every diagonal block of
// the block triangular form is factored by itself; the entries above the diagonal blocks are kept
// apart for the block back-substitution.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "klu_native/analyze.hpp"
#include "klu_native/kernel.hpp"

namespace quillmere::klu_native {

// The factors of the whole matrix. The permutations, the row patterns of L and U and the order of
// each U column are fixed by `factor`; refactorisation rewrites only the values.
struct Numeric {
    std::vector<BlockFactor> blocks;  // one per diagonal block, in block order
    std::vector<std::size_t> pnum;    // pnum[k] = input row that is the k-th pivot
    std::vector<std::size_t> pinv;    // pinv[pnum[k]] = k
    // Entries above the diagonal blocks, by permuted column: rows are final pivot positions.
    std::vector<std::size_t> offp;
    std::vector<std::size_t> offi;
    std::vector<double> offx;
};

// Appends the sink lists of the block that starts at position k1, column by column, to offi (input
// rows; the caller maps them to pivot positions once every block is done) and offx, and sets the
// column pointers offp[k1+1 .. k1+nk].
void append_off_diagonal(std::size_t k1, std::span<const std::vector<FactorEntry>> sink,
                         std::vector<std::size_t>& offp, std::vector<std::size_t>& offi,
                         std::vector<double>& offx);

// Factors the n x n compressed-column matrix (rows ascending per column) in the order of `sym`,
// which must be upper block triangular. Absent when a block column has no pivot candidate or an
// exactly zero pivot. NaN or infinite pivots are accepted.
std::optional<Numeric> factor(std::size_t n, std::span<const std::size_t> col_ptr,
                              std::span<const std::size_t> row_idx, std::span<const double> values,
                              const Symbolic& sym, double tol);

}  // namespace quillmere::klu_native
