// What sets the block Newton loop apart: no pivoting, no finiteness test of the step, and an
// analysis made only when a pass needs a step.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "network/networks.hpp"
#include "solver.hpp"

namespace quillmere {
namespace {

using testing::bus;
using testing::Stamps;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Net {
    std::vector<Bus> buses;
    YBusSparse y;
};

// Loads 1 and 2 have no self-admittance, and at the flat start the currents from their two
// neighbours cancel, so both diagonal Jacobian blocks are zero while the coupling blocks between
// them keep the whole Jacobian regular: a pivoting LU steps, the block LU cannot.
Net zero_diagonal_blocks() {
    const Complex y{1.0, -4.0};
    return {{bus(0, BusType::Slack), bus(1, BusType::PQ, -0.1, -0.02),
             bus(2, BusType::PQ, -0.1, -0.02)},
            Stamps{3}
                .add(0, 0, 2.0 * y)
                .add(0, 1, -y)
                .add(1, 0, -y)
                .add(0, 2, -y)
                .add(2, 0, -y)
                .add(1, 1, 0.0)
                .add(2, 2, 0.0)
                .add(1, 2, y)
                .add(2, 1, y)
                .finish()};
}

TEST(BlockNewton, ZeroPivotBlockIsASingularJacobianWherePivotingBackendsStep) {
    const Net net = zero_diagonal_blocks();
    for (Backend backend : {Backend::Scalar, Backend::KluNative}) {
        std::vector<Bus> buses = net.buses;
        const auto [islands, stats] =
            PersistentSolver(backend).solve_with_stats(buses, net.y, 3, 1e-10);
        EXPECT_GE(stats.history.size(), 2u) << static_cast<int>(backend);
    }

    PersistentSolver solver(Backend::Block);
    for (int call = 0; call < 2; ++call) {
        SCOPED_TRACE("call " + std::to_string(call));
        std::vector<Bus> buses = net.buses;
        const auto [islands, stats] = solver.solve_with_stats(buses, net.y, 3, 1e-10);
        EXPECT_EQ(stats.outcome, SolveOutcome::SingularJacobian);
        EXPECT_EQ(stats.history.size(), 1u);
        ASSERT_EQ(islands.size(), 1u);
        EXPECT_EQ(islands[0].status, IslandStatus::SingularJacobian);
        for (std::size_t b = 0; b < buses.size(); ++b) {
            EXPECT_EQ(buses[b].vm, net.buses[b].vm);
            EXPECT_EQ(buses[b].va, net.buses[b].va);
        }
        // The analysis outlives the failed pass and serves the next call.
        EXPECT_TRUE(solver.block_symbolic().has_value());
        EXPECT_EQ(solver.backend_creations(), 1u);
    }
}

// A NaN load makes the first mismatch NaN, which passes no tol. "scalar" and "klu_native" refuse
// the NaN step at once; the block loop adds it to the voltages, measures NaN again and then meets
// NaN pivot blocks.
TEST(BlockNewton, NonFiniteStepReachesTheVoltages) {
    const Net net{
        {bus(0, BusType::Slack), bus(1, BusType::PQ, kNaN, -0.1), bus(2, BusType::PQ, -0.2, -0.1)},
        Stamps{3}.branch(0, 1, {2, -6}).branch(1, 2, {2, -6}).finish()};
    struct Case {
        Backend backend;
        std::size_t history;
        bool nan_voltages;
    };
    for (const Case& c : {Case{Backend::Scalar, 1, false}, Case{Backend::KluNative, 1, false},
                          Case{Backend::Block, 2, true}}) {
        SCOPED_TRACE(static_cast<int>(c.backend));
        std::vector<Bus> buses = net.buses;
        const auto [islands, stats] = PersistentSolver(c.backend).solve_with_stats(
            buses, net.y, 20, std::numeric_limits<double>::infinity());
        EXPECT_EQ(stats.outcome, SolveOutcome::SingularJacobian);
        ASSERT_EQ(stats.history.size(), c.history);
        for (double norm : stats.history) EXPECT_TRUE(std::isnan(norm));
        EXPECT_EQ(islands[0].status, IslandStatus::SingularJacobian);
        EXPECT_EQ(std::isnan(buses[1].va), c.nan_voltages);
        EXPECT_EQ(std::isnan(buses[2].vm), c.nan_voltages);
    }
}

TEST(BlockNewton, NoAnalysisUntilAPassNeedsAStep) {
    const Net net{{bus(0, BusType::Slack, 0, 0, 1.02), bus(1, BusType::PV, 0.3, 0, 1.01),
                   bus(2, BusType::PQ, -0.6, -0.2)},
                  Stamps{3}.branch(0, 1, {3, -10}).branch(1, 2, {2, -8}).finish()};
    std::vector<Bus> solved = net.buses;
    PersistentSolver(Backend::Block).solve_with_stats(solved, net.y, 20, 1e-12);

    PersistentSolver solver(Backend::Block);
    std::vector<Bus> buses = net.buses;
    auto [islands, stats] = solver.solve_with_stats(buses, net.y, 0, 1e-8);
    EXPECT_TRUE(stats.history.empty());
    EXPECT_FALSE(solver.block_symbolic().has_value());

    std::tie(islands, stats) = solver.solve_with_stats(solved, net.y, 20, 1e-8);
    EXPECT_EQ(stats.outcome, SolveOutcome::Converged);
    EXPECT_EQ(stats.history.size(), 1u);
    EXPECT_FALSE(solver.block_symbolic().has_value());
    EXPECT_FALSE(solver.pattern().has_value());
    EXPECT_EQ(solver.backend_creations(), 0u);
}

}  // namespace
}  // namespace quillmere
