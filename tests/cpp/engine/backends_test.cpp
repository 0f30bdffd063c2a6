// The three backends solve the same networks to the same voltages in the same number of passes;
// stopped after two passes, they hold the same iterate, so each step agrees too.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "support/agreement.hpp"
#include "support/networks.hpp"

namespace quillmere {
namespace {

using test_support::IslandShape;

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
            const test_support::Net net = test_support::synthetic(c.islands, seed);
            std::vector<Bus> start = net.buses;
            network::linear_initial_guess(start, net.y);
            SCOPED_TRACE(::testing::Message() << c.islands.size() << " islands, max_iter "
                                              << c.max_iter << ", seed " << seed);
            const SolveStats ref =
                test_support::expect_backends_agree(start, net.y, c.max_iter, 1e-10);
            EXPECT_EQ(ref.outcome, c.outcome);
            EXPECT_GE(ref.history.size(), 2u);
        }
    }
}

}  // namespace
}  // namespace quillmere
