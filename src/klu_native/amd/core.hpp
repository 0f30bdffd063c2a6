#pragma once
// The approximate minimum degree elimination on a quotient graph kept as one growable list per
// node: elements and supervariables, approximate external degrees, element and aggressive
// absorption, mass elimination, supervariable detection by hashing, dense-node removal and a
// postorder of the assembly tree.

#include <cstddef>
#include <vector>

#include "klu_native/amd/aat.hpp"

namespace quillmere::klu_native::amd {

struct AmdPermutation {
    std::vector<std::size_t> amd_perm;  // amd_perm[k] = node placed at position k
    std::vector<std::size_t> inverse;   // inverse[i] = position of node i
};

// Orders the graph given as n adjacency lists (each entry below n, no self loops, no repeats;
// stops otherwise). The list orders decide every tie, so equal lists give equal permutations.
AmdPermutation amd_2(std::size_t n, AdjacencyLists lists);

}  // namespace quillmere::klu_native::amd
