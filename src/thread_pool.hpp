#pragma once
// Worker threads for batches, and the default worker count.

#include <cstddef>

namespace quillmere {

// The worker count used when a caller names none: the environment variable RAYON_NUM_THREADS, else
// RAYON_RS_NUM_CPUS (each only when it holds a positive integer), else the number of logical
// processors. Read once, at the first call in the process, and fixed from then on.
std::size_t default_threads();

}  // namespace quillmere
