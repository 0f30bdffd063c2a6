#pragma once
// The graph of A + A^T (diagonal dropped) as one adjacency list per node, in the push order that
// the minimum degree elimination relies on for its tie-breaks.

#include <cstddef>
#include <span>
#include <vector>

namespace quillmere::klu_native::amd {

using AdjacencyLists = std::vector<std::vector<std::size_t>>;

// Requires n+1 pointers and sorted, repetition-free row indices below n in every column (amd_order
// has checked them). Each unordered pair {i, j}, i != j, present in A or A^T lands once in list i
// and once in list j.
AdjacencyLists build_symmetric_lists(std::size_t n, std::span<const std::size_t> ap,
                                     std::span<const std::size_t> ai);

}  // namespace quillmere::klu_native::amd
