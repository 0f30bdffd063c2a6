#pragma once
// Refactorisation with new values along the pivot order, the L and U patterns and the U entry
// order fixed by the first factorisation: no search, no pivot test, no allocation.

#include <span>

#include "linalg/klu_native/factor.hpp"

namespace quillmere::klu_native {

// Recomputes the values of `num` from `ax`, the entry values of `m.a`. Uses `x` (n values), which
// must be zero and is zero again on every return. False on an exactly zero pivot; `num` is then
// partly rewritten, and the next call rewrites all of it. Stops when a length disagrees.
bool refactor(const PermutedMatrix& m, std::span<const double> ax, Numeric& num,
              std::span<double> x);

}  // namespace quillmere::klu_native
