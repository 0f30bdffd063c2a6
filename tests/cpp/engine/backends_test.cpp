// The three backends solve the same networks to the same voltages in the same number of passes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "network/networks.hpp"
#include "solver.hpp"

namespace quillmere {
namespace {

using testing::bus;
using testing::Net;
using testing::phasor;

TEST(Backends, AgreeOnVoltagesPassesAndStatuses) {
    const std::vector<testing::IslandShape> small{{1, 6}, {0, 3}, {2, 5}, {1, 1}};
    const std::vector<testing::IslandShape> medium{{1, 250}, {2, 150}, {0, 40}, {1, 120}};
    struct Case {
        const std::vector<testing::IslandShape>& islands;
        std::uint64_t max_iter;
        SolveOutcome outcome;
    };
    const Case cases[] = {{small, 20, SolveOutcome::Converged},
                          {medium, 20, SolveOutcome::Converged},
                          {medium, 2, SolveOutcome::MaxIterations}};
    for (const Case& c : cases) {
        for (std::uint64_t seed : {1u, 2u, 3u}) {
            const Net net = testing::synthetic(c.islands, seed);
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
                ASSERT_EQ(stats.history.size(), ref_stats.history.size());
                for (std::size_t k = 0; k < stats.history.size(); ++k) {
                    const double want = ref_stats.history[k];
                    EXPECT_NEAR(stats.history[k], want, 1e-9 + 1e-6 * want) << "pass " << k;
                }
                ASSERT_EQ(islands.size(), ref_islands.size());
                for (std::size_t i = 0; i < islands.size(); ++i) {
                    EXPECT_EQ(islands[i].status, ref_islands[i].status) << "island " << i;
                }
                for (std::size_t b = 0; b < got.size(); ++b) {
                    EXPECT_LT(std::abs(phasor(got[b]) - phasor(ref[b])), 1e-9) << "bus " << b;
                }
            }
        }
    }
}

// Loads 1 and 2 have no self-admittance, and at the flat start the currents from their two
// neighbours cancel, so both diagonal Jacobian blocks are zero while the coupling blocks between
// them keep the whole Jacobian regular: a pivoting LU steps, the block LU cannot.
TEST(Backends, ZeroPivotBlockIsASingularJacobianOnlyForBlock) {
    const Complex y{1.0, -4.0};
    testing::Stamps stamps{3};
    stamps.branch(0, 1, y).branch(0, 2, y).add(1, 1, -y).add(2, 2, -y).add(1, 2, y).add(2, 1, y);
    const Net net{{bus(0, BusType::Slack), bus(1, BusType::PQ, -0.1, -0.02),
                   bus(2, BusType::PQ, -0.1, -0.02)},
                  stamps.finish()};
    for (Backend backend : {Backend::Scalar, Backend::KluNative, Backend::Block}) {
        SCOPED_TRACE(static_cast<int>(backend));
        std::vector<Bus> buses = net.buses;
        const auto [islands, stats] =
            PersistentSolver(backend).solve_with_stats(buses, net.y, 3, 1e-10);
        if (backend != Backend::Block) {
            EXPECT_GE(stats.history.size(), 2u);
            continue;
        }
        EXPECT_EQ(stats.outcome, SolveOutcome::SingularJacobian);
        EXPECT_EQ(stats.history.size(), 1u);
        EXPECT_EQ(islands.at(0).status, IslandStatus::SingularJacobian);
        for (std::size_t b = 0; b < buses.size(); ++b) {
            EXPECT_EQ(phasor(buses[b]), phasor(net.buses[b]));
        }
    }
}

}  // namespace
}  // namespace quillmere
