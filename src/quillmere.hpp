#pragma once
// The library root: every public header of the core.

#include "batch.hpp"
#include "jacobian.hpp"
#include "network.hpp"
#include "pgm/load.hpp"
#include "solver.hpp"
#include "sparse.hpp"
#include "stop.hpp"
#include "thread_pool.hpp"
#include "types.hpp"
