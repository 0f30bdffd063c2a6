#pragma once
// Sparse linear algebra for the engine: the complex Y-bus matrix with its product, the one-shot
// complex solve of the initial guess, and the "scalar" Newton backend; both solves on SuiteSparse
// KLU. Exhausted memory leaves every function here as std::bad_alloc, never as an absent result.

#include <Eigen/SparseCore>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/triplet.hpp"
#include "common/types.hpp"

namespace quillmere {

// Square complex matrix in compressed-column form; duplicates summed, zero sums kept stored.
struct SparseMatrix {
    Eigen::SparseMatrix<Complex, Eigen::ColMajor> mat;
    std::size_t n = 0;

    // Absent when an index is >= n, or n or the triplet count exceeds Eigen's int indices.
    static std::optional<SparseMatrix> build(std::size_t n,
                                             std::span<const Triplet<Complex>> triplets);
    // y = A x over the first n entries of x; stops when x holds fewer than n.
    std::vector<Complex> mul_vec(std::span<const Complex> x) const;
    // The same into y, which must hold exactly n values; allocates nothing.
    void mul_vec_into(std::span<const Complex> x, std::span<Complex> y) const;
};

namespace sparse {
// Solves A x = rhs once (KLU, complex). Absent when an index is >= n, n or the triplet count
// exceeds INT_MAX, A is singular (a zero pivot, or n > 0 without any triplet) or the solution is
// not finite. Stops when `rhs` holds fewer than n values.
std::optional<std::vector<Complex>> solve_complex(std::size_t n,
                                                  std::span<const Triplet<Complex>> triplets,
                                                  std::span<const Complex> rhs);
}  // namespace sparse

template <class T>
struct KluSparseSystemState;

// A square system over a fixed pattern on KLU, for T = double (the "scalar" Newton backend) or
// Complex (the initial guess). `create` builds the compressed pattern and KLU's analysis (block
// triangular form, AMD ordering) once; every later call pours new values (in the order of the
// triplets given to `create`) through the pattern's slots, factors them as KLU's partial pivoting
// and row scaling do, and solves. The analysis depends on the positions alone, so a call gives the
// same x, bit for bit, as a system created for its own values. A factorisation whose pivots all
// lie on the diagonal is kept, and a later call whose values pivoting would give the same pivots
// refactors along them: the same operations without the pivot search, so the same x. A failed
// call leaves the object ready for the next one.
template <class T>
class KluSparseSystem {
  public:
    // Only the positions of `triplets` are used. Absent when an index is >= n, n or the triplet
    // count exceeds INT_MAX (KLU's indices), or n > 0 without any triplet (a singular matrix).
    static std::optional<KluSparseSystem> create(std::size_t n,
                                                 std::span<const Triplet<T>> triplets);
    // Absent when KLU finds the matrix singular or the solution is not finite. Stops when `values`
    // differs in length from the triplets given to `create`, or `rhs` holds fewer than n values.
    std::optional<std::vector<T>> factor_and_solve_values(std::span<const T> values,
                                                          std::span<const T> rhs);
    std::size_t n() const;
    // The calls that refactored along kept pivots, for tests and diagnostics.
    std::uint64_t refactorizations() const;

    KluSparseSystem(KluSparseSystem&&) noexcept;
    KluSparseSystem& operator=(KluSparseSystem&&) noexcept;
    ~KluSparseSystem();

  private:
    explicit KluSparseSystem(std::unique_ptr<KluSparseSystemState<T>> state);
    std::unique_ptr<KluSparseSystemState<T>> state_;
};

// The "scalar" Newton backend.
using RealSparseSystem = KluSparseSystem<double>;
// The complex system of the initial guess.
using ComplexSparseSystem = KluSparseSystem<Complex>;

extern template class KluSparseSystem<double>;
extern template class KluSparseSystem<Complex>;

}  // namespace quillmere
