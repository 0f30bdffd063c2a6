#pragma once
// Bounds check of a compressed-column pattern before the analysis walks it, so that a broken
// pattern stops instead of reading out of range.

#include <cstddef>
#include <span>

namespace quillmere::klu_native {

// Stops unless `ap` holds ncol+1 pointers, every column range lies inside `ai` and every row index
// is below nrow. Row order is not checked.
void check_pattern(std::size_t nrow, std::size_t ncol, std::span<const std::size_t> ap,
                   std::span<const std::size_t> ai);

}  // namespace quillmere::klu_native
