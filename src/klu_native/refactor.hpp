#pragma once
// Refactorisation of one diagonal block with new values along the pivot order, the L and U
// patterns and the U entry order fixed by the first factorisation: no search, no pivot test.

#include <cstddef>
#include <span>
#include <vector>

#include "klu_native/kernel.hpp"

namespace quillmere::klu_native {

// Working storage kept between refactorisations so that they allocate little.
struct RefactorScratch {
    std::vector<double> x;                         // n zeros between calls
    std::vector<std::vector<GatheredEntry>> cols;  // per permuted column; storage reused
};

// Recomputes the values of `f` from the block's gathered columns (rows are local pivot positions,
// or flip() of the input row above the block). Uses the first nk entries of `x`, which must be
// zero and are zero again on every return. Entries above the block go to `sink` as (input row,
// value). False on an exactly zero pivot; the block is then partly rewritten.
bool refactor_block_in_place(std::size_t nk, BlockFactor& f, std::span<double> x,
                             std::span<const std::vector<GatheredEntry>> cols,
                             std::span<std::vector<FactorEntry>> sink);

}  // namespace quillmere::klu_native
