#pragma once
// Solve with the factors of the KLU-style backend: permuted block back-substitution, last block
// first, each block's solution pushed into the earlier blocks through the off-diagonal part.

#include <span>

#include "linalg/klu_native/factor.hpp"

namespace quillmere::klu_native {

// Writes x (n values) with A x = rhs for the matrix that `num` factors, `ax` holding the entry
// values of `m.a`; `y` is n values of work space. False when an entry of x is NaN or infinite.
// Stops when a length disagrees.
bool solve(const PermutedMatrix& m, std::span<const double> ax, const Numeric& num,
           std::span<const double> rhs, std::span<double> y, std::span<double> x);

}  // namespace quillmere::klu_native
