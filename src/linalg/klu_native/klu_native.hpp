#pragma once
// The "klu_native" Newton backend: the system's own sparse LU in the manner of KLU. `create`
// compresses the pattern, analyses it (block triangular form, fill-reducing order per block), lays
// the matrix out in that order, factors the first matrix from the layout with partial pivoting and
// moves the layout's rows to the pivot order. Every later matrix of the same pattern is scattered
// straight into that layout, refactored along the first pivot order, without any new search, and
// solved; a pass allocates nothing but the solution it returns. KLU: T. A. Davis and E. Palamadai
// Natarajan, ACM Trans. Math. Softw. 37(3), 2010; the algorithms are cited where they live.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "common/triplet.hpp"
#include "linalg/klu_native/factor.hpp"

namespace quillmere::klu_native {

class KluNativeSystem {
  public:
    // Absent when the first factorisation finds a structurally singular block or an exactly zero
    // pivot, or when the pattern or its factors need indices of 32 bits or more (the analysis:
    // positions of 31 bits, see analyze). The triplet values serve that factorisation only;
    // repeated positions add up by the summation rule of CompressedPattern. Stops on an index of n
    // or more.
    static std::optional<KluNativeSystem> create(std::size_t n,
                                                 std::span<const Triplet<double>> triplets);

    // Refactors with `values` (one per triplet given to `create`, same order) along the stored
    // pivot order and solves. The first call with the very values of `create`, bit for bit, solves
    // with the factors `create` made: refactoring them would give the same bits. Absent on an
    // exactly zero pivot or a solution that is not finite; the next call then behaves as if this
    // one had not been made. Stops when `values` differs in length from the triplets or `rhs` holds
    // fewer than n values.
    std::optional<std::vector<double>> factor_and_solve_values(std::span<const double> values,
                                                               std::span<const double> rhs);

    std::size_t n() const { return matrix_.a.n; }
    const PermutedMatrix& matrix() const { return matrix_; }
    const Numeric& numeric() const { return numeric_; }

  private:
    KluNativeSystem(PermutedMatrix matrix, Numeric numeric, std::vector<double> ax,
                    std::vector<double> first_values);

    PermutedMatrix matrix_;
    Numeric numeric_;
    std::vector<double> ax_;  // the entry values of matrix_.a, of the last matrix scattered
    std::vector<double> x_;   // refactorisation work column, zero between calls
    std::vector<double> y_;   // solve work vector
    // The triplet values `numeric_` was computed from by `create`, until the first call.
    std::vector<double> first_values_;
};

}  // namespace quillmere::klu_native

namespace quillmere {
using klu_native::KluNativeSystem;
}  // namespace quillmere
