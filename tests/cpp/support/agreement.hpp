#pragma once
// Solving one start on "block" and "klu_native" gives what "scalar" gives: the same outcome, pass
// count and island statuses, and voltages within 1e-9.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/solver.hpp"
#include "support/networks.hpp"

namespace quillmere::test_support {

// Returns the statistics of the "scalar" solve the others are compared with.
inline SolveStats expect_backends_agree(std::span<const Bus> start, const YBusSparse& y,
                                        std::uint64_t max_iter, double tol) {
    std::vector<Bus> ref(start.begin(), start.end());
    const auto [ref_islands, ref_stats] =
        PersistentSolver{}.solve_with_stats(ref, y, max_iter, tol);
    for (Backend backend : {Backend::Block, Backend::KluNative}) {
        SCOPED_TRACE(::testing::Message() << "backend " << static_cast<int>(backend));
        std::vector<Bus> got(start.begin(), start.end());
        const auto [islands, stats] =
            PersistentSolver(backend).solve_with_stats(got, y, max_iter, tol);
        EXPECT_EQ(stats.outcome, ref_stats.outcome);
        EXPECT_EQ(stats.history.size(), ref_stats.history.size());
        EXPECT_EQ(islands.size(), ref_islands.size());
        for (std::size_t i = 0; i < std::min(islands.size(), ref_islands.size()); ++i) {
            EXPECT_EQ(islands[i].status, ref_islands[i].status) << "island " << i;
        }
        EXPECT_LT(largest_shift(got, ref), 1e-9);
    }
    return ref_stats;
}

}  // namespace quillmere::test_support
