#pragma once
// Symbolic analysis of the KLU-style backend: block upper triangular form, then a fill-reducing
// order inside every diagonal block of 4 or more rows. Reads only the pattern.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "linalg/compressed_pattern.hpp"

namespace quillmere::klu_native {

struct Symbolic {
    std::vector<std::uint32_t> p;  // p[k] = row placed at position k
    std::vector<std::uint32_t> q;  // q[k] = column placed at position k
    std::vector<std::uint32_t> r;  // block b holds positions r[b] .. r[b+1]-1
};

// A(p, q) is upper block triangular, with a zero-free diagonal when the pattern is structurally
// nonsingular. A structurally singular pattern gets full permutations all the same. Absent when
// the work space of the analysis would need positions of 31 bits or more (n + 2.4 nnz reaching
// 2^31). Stops unless the pattern keeps the promises of compress_pattern: n+1 pointers from 0,
// never decreasing, ending inside row_idx, and strictly increasing rows below n in every column.
std::optional<Symbolic> analyze(const CompressedPattern& pattern);

// The same for a pattern of full-width indices; stops where the other stops or is absent.
Symbolic analyze(std::size_t n, std::span<const std::size_t> ap, std::span<const std::size_t> ai);

}  // namespace quillmere::klu_native
