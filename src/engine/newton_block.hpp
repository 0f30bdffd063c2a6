#pragma once
// The Newton loop on the "block" backend: unknowns and equations grouped per non-slack bus into
// 2x2 blocks (angle and magnitude; active and reactive balance, the latter replaced by "magnitude
// change = 0" for a PV bus), solved by the block LU without pivoting. Everything that depends on
// the pattern alone is made once, by `BlockAnalysis::analyze`, and kept between passes and solves;
// a pass computes each coupling's derivatives once, straight into the block storage the LU reads,
// and allocates nothing.

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "common/types.hpp"
#include "engine/jacobian.hpp"
#include "engine/newton.hpp"
#include "linalg/block_sparse.hpp"
#include "network/network.hpp"

namespace quillmere {

// One pattern's block Jacobian: coupling t is the block at (block of bus i, block of bus j), the
// blocks numbered as the non-slack buses in bus order, and lands in lu.values()[slot[t]]. The
// couplings are kept in the order of their slots, so that a pass writes the LU's storage front to
// back; couplings of one position keep their list_couplings order, the order they are summed in.
// Like the Jacobian pattern it keeps the Y-bus values it was made with.
struct BlockAnalysis {
    // The reactive row of a PV bus, which the mismatch does not hold.
    static constexpr std::uint32_t kNoRow = std::numeric_limits<std::uint32_t>::max();

    std::vector<Coupling> couplings;
    std::vector<std::uint32_t> slot;  // non-decreasing
    BlockLu lu;
    // Per block: the mismatch row of its reactive balance, or kNoRow.
    std::vector<std::uint32_t> reactive_row;
    std::vector<BlockVector> step;  // one block vector per non-slack bus
    std::vector<AngleTrig> trig;    // one per coupling: the angles of an assembly

    // Stops as list_couplings and BlockLu::analyze do.
    static BlockAnalysis analyze(std::span<const Bus> buses, const YBusSparse& ybus);

    // The block Jacobian at the buses as measured in `at` into lu.values(). Stops as
    // for_each_derivatives does.
    void assemble(std::span<const network::BusPower> at);

    // The Newton step into `step` (angle change, magnitude change per non-slack bus, in bus order)
    // from the mismatch as the loop lays it out (active rows of the non-slack buses, then reactive
    // rows of the PQ buses), with the factors of the last successful lu.refactor(). Stops when the
    // mismatch is shorter than that layout or lu holds no factors.
    void solve_step(std::span<const double> mismatch);
};

// The same iteration, norm, history and outcome as the loop over a LinearSolver backend. The
// analysis is made from the first pass that needs a step and kept in `analysis`, also after a
// pivot block without inverse (outcome SingularJacobian). The step is not checked for finiteness:
// a NaN or infinite step passes into the voltages and the next pass measures it.
SolveStats newton_raphson_block_cached(std::span<Bus> buses, const YBusSparse& ybus,
                                       std::uint64_t max_iter, double tol,
                                       std::optional<BlockAnalysis>& analysis, NewtonWork& work,
                                       Interruption interrupted = {});

}  // namespace quillmere
