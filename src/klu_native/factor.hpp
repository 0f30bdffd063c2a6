#pragma once
// Numeric factorisation with partial pivoting of the KLU-style backend, and the layout the later
// passes read. Every diagonal block of the block triangular form is factored by itself; the
// factors are stored by column over the whole matrix, and the input matrix is laid out once in the
// order of its factors, so that a later pass moves each value straight to where the
// refactorisation and the solve read it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "compressed_pattern.hpp"
#include "klu_native/analyze.hpp"
#include "klu_native/kernel.hpp"

namespace quillmere::klu_native {

// The input matrix in the order of its factors, A(pnum, q). Column k is input column q[k]; its
// rows are pivot positions, ascending, so the entries before block_start[k] lie above the
// diagonal block of k (the off-diagonal part the solve pushes through) and the rest inside it.
// `a.slot` sends each triplet's value to its entry.
struct PermutedMatrix {
    CompressedPattern a;
    std::vector<std::uint32_t> r;            // block b holds positions r[b] .. r[b+1]-1
    std::vector<std::uint32_t> q;            // q[k] = input column at position k
    std::vector<std::uint32_t> block_start;  // per column, an offset into a.row_idx
};

// Factors the compressed-column matrix (entry values `ax`) in the order of `sym`, which must be
// upper block triangular. Absent when a block column has no pivot candidate or an exactly zero
// pivot, or when L or U would hold more entries than 32-bit offsets reach. NaN or infinite pivots
// are accepted. Stops when the lengths disagree with the pattern.
std::optional<Numeric> factor(const CompressedPattern& pattern, std::span<const double> ax,
                              const Symbolic& sym, double tol);

// The layout of the pattern (and its triplets, through its slots) in the order of `sym` and
// `pnum`. Stops on an entry below its diagonal block, which an upper block triangular order never
// has, and when the lengths disagree with the pattern.
PermutedMatrix permute(const CompressedPattern& pattern, const Symbolic& sym,
                       std::span<const std::uint32_t> pnum);

}  // namespace quillmere::klu_native
