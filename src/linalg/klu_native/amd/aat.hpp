#pragma once
// The graph of A + A^T (diagonal dropped) laid out flat for the minimum degree elimination: one
// list per node, in the push order that the elimination relies on for its tie-breaks, followed by
// free room for the elements the elimination creates.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillmere::klu_native::amd {

struct SymmetricLists {
    std::vector<std::int32_t> pe;   // node i's list is iw[pe[i] .. pe[i] + len[i] - 1]
    std::vector<std::int32_t> len;  // per node
    std::vector<std::int32_t> iw;   // the lists, node by node, then free room
    std::int32_t pfree = 0;         // first free entry of iw
};

// Requires n+1 pointers and sorted, repetition-free row indices below n in every column (amd_order
// has checked them), and n + 2.4 nnz(A) below 2^31. Each unordered pair {i, j}, i != j, present in
// A or A^T lands once in list i and once in list j. The free room is a fifth of the lists plus n.
SymmetricLists build_symmetric_lists(std::size_t n, std::span<const std::uint32_t> ap,
                                     std::span<const std::uint32_t> ai);

}  // namespace quillmere::klu_native::amd
