// What the solver keeps between solves, and how the loop treats a backend that fails.

#include <gtest/gtest.h>

#include <optional>
#include <span>
#include <vector>

#include "network/networks.hpp"
#include "newton.hpp"
#include "solver.hpp"

namespace quillmere {
namespace {

using testing::bus;
using testing::Stamps;

struct Net {
    std::vector<Bus> buses;
    YBusSparse y;
};

Net meshed() {
    return {{bus(0, BusType::Slack, 0, 0, 1.02), bus(1, BusType::PV, 0.4, 0, 1.01),
             bus(2, BusType::PQ, -0.7, -0.2), bus(3, BusType::PQ, -0.5, -0.1)},
            Stamps{4}
                .branch(0, 1, {3, -10})
                .branch(1, 2, {2, -8})
                .branch(2, 3, {3, -9})
                .branch(0, 3, {2, -7})
                .branch(0, 2, {1, -5})
                .finish()};
}

TEST(Cache, SecondSolveReusesPatternAndBackendAndResetRebuildsBoth) {
    const Net net = meshed();
    PersistentSolver solver;
    std::vector<std::vector<double>> histories;
    auto solve = [&] {
        std::vector<Bus> buses = net.buses;
        auto [islands, stats] = solver.solve_with_stats(buses, net.y, 20, 1e-10);
        EXPECT_EQ(stats.outcome, SolveOutcome::Converged);
        histories.push_back(stats.history);
    };
    solve();
    const Entry* entries = solver.pattern()->entries.data();
    solve();
    EXPECT_EQ(solver.pattern_builds(), 1u);
    EXPECT_EQ(solver.backend_creations(), 1u);
    EXPECT_EQ(solver.pattern()->entries.data(), entries);

    solver.reset();
    EXPECT_FALSE(solver.pattern().has_value());
    EXPECT_FALSE(solver.has_backend_object());
    EXPECT_EQ(solver.backend(), Backend::Scalar);
    solve();
    EXPECT_EQ(solver.pattern_builds(), 2u);
    EXPECT_EQ(solver.backend_creations(), 2u);
    EXPECT_EQ(histories[0], histories[1]);
    EXPECT_EQ(histories[0], histories[2]);
}

// The "scalar" backend behind a script of failures, to drive the loop through the cases a real
// factorisation meets only on particular matrices.
struct Script {
    int create_failures = 0;
    int fail_solve_call = -1;
    int creates = 0;
    int solves = 0;
    std::vector<double> create_values;
    std::vector<double> first_values;
};
Script script;

struct ScriptedSystem {
    RealSparseSystem inner;

    static std::optional<ScriptedSystem> create(std::size_t n,
                                                std::span<const Triplet<double>> triplets) {
        ++script.creates;
        for (const auto& t : triplets) script.create_values.push_back(t.value);
        if (script.create_failures > 0) {
            --script.create_failures;
            return std::nullopt;
        }
        return ScriptedSystem{*RealSparseSystem::create(n, triplets)};
    }

    std::optional<std::vector<double>> factor_and_solve_values(std::span<const double> values,
                                                               std::span<const double> rhs) {
        if (script.solves == 0) script.first_values.assign(values.begin(), values.end());
        if (script.solves++ == script.fail_solve_call) return std::nullopt;
        return inner.factor_and_solve_values(values, rhs);
    }
};

struct LoopRun {
    std::vector<Bus> buses;
    SolveStats stats;
};

LoopRun run(std::optional<JacobianPattern>& pattern, std::optional<ScriptedSystem>& system,
            std::uint64_t max_iter) {
    Net net = meshed();
    SolveStats stats =
        newton_raphson_cached(std::span<Bus>(net.buses), net.y, max_iter, 1e-10, pattern, system);
    return {net.buses, stats};
}

TEST(Cache, AbsentCreateIsRetriedOnTheNextCall) {
    script = Script{};
    script.create_failures = 1;
    std::optional<JacobianPattern> pattern;
    std::optional<ScriptedSystem> system;
    const LoopRun failed = run(pattern, system, 20);
    EXPECT_EQ(failed.stats.outcome, SolveOutcome::SingularJacobian);
    EXPECT_EQ(failed.stats.history.size(), 1u);
    EXPECT_FALSE(system.has_value());
    EXPECT_EQ(failed.buses[2].vm, meshed().buses[2].vm);

    EXPECT_EQ(run(pattern, system, 20).stats.outcome, SolveOutcome::Converged);
    EXPECT_EQ(script.creates, 2);
    EXPECT_EQ(run(pattern, system, 20).stats.outcome, SolveOutcome::Converged);
    EXPECT_EQ(script.creates, 2);
}

TEST(Cache, CreatePassHandsTheSameValuesToCreateAndSolve) {
    script = Script{};
    std::optional<JacobianPattern> pattern;
    std::optional<ScriptedSystem> system;
    run(pattern, system, 20);
    ASSERT_FALSE(script.create_values.empty());
    EXPECT_EQ(script.create_values, script.first_values);
    EXPECT_EQ(script.create_values.size(), pattern->entries.size());
}

TEST(Cache, FailedSolveOnPassKKeepsObjectAndLastUpdate) {
    script = Script{};
    script.fail_solve_call = 2;
    std::optional<JacobianPattern> pattern;
    std::optional<ScriptedSystem> system;
    const LoopRun failed = run(pattern, system, 20);
    EXPECT_EQ(failed.stats.outcome, SolveOutcome::SingularJacobian);
    EXPECT_EQ(failed.stats.history.size(), 3u);
    EXPECT_TRUE(system.has_value());

    const LoopRun two = run(pattern, system, 2);  // two completed updates, as before the failure
    EXPECT_EQ(two.stats.outcome, SolveOutcome::MaxIterations);
    for (std::size_t i = 0; i < two.buses.size(); ++i) {
        EXPECT_EQ(failed.buses[i].vm, two.buses[i].vm);
        EXPECT_EQ(failed.buses[i].va, two.buses[i].va);
    }
    EXPECT_EQ(run(pattern, system, 20).stats.outcome, SolveOutcome::Converged);
    EXPECT_EQ(script.creates, 1);
}

}  // namespace
}  // namespace quillmere
