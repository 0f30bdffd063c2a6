#pragma once
// The COLAMD column order of a square compressed pattern, as the block backend's fill-reducing
// order. It comes from the port of COLAMD 2.3 that Eigen bundles (not part of Eigen's public
// interface; see the .cpp for the version it is checked against). SuiteSparse's public COLAMD is no
// drop-in replacement: it counts dense rows differently (max(16, knob * sqrt(n)) entries against
// knob * n here) and so may order the same pattern differently.

#include <cstdint>
#include <vector>

#include "linalg/compressed_pattern.hpp"

namespace quillmere {

// Entry j is the column eliminated at position j. Rows and columns denser than half the dimension
// are set aside. Stops if COLAMD fails, which a valid pattern never makes it do; exhausted memory
// leaves as std::bad_alloc.
std::vector<std::uint32_t> colamd_order(const CompressedPattern& a);

}  // namespace quillmere
