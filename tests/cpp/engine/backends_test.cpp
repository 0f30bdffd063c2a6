// The three backends solve the same networks to the same voltages in the same number of passes;
// stopped after two passes, they hold the same iterate, so each step agrees too.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "network/networks.hpp"
#include "solver.hpp"

namespace quillmere {
namespace {

using testing::IslandShape;

TEST(Backends, AgreeOnVoltagesPassesAndStatusesOfRandomMultiIslandNetworks) {
    const std::vector<IslandShape> small{{1, 6}, {0, 3}, {2, 5}, {1, 1}};
    const std::vector<IslandShape> medium{{1, 250}, {2, 150}, {0, 40}, {1, 120}};
    struct Case {
        const std::vector<IslandShape>& islands;
        std::uint64_t max_iter;
        SolveOutcome outcome;
    };
    const Case cases[] = {{small, 20, SolveOutcome::Converged},
                          {medium, 20, SolveOutcome::Converged},
                          {medium, 2, SolveOutcome::MaxIterations}};
    for (const Case& c : cases) {
        for (std::uint64_t seed : {1u, 2u, 3u}) {
            const testing::Net net = testing::synthetic(c.islands, seed);
            std::vector<Bus> ref = net.buses;
            network::linear_initial_guess(ref, net.y);
            const std::vector<Bus> start = ref;
            const auto [ref_islands, ref_stats] =
                PersistentSolver{}.solve_with_stats(ref, net.y, c.max_iter, 1e-10);
            ASSERT_EQ(ref_stats.outcome, c.outcome);
            ASSERT_GE(ref_stats.history.size(), 2u);
            for (Backend backend : {Backend::Block, Backend::KluNative}) {
                SCOPED_TRACE(::testing::Message()
                             << c.islands.size() << " islands, max_iter " << c.max_iter << ", seed "
                             << seed << ", backend " << int(backend));
                std::vector<Bus> got = start;
                const auto [islands, stats] =
                    PersistentSolver(backend).solve_with_stats(got, net.y, c.max_iter, 1e-10);
                EXPECT_EQ(stats.outcome, ref_stats.outcome);
                EXPECT_EQ(stats.history.size(), ref_stats.history.size());
                ASSERT_EQ(islands.size(), ref_islands.size());
                for (std::size_t i = 0; i < islands.size(); ++i) {
                    EXPECT_EQ(islands[i].status, ref_islands[i].status) << "island " << i;
                }
                EXPECT_LT(testing::largest_shift(got, ref), 1e-9);
            }
        }
    }
}

}  // namespace
}  // namespace quillmere
