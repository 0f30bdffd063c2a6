#pragma once
// Approximate minimum degree ordering of a square compressed-column pattern, applied to the
// pattern of C + C^T.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace quillmere::klu_native::amd {

// Returns perm with perm[k] = node placed at position k. Absent for an invalid pattern: `ap`
// empty, ap[0] != 0, a negative ap[n] or decreasing pointers (signed), or a column whose rows are
// not strictly increasing or not below n. Stops when `ap` has fewer than n+1 entries or a column
// reaches past the end of `ai`.
std::optional<std::vector<std::size_t>> amd_order(std::size_t n, std::span<const std::size_t> ap,
                                                  std::span<const std::size_t> ai);

}  // namespace quillmere::klu_native::amd
