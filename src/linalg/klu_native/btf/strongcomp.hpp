#pragma once
// Strongly connected components of the graph of a square pattern whose diagonal is given by a
// column order (Tarjan's method with explicit stacks): R. E. Tarjan, "Depth-first search and
// linear graph algorithms", SIAM J. Comput. 1(2), 1972.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillmere::klu_native::btf {

struct Components {
    std::vector<std::uint32_t> p;  // nodes block by block, increasing index inside a block
    std::vector<std::uint32_t> r;  // block boundaries, nblocks+1 entries
};

// Node j stands for row j and column unflip(q[j]) (column j when q is empty); every entry of that
// column in row i is an edge j -> i. Blocks come in completion order, which makes the permuted
// matrix upper block triangular. A non-empty q must hold n entries naming columns below n, and is
// replaced in place by q[p[k]] (marks kept). n below 2^31. Iterative, so any depth is fine.
Components strongcomp(std::size_t n, std::span<const std::uint32_t> ap,
                      std::span<const std::uint32_t> ai, std::span<std::int32_t> q);

}  // namespace quillmere::klu_native::btf
