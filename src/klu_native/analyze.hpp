#pragma once
// Symbolic analysis of the KLU-style backend: block upper triangular form, then a fill-reducing
// order inside every diagonal block of 4 or more rows. Reads only the pattern.

#include <cstddef>
#include <span>
#include <vector>

namespace quillmere::klu_native {

struct Symbolic {
    std::vector<std::size_t> p;  // p[k] = row placed at position k
    std::vector<std::size_t> q;  // q[k] = column placed at position k
    std::vector<std::size_t> r;  // block b holds positions r[b] .. r[b+1]-1
};

// Pattern of an n x n matrix: n+1 column pointers, strictly increasing rows below n per column.
// A(p, q) is upper block triangular, with a zero-free diagonal when the pattern is structurally
// nonsingular. A structurally singular pattern gets full permutations all the same.
Symbolic analyze(std::size_t n, std::span<const std::size_t> ap, std::span<const std::size_t> ai);

}  // namespace quillmere::klu_native
