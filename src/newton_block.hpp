#pragma once
// The Newton loop on the "block" backend: unknowns and equations grouped per non-slack bus into
// 2x2 blocks (angle and magnitude; active and reactive balance, the latter replaced by "magnitude
// change = 0" for a PV bus), assembled afresh every pass from the Y-bus rows and solved by the
// block LU without pivoting. Only the block analysis is kept between passes and solves.

#include <cstdint>
#include <optional>
#include <span>

#include "block_sparse.hpp"
#include "network.hpp"
#include "solver.hpp"
#include "types.hpp"

namespace quillmere {

// The same iteration, norm, history and outcome as the loop over a LinearSolver backend. The
// analysis is made from the first pass that needs a step and kept in `symbolic`, also after a
// pivot block without inverse (outcome SingularJacobian). The step is not checked for finiteness:
// a NaN or infinite step passes into the voltages and the next pass measures it.
SolveStats newton_raphson_block_cached(std::span<Bus> buses, const YBusSparse& ybus,
                                       std::uint64_t max_iter, double tol,
                                       std::optional<BlockSymbolic>& symbolic,
                                       Interruption interrupted = {});

}  // namespace quillmere
