// What the solver keeps between solves, and how the loop treats a backend that fails.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/newton.hpp"
#include "engine/solver.hpp"
#include "support/networks.hpp"

namespace quillmere {
namespace {

using test_support::Net;

// Each backend keeps its analysed object (and, but for "block", the Jacobian pattern) across
// solves; reset drops both and the next solve makes them again, with the same passes.
TEST(Cache, KeptAcrossSolvesAndRebuiltAfterReset) {
    const Net net = test_support::grid();
    for (Backend backend : {Backend::Scalar, Backend::Block, Backend::KluNative}) {
        SCOPED_TRACE(static_cast<int>(backend));
        PersistentSolver solver(backend);
        auto history = [&] {
            std::vector<Bus> buses = net.buses;
            return solver.solve_with_stats(buses, net.y, 20, 1e-10).second.history;
        };
        const std::uint64_t patterns = backend == Backend::Block ? 0 : 1;
        const std::vector<double> first = history();
        EXPECT_LT(first.back(), 1e-10);
        EXPECT_EQ(history(), first);
        EXPECT_EQ(solver.backend_creations(), 1u);
        EXPECT_EQ(solver.pattern_builds(), patterns);
        solver.reset();
        EXPECT_EQ(history(), first);
        EXPECT_EQ(solver.backend_creations(), 2u);
        EXPECT_EQ(solver.pattern_builds(), 2 * patterns);
    }
}

// One solve of the grid from its start: the history and the voltages as bits, the outcome and
// the number of island reports.
struct Solved {
    std::vector<std::uint64_t> bits;
    SolveOutcome outcome;
    std::size_t islands;
};

Solved solve_grid(PersistentSolver& solver, std::uint64_t max_iter, Interruption check = {}) {
    const Net net = test_support::grid();
    std::vector<Bus> buses = net.buses;
    const auto [islands, stats] = solver.solve_with_stats(buses, net.y, max_iter, 1e-10, check);
    Solved r{{}, stats.outcome, islands.size()};
    for (double x : stats.history) r.bits.push_back(std::bit_cast<std::uint64_t>(x));
    for (const Bus& b : buses) {
        for (double x : {b.vm, b.va}) r.bits.push_back(std::bit_cast<std::uint64_t>(x));
    }
    return r;
}

// An interruption before pass k ends the solve after k passes, with no island reports and the
// buses a k-pass limit leaves; the caches stay as a solve running on would leave them, so the next
// solve is a fresh solver's, bit for bit (on "klu_native" also the pivot order of the first pass).
TEST(Cache, AnInterruptedSolveLeavesNothingThatChangesTheNext) {
    struct Countdown {
        mutable int left;
    };
    const auto at_zero = [](const void* countdown) {
        return static_cast<const Countdown*>(countdown)->left-- == 0;
    };
    for (Backend backend : {Backend::Scalar, Backend::Block, Backend::KluNative}) {
        PersistentSolver fresh(backend);
        const Solved want = solve_grid(fresh, 20);
        ASSERT_EQ(want.outcome, SolveOutcome::Converged);
        for (std::uint64_t k : {0, 1, 2}) {
            SCOPED_TRACE(::testing::Message() << "backend " << int(backend) << ", pass " << k);
            PersistentSolver solver(backend), limited(backend);
            const Countdown countdown{static_cast<int>(k)};
            const Solved got = solve_grid(solver, 20, {at_zero, &countdown});
            EXPECT_EQ(got.outcome, SolveOutcome::Interrupted);
            EXPECT_EQ(got.islands, 0u);
            EXPECT_EQ(got.bits, solve_grid(limited, k).bits);
            const Solved again = solve_grid(solver, 20);
            EXPECT_EQ(again.bits, want.bits);
            EXPECT_EQ(again.islands, want.islands);
        }
    }
}

// The "scalar" backend behind a script of failures, to drive the loop through the cases a real
// factorisation meets only on particular matrices.
struct Script {
    int create_failures = 0, fail_solve_call = -1, creates = 0, solves = 0;
};
Script script;

struct ScriptedSystem {
    RealSparseSystem inner;

    static std::optional<ScriptedSystem> create(std::size_t n,
                                                std::span<const Triplet<double>> triplets) {
        ++script.creates;
        if (script.create_failures-- > 0) return std::nullopt;
        return ScriptedSystem{*RealSparseSystem::create(n, triplets)};
    }
    std::optional<std::vector<double>> factor_and_solve_values(std::span<const double> values,
                                                               std::span<const double> rhs) {
        if (script.solves++ == script.fail_solve_call) return std::nullopt;
        return inner.factor_and_solve_values(values, rhs);
    }
};

// A failed create leaves the cache empty and is retried on the next call; a failed solve on pass
// k keeps the object and the buses after the k - 1 updates made before it.
TEST(Cache, FailedCreateIsRetriedAndFailedSolveKeepsTheObject) {
    script = Script{.create_failures = 1, .fail_solve_call = 2};
    std::optional<JacobianPattern> pattern;
    std::optional<ScriptedSystem> system;
    NewtonWork work;
    const Net net = test_support::grid();
    auto run = [&](std::uint64_t max_iter) {
        std::vector<Bus> buses = net.buses;
        const SolveStats stats = newton_raphson_cached(std::span<Bus>(buses), net.y, max_iter,
                                                       1e-10, pattern, system, work);
        return std::pair{buses, stats};
    };
    const auto [untouched, no_create] = run(20);
    EXPECT_EQ(no_create.outcome, SolveOutcome::SingularJacobian);
    EXPECT_EQ(no_create.history.size(), 1u);
    EXPECT_FALSE(system.has_value());
    EXPECT_EQ(test_support::largest_shift(untouched, net.buses), 0.0);
    const auto [failed, third_pass] = run(20);
    EXPECT_EQ(third_pass.outcome, SolveOutcome::SingularJacobian);
    EXPECT_EQ(third_pass.history.size(), 3u);
    EXPECT_TRUE(system.has_value());
    const auto [two, two_passes] = run(2);
    EXPECT_EQ(two_passes.outcome, SolveOutcome::MaxIterations);
    EXPECT_EQ(test_support::largest_shift(failed, two), 0.0);
    EXPECT_EQ(run(20).second.outcome, SolveOutcome::Converged);
    EXPECT_EQ(script.creates, 2);
}

}  // namespace
}  // namespace quillmere
