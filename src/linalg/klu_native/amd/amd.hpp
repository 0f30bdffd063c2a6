#pragma once
// Approximate minimum degree ordering of a square compressed-column pattern, applied to the
// pattern of C + C^T.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillmere::klu_native::amd {

// Returns perm with perm[k] = node placed at position k. Absent for an invalid pattern: `ap`
// empty, ap[0] != 0, a negative ap[n] or decreasing pointers (as signed numbers of their width), or
// a column whose rows are not strictly increasing or not below n; absent too when amd_fits(n, nnz)
// is false. Stops when `ap` has fewer than n+1 entries or a column reaches past the end of
// `ai`.
std::optional<std::vector<std::uint32_t>> amd_order(std::size_t n,
                                                    std::span<const std::uint32_t> ap,
                                                    std::span<const std::uint32_t> ai);

// The same for a pattern of full-width indices.
std::optional<std::vector<std::size_t>> amd_order(std::size_t n, std::span<const std::size_t> ap,
                                                  std::span<const std::size_t> ai);

// Whether amd_order can order a pattern of n columns and nnz entries: its lists of C + C^T, with
// their room, take 32-bit signed positions.
bool amd_fits(std::size_t n, std::size_t nnz);

}  // namespace quillmere::klu_native::amd
