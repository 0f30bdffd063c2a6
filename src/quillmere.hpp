#pragma once
// The library root: every public header of the core.

#include "batch/batch.hpp"
#include "batch/thread_pool.hpp"
#include "common/stop.hpp"
#include "common/types.hpp"
#include "engine/jacobian.hpp"
#include "engine/solver.hpp"
#include "linalg/sparse.hpp"
#include "network/network.hpp"
#include "pgm/load.hpp"
