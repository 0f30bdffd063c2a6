#pragma once
// The "block" Newton backend: a sparse LU over 2x2 real blocks, one block row and column per
// non-slack bus. One COLAMD order of the block pattern serves rows and columns alike, the fill
// pattern is found once, and every later matrix of that pattern is factored without any pivoting
// (neither between blocks nor inside one), each pivot block inverted explicitly.
//
// Sequence: fill a BlockMatrix, `finish` it into a BlockAdjacency, `analyze` the first adjacency
// and keep the BlockSymbolic, `refactor` every adjacency with it, `solve` once per factorisation.
//
// The block pattern must be structurally symmetric (a block at (r, c) exactly when one stands at
// (c, r)): the analysis reads the pattern by rows, the factorisation reads values by columns. A
// broken calling contract (an index out of range, an unsymmetric pattern, a matrix with a block
// outside the analysed fill, a right-hand side of the wrong length) stops the call.

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace quillmere {

// [[b00, b01], [b10, b11]] held row-major: b00, b01, b10, b11.
using Block = std::array<double, 4>;
// (x0, x1).
using BlockVector = std::array<double, 2>;

// n lists of positions stored back to back: list k is index[start[k] .. start[k + 1]).
struct IndexLists {
    std::vector<std::size_t> start;  // count() + 1 offsets from 0; empty means no lists
    std::vector<std::size_t> index;

    std::size_t count() const { return start.empty() ? 0 : start.size() - 1; }
    // Stops when k >= count() or the offsets do not fit `index`.
    std::span<const std::size_t> operator[](std::size_t k) const;
};

// n lists of (index, block) pairs stored back to back, the blocks alongside their indices.
struct BlockLists {
    std::vector<std::size_t> start;  // count() + 1 offsets from 0; empty means no lists
    std::vector<std::size_t> index;
    std::vector<Block> block;

    std::size_t count() const { return start.empty() ? 0 : start.size() - 1; }
    // List k; both stop when k >= count() or the offsets do not fit `index` and `block`.
    std::span<const std::size_t> indices(std::size_t k) const;
    std::span<const Block> blocks(std::size_t k) const;
};

// One matrix per block row and per block column, repeated positions summed.
struct BlockAdjacency {
    BlockLists rows;  // rows[r]: (column, block), one per distinct column, ascending
    BlockLists cols;  // cols[c]: (row, block), one per distinct row, ascending
    std::size_t n = 0;

    // COLAMD column order of the block pattern (read from `rows`): entry j is the block index
    // placed at position j. Stops when the pattern or the ordering cannot be made.
    std::vector<std::size_t> colamd_order() const;
};

struct BlockEntry {
    std::size_t row = 0;
    std::size_t col = 0;
    Block block{};
};

// Assembly buffer: entries in any order; a (row, col) given more than once means their sum.
struct BlockMatrix {
    std::vector<BlockEntry> entries;
    std::size_t n = 0;

    // Consumes the buffer. Stops when an entry's row or column is >= n. Repeated positions are
    // summed in an unspecified order.
    BlockAdjacency finish() &&;
};

// Elimination order and block fill pattern, made once per pattern and never changed.
struct BlockSymbolic {
    std::vector<std::size_t> order;  // order[j]: block index at position j, rows and columns alike
    IndexLists l_pattern;            // l_pattern[j]: positions i > j of column j of L, ascending
    IndexLists u_pattern;            // u_pattern[j]: positions k <= j of column j of U, ascending
    std::size_t n = 0;

    // Stops when the pattern is not structurally symmetric or COLAMD fails.
    static BlockSymbolic analyze(const BlockAdjacency& adjacency);
};

// Numeric factors of one matrix: A(order[i], order[j]) = (L U)(i, j), L unit lower triangular
// (its identity diagonal not stored), U upper triangular with the pivot block last in each column,
// stored as computed (not inverted).
struct BlockLu {
    std::vector<std::size_t> order;
    BlockLists l_cols;  // l_cols[j]: (i, L_ij) for every i of l_pattern[j], in that order
    BlockLists u_cols;  // u_cols[j]: (k, U_kj) for every k of u_pattern[j], in that order
    std::size_t n = 0;

    // Absent when a pivot block's determinant is NaN, infinite or below 1e-300 in magnitude
    // (a pivot position that received nothing counts as the zero block). Stops when `adjacency`
    // has a block outside the fill pattern of `symbolic` or another dimension.
    static std::optional<BlockLu> refactor(const BlockSymbolic& symbolic,
                                           const BlockAdjacency& adjacency);
    // x with A x = rhs, both indexed by block index; rhs must hold n block vectors. The solution is
    // not checked for finiteness: a NaN or infinity in rhs or the factors passes into x.
    std::vector<BlockVector> solve(std::span<const BlockVector> rhs) const;
};

}  // namespace quillmere
