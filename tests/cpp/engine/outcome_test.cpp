// Outcomes of the whole iteration and statuses of the islands, case by case.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "network/networks.hpp"
#include "newton.hpp"
#include "solver.hpp"
#include "stop.hpp"

namespace quillmere {
namespace {

using testing::bus;
using testing::Stamps;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Net {
    std::vector<Bus> buses;
    YBusSparse y;
};

// Island A: slack 0 feeding a load at 1. Island B: slack 2 and an idle PQ bus 3, balanced at the
// flat start.
Net two_islands(double load = 0.8) {
    return {{bus(0, BusType::Slack), bus(1, BusType::PQ, -load, -0.3), bus(2, BusType::Slack),
             bus(3, BusType::PQ)},
            Stamps{4}.branch(0, 1, {4, -12}).branch(2, 3, {5, -15}).finish()};
}

std::vector<IslandStatus> statuses(const std::vector<IslandReport>& islands) {
    std::vector<IslandStatus> out;
    for (const IslandReport& r : islands) out.push_back(r.status);
    return out;
}

using S = IslandStatus;

TEST(Outcome, MaxIterZeroJudgesTheStart) {
    Net net = two_islands();
    const std::vector<Bus> start = net.buses;
    PersistentSolver solver;
    const auto [islands, stats] = solver.solve_with_stats(net.buses, net.y, 0, 1e-8);
    EXPECT_EQ(stats.outcome, SolveOutcome::MaxIterations);
    EXPECT_TRUE(stats.history.empty());
    EXPECT_TRUE(solver.pattern().has_value());
    EXPECT_FALSE(solver.has_backend_object());
    EXPECT_EQ(statuses(islands), (std::vector<S>{S::NotConverged, S::Converged}));
    for (std::size_t i = 0; i < start.size(); ++i) EXPECT_EQ(net.buses[i].vm, start[i].vm);
}

TEST(Outcome, AllSlackConvergesAtOnceWithoutBackend) {
    // Two slacks joined (MultiSlack) and a lone slack bus with no Y-bus entry at all.
    std::vector<Bus> buses{bus(0, BusType::Slack), bus(1, BusType::Slack, 0, 0, 1.05),
                           bus(2, BusType::Slack)};
    const YBusSparse y = Stamps{3}.branch(0, 1, {1, -3}).finish();
    PersistentSolver solver;
    const auto [islands, stats] = solver.solve_with_stats(buses, y, 20, 1e-8);
    EXPECT_EQ(stats.outcome, SolveOutcome::Converged);
    EXPECT_EQ(stats.history, std::vector<double>{0.0});
    EXPECT_FALSE(solver.has_backend_object());
    ASSERT_EQ(islands.size(), 2u);
    EXPECT_EQ(islands[0].slacks, (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(statuses(islands), (std::vector<S>{S::MultiSlack, S::Converged}));
}

TEST(Outcome, StartWithinTolLeavesBusesAlone) {
    Net net = two_islands();
    PersistentSolver first;
    first.solve_with_stats(net.buses, net.y, 20, 1e-12);
    const std::vector<Bus> solved = net.buses;
    PersistentSolver second;
    const auto [islands, stats] = second.solve_with_stats(net.buses, net.y, 20, 1e-8);
    EXPECT_EQ(stats.outcome, SolveOutcome::Converged);
    EXPECT_EQ(stats.history.size(), 1u);
    for (std::size_t i = 0; i < solved.size(); ++i) {
        EXPECT_EQ(net.buses[i].vm, solved[i].vm);
        EXPECT_EQ(net.buses[i].va, solved[i].va);
    }
}

TEST(Outcome, IterationLimitLeavesTheLastUnmeasuredUpdate) {
    Net three = two_islands(3.0);
    PersistentSolver solver;
    const auto [islands, stats] = solver.solve_with_stats(three.buses, three.y, 3, 0.0);
    EXPECT_EQ(stats.outcome, SolveOutcome::MaxIterations);
    EXPECT_EQ(stats.history.size(), 3u);
    EXPECT_EQ(statuses(islands), (std::vector<S>{S::NotConverged, S::NotConverged}));

    Net four = two_islands(3.0);
    const auto [islands4, stats4] = PersistentSolver{}.solve_with_stats(four.buses, four.y, 4, 0.0);
    const auto [islands1, stats1] =
        PersistentSolver{}.solve_with_stats(three.buses, three.y, 1, 0.0);
    EXPECT_EQ(stats1.history[0], stats4.history[3]);  // the fourth pass measured where three left
}

TEST(Outcome, SingularJacobianJudgesEachIsland) {
    Net net = two_islands();
    net.buses[1].vm = 0.0;  // P/V terms of the Jacobian become 0/0
    PersistentSolver solver;
    const auto [islands, stats] = solver.solve_with_stats(net.buses, net.y, 20, 1e-8);
    EXPECT_EQ(stats.outcome, SolveOutcome::SingularJacobian);
    EXPECT_EQ(stats.history.size(), 1u);
    EXPECT_EQ(net.buses[1].vm, 0.0);
    EXPECT_EQ(statuses(islands), (std::vector<S>{S::SingularJacobian, S::Converged}));
}

TEST(Outcome, SourcelessIslandBecomesZeroVoltagePlaceholder) {
    std::vector<Bus> buses{bus(0, BusType::Slack), bus(1, BusType::PQ, -0.5, -0.1),
                           bus(2, BusType::PQ, -0.4, 0.2, 1.0, 0.1), bus(3, BusType::PV, 0.3)};
    buses[2].zip = {{{-0.1, 0.0}, 2}};
    const YBusSparse y =
        Stamps{4}.branch(0, 1, {4, -12}).branch(2, 3, {3, -9}).add(2, 2, {0, 0.1}).finish();
    PersistentSolver solver;
    const auto [islands, stats] = solver.solve_with_stats(buses, y, 20, 1e-10);
    EXPECT_EQ(stats.outcome, SolveOutcome::Converged);
    for (std::size_t b : {2, 3}) {
        EXPECT_EQ(buses[b].bus_type, 0);
        EXPECT_EQ(buses[b].vm, 0.0);
        EXPECT_EQ(buses[b].va, 0.0);
        EXPECT_EQ(buses[b].p_spec, 0.0);
        EXPECT_EQ(buses[b].q_spec, 0.0);
    }
    EXPECT_EQ(buses[2].zip.size(), 1u);
    ASSERT_EQ(islands.size(), 2u);
    EXPECT_EQ(islands[1].buses, (std::vector<std::size_t>{2, 3}));
    EXPECT_TRUE(islands[1].slacks.empty());
    EXPECT_EQ(statuses(islands), (std::vector<S>{S::Converged, S::Sourceless}));
    for (const Entry& e : solver.pattern()->entries) EXPECT_EQ(e.i, 1u);
}

TEST(Outcome, MultiSlackIslandIsSolvedButNotJudged) {
    std::vector<Bus> buses{bus(0, BusType::Slack), bus(1, BusType::PQ, -0.6, -0.2),
                           bus(2, BusType::Slack, 0, 0, 1.02)};
    const YBusSparse y = Stamps{3}.branch(0, 1, {4, -12}).branch(1, 2, {4, -12}).finish();
    PersistentSolver solver;
    const auto [islands, stats] = solver.solve_with_stats(buses, y, 20, 1e-10);
    EXPECT_EQ(stats.outcome, SolveOutcome::Converged);
    EXPECT_LT(buses[1].vm, 1.0);
    EXPECT_EQ(islands[0].slacks, (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(statuses(islands), std::vector<S>{S::MultiSlack});
}

TEST(Outcome, NanTolNeverConverges) {
    Net net = two_islands();
    PersistentSolver solver;
    const auto [islands, stats] = solver.solve_with_stats(net.buses, net.y, 5, kNaN);
    EXPECT_EQ(stats.outcome, SolveOutcome::MaxIterations);
    EXPECT_EQ(stats.history.size(), 5u);
    EXPECT_EQ(statuses(islands), (std::vector<S>{S::NotConverged, S::NotConverged}));
}

// A NaN in the mismatch must not pass even an infinite tol; the balanced island is unaffected.
TEST(Outcome, NanMismatchNeverCountsAsConverged) {
    Net net = two_islands();
    net.buses[1].p_spec = kNaN;
    PersistentSolver solver;
    const auto [islands, stats] = solver.solve_with_stats(net.buses, net.y, 5, kInf);
    ASSERT_FALSE(stats.history.empty());
    EXPECT_TRUE(std::isnan(stats.history[0]));
    EXPECT_NE(stats.outcome, SolveOutcome::Converged);
    EXPECT_NE(islands[0].status, S::Converged);
    EXPECT_EQ(islands[1].status, S::Converged);
}

TEST(Outcome, NormIsLargestMagnitudeAndNanSticky) {
    struct Case {
        std::vector<double> m;
        double want;
    };
    const Case cases[] = {{{}, 0.0},      {{1.0, -3.0, 2.0}, 3.0},  {{-kInf, 1.0}, kInf},
                          {{kNaN}, kNaN}, {{1.0, kNaN, 2.0}, kNaN}, {{kNaN, 5.0}, kNaN},
                          {{-0.0}, 0.0}};
    for (const Case& c : cases) {
        const double got = mismatch_norm(c.m);
        if (std::isnan(c.want)) {
            EXPECT_TRUE(std::isnan(got));
        } else {
            EXPECT_EQ(got, c.want);
        }
    }
}

TEST(Outcome, LargestIterationLimitWorks) {
    Net net = two_islands();
    const auto [islands, stats] = PersistentSolver{}.solve_with_stats(
        net.buses, net.y, std::numeric_limits<std::uint64_t>::max(), 1e-10);
    EXPECT_EQ(stats.outcome, SolveOutcome::Converged);
}

TEST(Outcome, BrokenCallsStop) {
    Net net = two_islands();
    std::vector<Bus> short_list(net.buses.begin(), net.buses.begin() + 3);
    EXPECT_THROW(PersistentSolver{}.solve_with_stats(short_list, net.y, 5, 1e-8), Stop);
}

}  // namespace
}  // namespace quillmere
