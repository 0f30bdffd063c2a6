#pragma once
// The left-looking sparse LU kernel of the KLU-style backend: one diagonal block at a time, a
// depth-first reach per column, a sparse triangular solve, partial pivoting with preference for
// the diagonal, and symmetric pruning of L so later reaches scan less.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillmere::klu_native {

// One entry of a block column as gathered from the input: its local row in the block.
struct GatheredEntry {
    std::uint32_t row = 0;
    double value = 0.0;
};

// One stored entry of L or U.
struct FactorEntry {
    std::uint32_t row = 0;
    double value = 0.0;
};

// The factors of one diagonal block of nk columns as the pivoting factorisation builds them. Rows
// of `l` and `u` are local pivot positions; the entries of each `u` column are in the topological
// order in which the column was computed, which the refactorisation walks again.
struct BlockFactor {
    std::vector<std::vector<FactorEntry>> l;  // below the unit diagonal, multipliers
    std::vector<std::vector<FactorEntry>> u;  // above the diagonal
    std::vector<double> udiag;                // pivots
    std::vector<std::size_t> perm;            // perm[k] = local row chosen as pivot of column k
};

struct Pivot {
    std::size_t row = 0;
    double value = 0.0;
};

// Chooses the pivot among the candidates (row, value) of one column, in reach order: `diag_row`
// when its magnitude is at least tol times the largest, else the first candidate of largest
// magnitude (the last one only when strictly larger than all others). The pivot leaves the list,
// the last candidate taking its slot, and the rest are divided by the pivot, becoming the column
// of L. Absent when there is no candidate or the pivot is exactly zero.
std::optional<Pivot> lpivot(std::vector<FactorEntry>& candidates, std::size_t diag_row, double tol);

// Factors one diagonal block from its gathered columns (nk lists, local rows below nk). Absent
// when a column has no pivot candidate or an exactly zero pivot.
std::optional<BlockFactor> factor_block(std::size_t nk,
                                        std::span<const std::vector<GatheredEntry>> cols,
                                        double tol);

// Gathers the entries inside the diagonal block of the columns q[k1 .. k2-1] of the
// compressed-column matrix into cols[0 .. k2-k1-1], keeping their storage: a row i at position[i]
// >= k1 becomes the local row position[i] - k1; rows placed before k1 lie above the block and are
// left out. Stops on a row placed at k2 or later, which an upper block triangular order never has.
void gather_block_columns(std::size_t k1, std::size_t k2, std::span<const std::uint32_t> col_ptr,
                          std::span<const std::uint32_t> row_idx, std::span<const double> values,
                          std::span<const std::size_t> q, std::span<const std::size_t> position,
                          std::span<std::vector<GatheredEntry>> cols);

}  // namespace quillmere::klu_native
