#pragma once
// Checks of a compressed-column pattern before the analysis or the factorisation walks it, so that
// a broken pattern stops instead of reading out of range.

#include <cstddef>
#include <cstdint>
#include <span>

#include "linalg/compressed_pattern.hpp"

namespace quillmere::klu_native {

// Stops unless `ap` holds ncol+1 pointers, every column range lies inside `ai` and every row index
// is below nrow. Row order is not checked.
void check_pattern(std::size_t nrow, std::size_t ncol, std::span<const std::uint32_t> ap,
                   std::span<const std::uint32_t> ai);

// Stops unless `col_ptr` holds n+1 pointers from 0, never decreasing, the last one nnz: the
// columns then split the nnz entries, each entry in one column.
void check_pointers(std::size_t n, std::span<const std::uint32_t> col_ptr, std::size_t nnz);

// Stops unless the pattern keeps the promises of compress_pattern: pointers as check_pointers
// wants them for its entries, rows strictly increasing and below n in every column.
void check_compressed(const CompressedPattern& pattern);

}  // namespace quillmere::klu_native
