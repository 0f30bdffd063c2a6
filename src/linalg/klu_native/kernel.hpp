#pragma once
// The left-looking sparse LU kernel of the KLU-style backend: one diagonal block at a time, a
// depth-first reach per column, a sparse triangular solve, partial pivoting with preference for
// the diagonal, and symmetric pruning of L so later reaches scan less. The factors go straight into
// the flat whole-matrix storage; nothing is allocated per column.
//
// Left-looking LU with a depth-first reach: J. R. Gilbert and T. Peierls, "Sparse partial pivoting
// in time proportional to arithmetic operations", SIAM J. Sci. Stat. Comput. 9(5), 1988.
// Symmetric pruning: S. C. Eisenstat and J. W. H. Liu, "Exploiting structural symmetry in
// unsymmetric sparse symbolic factorization", SIAM J. Matrix Anal. Appl. 13(1), 1992.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillmere::klu_native {

// One candidate entry of an L column while its pivot is chosen.
struct FactorEntry {
    std::uint32_t row = 0;
    double value = 0.0;
};

// The factors of the whole matrix, one column per pivot position k. The patterns, the order of
// every U column and the pivot order are fixed by the pivoting factorisation; refactorisation
// rewrites only values. Rows are pivot positions inside k's diagonal block.
struct Numeric {
    std::vector<std::uint32_t> pnum;  // pnum[k] = input row that is the k-th pivot
    // L below its unit diagonal: column k holds li/lx[lp[k] .. lp[k+1]-1], the multipliers.
    std::vector<std::uint32_t> lp;
    std::vector<std::uint32_t> li;
    std::vector<double> lx;
    // U above its diagonal: column k holds ui/ux[up[k] .. up[k+1]-1] in the topological order in
    // which the column was computed, which the refactorisation walks again.
    std::vector<std::uint32_t> up;
    std::vector<std::uint32_t> ui;
    std::vector<double> ux;
    std::vector<double> udiag;  // pivots
};

// The columns of one diagonal block as the factorisation reads them: column k holds
// rows/values[begin[k] .. end[k]-1], in the order of the input. Rows are positions in the whole
// matrix; those before the block lie above it and are left out.
struct BlockColumns {
    std::span<const std::uint32_t> begin;  // one per column of the block
    std::span<const std::uint32_t> end;
    std::span<const std::uint32_t> rows;
    std::span<const double> values;
};

// Work space of factor_block for blocks of up to n rows. Each block resets the part it uses, so
// one serves every block of a factorisation. Rows are counted from the block's first row, in the
// row order of the analysis; columns are the block's pivot positions 0 .. nk-1.
struct FactorWork {
    // By row; zero again everywhere once the column's values have moved to U and the candidates.
    std::vector<double> x;  // the column being computed, zero outside it
    // -1: none in this block. flag[i] == k: row i is already on the stack or among column k's
    // candidates (the scatter of A(:,k) marks too), so nothing is cleared between columns.
    std::vector<std::int32_t> flag;  // per row, the last column whose reach met it
    // -1 while unpruned: the reach scans the whole column. Else the count of its entries, moved to
    // its front, that were pivotal rows when it was pruned; the reach scans only those, as the
    // others are reached through the pivot row that pruned it. The numeric update uses them all.
    std::vector<std::int32_t> lpend;  // per column of L, its pivotal entries after pruning
    // The path is stack[0 .. level], pivotal rows, each standing for its column of L; the
    // finished rows are stack[top .. n-1], pushed downwards. Both hold distinct pivotal rows, so
    // the two ends never meet.
    std::vector<std::uint32_t> stack;  // reach path from the front, topological order at the back
    // A column is scanned from its end (or lpend) down to 0.
    std::vector<std::int32_t> scan_pos;  // per path level, the next L entry to scan
    // Per row i: >= 0, i is pivotal and row_pos[i] its column; < 0, i is not yet pivotal and
    // row_pos[i] = flip(c) logs the column c, not yet factored, whose preferred diagonal i is
    // (perm[c] == i). When i becomes the pivot of another column k, c takes k's preferred diagonal.
    std::vector<std::int32_t> row_pos;  // >= 0: pivot of that column; < 0: flip(logged column)
    // Non-pivotal rows met by column k, in the order met; their values once solved, then, without
    // the pivot and divided by it, the column of L.
    std::vector<FactorEntry> candidates;

    explicit FactorWork(std::size_t n)
        : x(n, 0.0), flag(n), lpend(n), stack(n), scan_pos(n), row_pos(n) {}
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

// Factors the diagonal block of the columns `cols` (nk of them) at positions k1 .. k1+nk-1, and
// appends its nk columns of L and U and its pivots to `num` (whose lp and up must end at k1), rows
// moved to k1 + their pivot position in the block. perm[k] = the row (counted from k1) chosen as
// pivot of column k. False when a column has no pivot candidate or an exactly zero pivot, or when
// L or U would hold more entries than 32-bit offsets reach; `num` then holds part of the block.
// Stops when `w` or `perm` is smaller than the block, when `end` is shorter than `begin`, a column
// ends before it starts or reaches past the rows or values, or on a row at k1+nk or later, which an
// upper block triangular order never has.
bool factor_block(std::size_t k1, BlockColumns cols, double tol, FactorWork& w, Numeric& num,
                  std::span<std::uint32_t> perm);

}  // namespace quillmere::klu_native
