#pragma once
// Solve with the factors of the KLU-style backend: permuted block back-substitution, last block
// first, each block's solution pushed into the earlier blocks through the off-diagonal part.

#include <optional>
#include <span>
#include <vector>

#include "klu_native/analyze.hpp"
#include "klu_native/factor.hpp"

namespace quillmere::klu_native {

// x with A x = rhs for the matrix that `num` factors in the order of `sym`. Absent when an entry
// of x is NaN or infinite. Stops when rhs holds fewer than n values.
std::optional<std::vector<double>> solve(const Symbolic& sym, const Numeric& num,
                                         std::span<const double> rhs);

}  // namespace quillmere::klu_native
