#pragma once
// The library root: every public header of the core, and the record of one solved case.

#include <vector>

#include "jacobian.hpp"
#include "network.hpp"
#include "pgm/load.hpp"
#include "solver.hpp"
#include "sparse.hpp"
#include "stop.hpp"
#include "types.hpp"

namespace quillmere {

// One solved case, as a batch worker hands it back: its own solved bus list, the island reports
// and the convergence record of its solve.
struct PowerFlowReport {
    std::vector<Bus> buses;
    std::vector<IslandReport> islands;
    SolveStats stats;
};

}  // namespace quillmere
