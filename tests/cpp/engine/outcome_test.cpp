// Outcomes of the whole iteration and statuses of the islands, case by case, on every backend.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "common/stop.hpp"
#include "engine/solver.hpp"
#include "support/networks.hpp"

namespace quillmere {
namespace {

using test_support::bus;
using test_support::Net;
using test_support::phasor;
using test_support::ybus_of;
using O = SolveOutcome;
using S = IslandStatus;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kAny = std::numeric_limits<std::size_t>::max();

// Island A: slack 0 feeding a load at 1. Island B: slack 2 and an idle PQ bus 3, balanced at the
// flat start.
Net two_islands(double load = 0.8) {
    return {{bus(0, BusType::Slack), bus(1, BusType::PQ, -load, -0.3), bus(2, BusType::Slack),
             bus(3, BusType::PQ)},
            ybus_of(4, {{0, 1, {4, -12}}, {2, 3, {5, -15}}})};
}

TEST(Outcome, EachCaseEndsAlikeOnEveryBackend) {
    Net solved = two_islands(), zero_vm = two_islands(), nan_load = two_islands();
    PersistentSolver{}.solve_with_stats(solved.buses, solved.y, 20, 1e-12);
    zero_vm.buses[1].vm = 0.0;  // the P/V terms of the Jacobian become 0/0
    nan_load.buses[1].p_spec = kNaN;
    const Net all_slack{
        {bus(0, BusType::Slack), bus(1, BusType::Slack, 0, 0, 1.05), bus(2, BusType::Slack)},
        ybus_of(3, {{0, 1, {1, -3}}})};
    // Slacks 0 and 2 feed the load at 1; PQ bus 3 and PV bus 4 have no source.
    const Net mixed{{bus(0, BusType::Slack), bus(1, BusType::PQ, -0.6, -0.2),
                     bus(2, BusType::Slack, 0, 0, 1.02), bus(3, BusType::PQ, -0.4, 0.2, 1.0, 0.1),
                     bus(4, BusType::PV, 0.3)},
                    ybus_of(5, {{0, 1, {4, -12}}, {1, 2, {4, -12}}, {3, 4, {3, -9}}})};
    struct Case {
        const char* name;
        Net net;
        std::uint64_t max_iter;
        double tol;
        O outcome;
        std::size_t history;
        std::vector<S> statuses;
        bool unchanged;  // every bus keeps its start voltage
    };
    const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    const S kC = S::Converged, kNC = S::NotConverged, kSJ = S::SingularJacobian,
            kMS = S::MultiSlack, kSL = S::Sourceless;
    // clang-format off
    const Case cases[] = {
        {"no pass allowed", two_islands(), 0, 1e-8, O::MaxIterations, 0, {kNC, kC}, true},
        {"start within tol", solved, 20, 1e-8, O::Converged, 1, {kC, kC}, true},
        {"iteration limit", two_islands(3.0), 3, 0.0, O::MaxIterations, 3, {kNC, kNC}, false},
        {"NaN tol", two_islands(), 5, kNaN, O::MaxIterations, 5, {kNC, kNC}, false},
        {"singular first pass", zero_vm, 20, 1e-8, O::SingularJacobian, 1, {kSJ, kC}, true},
        {"NaN mismatch", nan_load, 5, kInf, O::SingularJacobian, kAny, {kSJ, kC}, false},
        {"largest max_iter", two_islands(), most, 1e-10, O::Converged, kAny, {kC, kC}, false},
        {"all slack", all_slack, 20, 1e-8, O::Converged, 1, {kMS, kC}, true},
        {"multi-slack and sourceless", mixed, 20, 1e-10, O::Converged, kAny, {kMS, kSL}, false},
        {"multi-slack cut short", mixed, 1, 1e-10, O::MaxIterations, 1, {kNC, kSL}, false},
    };
    // clang-format on
    for (const Case& c : cases) {
        for (Backend backend : {Backend::Scalar, Backend::Block, Backend::KluNative}) {
            SCOPED_TRACE(::testing::Message() << c.name << ", backend " << int(backend));
            std::vector<Bus> buses = c.net.buses;
            const auto [islands, stats] =
                PersistentSolver(backend).solve_with_stats(buses, c.net.y, c.max_iter, c.tol);
            EXPECT_EQ(stats.outcome, c.outcome);
            EXPECT_TRUE(c.history == kAny || stats.history.size() == c.history)
                << stats.history.size() << " passes";
            std::vector<S> got;
            for (const IslandReport& r : islands) got.push_back(r.status);
            EXPECT_EQ(got, c.statuses);
            EXPECT_TRUE(!c.unchanged || test_support::largest_shift(buses, c.net.buses) == 0.0);
            if (c.statuses.back() == kSL) {  // buses 3 and 4 become zero-voltage slacks
                for (std::size_t b : {3, 4})
                    EXPECT_TRUE(is_slack(buses[b]) && buses[b].vm == 0.0) << b;
            }
        }
    }
    std::vector<Bus> repeated_index = solved.buses;
    // A PV bus claiming PQ bus 1's index: bus 1 would fill two reactive rows where one exists.
    repeated_index[3].index = 1;
    repeated_index[3].bus_type = BusType::PV;
    EXPECT_THROW(PersistentSolver{}.solve_with_stats(repeated_index, solved.y, 5, 1e-8), Stop);
}

}  // namespace
}  // namespace quillmere
