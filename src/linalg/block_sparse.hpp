#pragma once
// The "block" Newton backend: a sparse LU over 2x2 real blocks, one block row and column per
// non-slack bus. One COLAMD order of the block pattern serves rows and columns alike, the fill
// pattern is found once, and every later matrix of that pattern is factored without any pivoting
// (neither between blocks nor inside one), each pivot block inverted explicitly.
//
// Sequence: `analyze` the block positions once; then for every matrix of that pattern write its
// blocks into `values()` (through `slots()`), `refactor`, and `solve` once or more. Everything a
// matrix needs beyond its values is made by `analyze`: a refactor or a solve sorts, searches and
// allocates nothing.
//
// The block pattern must be structurally symmetric (a block at (r, c) exactly when one stands at
// (c, r)): the fill is found along rows and the factorisation reads the values by columns.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "linalg/compressed_pattern.hpp"

namespace quillmere {

// [[b00, b01], [b10, b11]] held row-major: b00, b01, b10, b11.
using Block = std::array<double, 4>;
// (x0, x1).
using BlockVector = std::array<double, 2>;

// Sizes of an analysed pattern; `updates` counts the block multiply-subtracts of one refactor.
struct BlockLuCounts {
    std::size_t n = 0;
    std::size_t matrix_blocks = 0;  // distinct positions of the matrix
    std::size_t l_blocks = 0;       // below the diagonal
    std::size_t u_blocks = 0;       // on and above the diagonal
    std::uint64_t updates = 0;
};

// One pattern's analysis and the numeric factors of its latest matrix. Made only by `analyze`, so
// its index lists are consistent by construction and the kernels index without checks.
class BlockLu {
  public:
    // The analysis of an n x n block matrix with a block at every (rows[t], cols[t]); a position
    // given more than once is one block of values(). Stops when the lists differ in length, a row
    // or column is n or more, the pattern is not structurally symmetric, COLAMD fails or the fill
    // needs indices of 32 bits or more.
    static BlockLu analyze(std::size_t n, std::span<const std::size_t> rows,
                           std::span<const std::size_t> cols);

    std::size_t n() const { return n_; }
    // order[j]: the block index placed at position j, rows and columns alike.
    std::span<const std::uint32_t> order() const { return order_; }
    // slots[t]: the block of values() that position t of the analysed list lands in.
    std::span<const std::uint32_t> slots() const { return input_.slot; }

    // The matrix that `refactor` factors, one block per distinct position. Repeated positions
    // are summed by the rule of compressed_pattern.hpp: -0.0, then every block given for the
    // position in list order (`clear_values`, then add at the slots).
    std::span<Block> values() { return values_; }
    std::span<const Block> values() const { return values_; }
    void clear_values();
    // values() from one block per analysed position, in list order, by that rule. Stops when
    // `given` does not hold one block per position.
    void assign(std::span<const Block> given);

    // Factors values(): A(order[i], order[j]) = (L U)(i, j), L unit lower triangular, U upper.
    // False when a pivot block's determinant is NaN, infinite or below 1e-300 in magnitude (a
    // pivot that receives nothing counts as the zero block); `solve` then stops until a refactor
    // succeeds.
    bool refactor();
    // Solves A x = rhs in place: x holds rhs on entry, indexed by block index, and the solution on
    // return. Stops when x does not hold n block vectors or no refactor has succeeded. The solution
    // is not checked for finiteness: a NaN or infinity in rhs or the factors passes into x.
    void solve(std::span<BlockVector> x);

    BlockLuCounts counts() const;

  private:
    BlockLu() = default;

    std::uint32_t n_ = 0;
    std::vector<std::uint32_t> order_;
    // The matrix in positions (row and column j of the permuted matrix), column j's rows ascending.
    CompressedPattern input_;
    std::vector<Block> values_;
    // Column j of the factors: positions index_[start_[j] .. start_[j + 1]), ascending; those up to
    // diag_[j] (the pivot j itself) are U's, those after it L's.
    std::vector<std::uint32_t> start_;
    std::vector<std::uint32_t> index_;
    std::vector<std::uint32_t> diag_;
    std::uint64_t updates_ = 0;

    // Factors along index_: U_kj as computed, L_ij times the inverse pivot.
    std::vector<Block> factors_;
    std::vector<Block> pivot_inverse_;
    std::vector<std::uint32_t> where_;  // position -> entry of the column being factored
    std::vector<BlockVector> y_;
    bool factored_ = false;
};

}  // namespace quillmere
