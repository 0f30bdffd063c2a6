#pragma once
// Numeric factorisation with partial pivoting of the KLU-style backend, and the layout the later
// passes read. The input matrix is laid out once in the order of the analysis: the pivoting
// factorisation reads each block's columns from that layout in order, and then its rows move to
// the pivot positions, every column sorted again in place. Every diagonal block is factored by
// itself; the factors are stored by column over the whole matrix, so that a later pass moves each
// value straight to where the refactorisation and the solve read it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "linalg/compressed_pattern.hpp"
#include "linalg/klu_native/analyze.hpp"
#include "linalg/klu_native/kernel.hpp"

namespace quillmere::klu_native {

// The input matrix in the order of its factors, A(pnum, q). Column k is input column q[k]; its
// rows are pivot positions, ascending, so the entries before block_start[k] lie above the diagonal
// block of k (the off-diagonal part the solve pushes through) and the rest inside it. `a.slot`
// sends each triplet's value to its entry. Until `move_to_pivot_rows` has run, as `permute` lays
// it out for the factorisation, rows are positions in the row order of the analysis and every
// column holds its entries above the block, then those inside it, each part in the row order of
// the input: not yet a CompressedPattern's order.
struct PermutedMatrix {
    CompressedPattern a;
    std::vector<std::uint32_t> r;            // block b holds positions r[b] .. r[b+1]-1
    std::vector<std::uint32_t> q;            // q[k] = input column at position k
    std::vector<std::uint32_t> block_start;  // per column, an offset into a.row_idx
};

// The layout of the pattern (and of its triplets, through its slots) in the order of `sym`, rows
// at their positions in sym.p. Stops on an entry below its diagonal block, which an upper block
// triangular order never has, and when `sym` is no order of the pattern's n rows and columns or the
// pattern's pointers or rows are out of range.
PermutedMatrix permute(const CompressedPattern& pattern, const Symbolic& sym);

// Factors the matrix of `m` as `permute` laid it out for `sym`, entry values `ax`. Absent when a
// block column has no pivot candidate or an exactly zero pivot, or when L or U would hold more
// entries than 32-bit offsets reach. NaN or infinite pivots are accepted. Stops when the lengths
// disagree with the layout.
std::optional<Numeric> factor(const PermutedMatrix& m, std::span<const double> ax,
                              const Symbolic& sym, double tol);

// Moves the rows of `m` from their positions in sym.p to the pivot positions of `pnum` and sorts
// every column by row again; the entry values `ax` and the triplets' slots follow their entries.
// Stops when a length disagrees or `pnum` is no permutation.
void move_to_pivot_rows(PermutedMatrix& m, const Symbolic& sym, std::span<const std::uint32_t> pnum,
                        std::span<double> ax);

}  // namespace quillmere::klu_native
