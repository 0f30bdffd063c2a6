#pragma once
// The approximate minimum degree elimination on a quotient graph kept in one flat array of lists:
// elements and supervariables, approximate external degrees, element and aggressive absorption,
// mass elimination, supervariable detection by hashing, dense-node removal and a postorder of the
// assembly tree. A new element's list goes to the free room; when none is left the live lists are
// slid together, which moves no list entry relative to another.
//
// Approximate minimum degree: P. R. Amestoy, T. A. Davis and I. S. Duff, "An approximate minimum
// degree ordering algorithm", SIAM J. Matrix Anal. Appl. 17(4), 1996. The states of the arrays
// are set out where core.cpp declares them.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "linalg/klu_native/amd/aat.hpp"

namespace quillmere::klu_native::amd {

// Orders the graph of n nodes given as lists (each entry below n, no self loops, no repeats, every
// pair in both lists, as build_symmetric_lists makes them; at least as much room in all of iw as
// the lists fill). perm[k] = node placed at position k. The list orders decide every tie, so equal
// lists give equal permutations, whatever the room. Stops on lists of the wrong count.
std::vector<std::int32_t> amd_2(std::size_t n, SymmetricLists lists);

}  // namespace quillmere::klu_native::amd
