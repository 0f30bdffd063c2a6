#pragma once
// Postorder of the assembly tree left by the minimum degree elimination.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillmere::klu_native::amd {

// Tree nodes are those with nv > 0; parent -1 marks a root. Among the children of a node the one
// with the largest fsize (the later one on ties) is visited last, the others in increasing index
// order. Returns per node its postorder index, or -1 for a node outside the tree. Iterative: any
// depth is fine. Stops on a parent outside 0 .. n-1 or a node whose children all have keys below
// -1.
std::vector<std::int32_t> postorder(std::size_t n, std::span<const std::int32_t> parent,
                                    std::span<const std::int32_t> nv,
                                    std::span<const std::int32_t> fsize);

}  // namespace quillmere::klu_native::amd
