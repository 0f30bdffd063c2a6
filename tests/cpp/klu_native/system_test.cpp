#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "klu_native/dense_util.hpp"
#include "klu_native/klu_native.hpp"
#include "solver.hpp"
#include "stop.hpp"

namespace quillmere::klu_native {
namespace {

static_assert(LinearSolver<KluNativeSystem>);

using testing::Triplets;
using testing::values_of;
using testing::Vec;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

Vec ramp(std::size_t n) {
    Vec b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = 1.0 + 0.5 * static_cast<double>(i);
    return b;
}

// The smallest n that holds every triplet.
std::size_t dim(const Triplets& t) {
    std::size_t n = 0;
    for (const auto& e : t) n = std::max({n, e.row + 1, e.col + 1});
    return n;
}

std::optional<Vec> solve_fresh(std::size_t n, const Triplets& t, const Vec& rhs) {
    auto sys = KluNativeSystem::create(n, t);
    if (!sys) return std::nullopt;
    return sys->factor_and_solve_values(values_of(t), rhs);
}

TEST(CscStructure, DuplicatesSumInTripletOrderAndKeepSignedZeros) {
    const Triplets t = {{1, 1, 1e16}, {0, 1, 0.0}, {1, 0, -0.0}, {1, 1, 1.0}, {1, 1, -1e16}};
    const CscStructure csc = build_csc_structure(2, t);
    EXPECT_EQ(csc.col_ptr, (std::vector<std::size_t>{0, 1, 3}));
    EXPECT_EQ(csc.row_idx, (std::vector<std::size_t>{1, 0, 1}));
    const auto dup = csc.value_map.entry(2);
    EXPECT_EQ(std::vector<std::size_t>(dup.begin(), dup.end()),
              (std::vector<std::size_t>{0, 3, 4}));
    const Vec packed = pack_values_slice(csc.value_map, values_of(t));
    EXPECT_TRUE(packed[0] == 0.0 && std::signbit(packed[0]));
    EXPECT_TRUE(packed[1] == 0.0 && !std::signbit(packed[1]));
    EXPECT_EQ(packed[2], 0.0) << "(1e16 + 1) - 1e16 rounds to 0 in triplet order";
    EXPECT_EQ(pack_values(csc.value_map, t), packed);
}

TEST(KluNativeSystem, SmallSystemsMatchDenseReference) {
    const std::vector<std::pair<const char*, Triplets>> cases = {
        {"1x1", {{0, 0, 4.0}}},
        {"zero diagonal", {{0, 1, 2.0}, {1, 0, 3.0}, {1, 1, 1.0}}},
        {"diagonal below the tolerance",
         {{0, 0, 1e-9},
          {1, 0, 1.0},
          {0, 1, 1.0},
          {1, 1, 1.0},
          {2, 1, 5.0},
          {1, 2, 2.0},
          {2, 2, 3.0},
          {0, 2, 1.0}}},
        {"upper triangular", {{0, 0, 2.0}, {0, 1, 3.0}, {1, 1, 4.0}, {1, 2, 5.0}, {2, 2, 6.0}}},
        {"lower triangular",
         {{0, 0, 2.0}, {1, 0, 3.0}, {1, 1, 4.0}, {2, 1, 5.0}, {2, 0, 7.0}, {2, 2, 6.0}}},
        {"2x2 block between 1x1 blocks",
         {{0, 0, 1.0},
          {0, 1, 2.0},
          {1, 0, 3.0},
          {1, 1, 1.0},
          {2, 2, 5.0},
          {0, 2, -1.0},
          {3, 3, 2.0},
          {3, 0, 4.0},
          {2, 3, 1.5}}},
        {"permutation", {{2, 0, 2.0}, {0, 1, 3.0}, {1, 2, 4.0}}},
        {"duplicates", {{0, 0, 1.0}, {0, 0, 2.0}, {1, 1, 1.0}, {1, 0, 1.0}, {1, 1, 3.0}}},
    };
    for (const auto& [name, t] : cases) {
        const std::size_t n = dim(t);
        const auto x = solve_fresh(n, t, ramp(n));
        const auto ref = testing::dense_solve(n, t, ramp(n));
        ASSERT_TRUE(x && ref) << name;
        EXPECT_LT(testing::rel_diff(*x, *ref), 1e-14) << name;
    }
}

TEST(KluNativeSystem, CreateRefusesSingularMatrices) {
    const std::vector<std::pair<const char*, Triplets>> cases = {
        {"zero 1x1", {{0, 0, -0.0}}},
        {"empty column", {{0, 0, 1.0}, {1, 0, 1.0}}},
        {"empty row", {{0, 0, 1.0}, {0, 1, 1.0}}},
        {"two columns on one row", {{0, 0, 1.0}, {0, 1, 1.0}, {1, 2, 1.0}, {2, 2, 1.0}}},
        {"zero 1x1 block among others",
         {{0, 0, 1.0}, {0, 1, 2.0}, {1, 1, 0.0}, {1, 2, 3.0}, {2, 2, 4.0}}},
        {"duplicates cancel", {{0, 0, 1.5}, {0, 0, -1.5}}},
        {"rank one 2x2", {{0, 0, 1.0}, {0, 1, 2.0}, {1, 0, 2.0}, {1, 1, 4.0}}},
    };
    for (const auto& [name, t] : cases) EXPECT_FALSE(KluNativeSystem::create(dim(t), t)) << name;

    auto empty = KluNativeSystem::create(0, Triplets{});
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->factor_and_solve_values({}, {}), Vec{});
}

// Refactoring the first matrix walks the stored patterns in the stored order, so it reproduces the
// pivoting factorisation bit for bit; later neighbours of it match a dense LU.
TEST(KluNativeSystem, RandomSystemsMatchDenseLu) {
    std::mt19937_64 rng(20261206);
    std::uniform_real_distribution<double> wiggle(-0.1, 0.1);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = 1 + rng() % 40;
        const Triplets t = testing::random_system(n, trial % 2 == 0 ? 0.05 : 0.2, rng);
        Vec rhs(n);
        for (double& b : rhs) b = 10.0 * wiggle(rng);
        auto sys = KluNativeSystem::create(n, t);
        ASSERT_TRUE(sys) << trial;
        const Numeric first = sys->numeric();
        for (int step = 0; step < 4; ++step) {
            Triplets now = t;
            if (step > 0) {
                for (auto& e : now) e.value *= 1.0 + wiggle(rng);
            }
            const auto x = sys->factor_and_solve_values(values_of(now), rhs);
            const auto want = testing::dense_solve(n, now, rhs);
            ASSERT_TRUE(x && want) << trial << " step " << step;
            EXPECT_LT(testing::rel_diff(*x, *want), 1e-8) << trial << " step " << step;
            if (step > 0) continue;
            const Numeric& again = sys->numeric();
            for (std::size_t b = 0; b < first.blocks.size(); ++b) {
                const BlockFactor& f = first.blocks[b];
                const BlockFactor& g = again.blocks[b];
                EXPECT_EQ(f.udiag, g.udiag) << trial;
                for (std::size_t k = 0; k < f.l.size(); ++k) {
                    for (std::size_t e = 0; e < f.l[k].size(); ++e) {
                        EXPECT_EQ(f.l[k][e].value, g.l[k][e].value) << trial;
                    }
                    for (std::size_t e = 0; e < f.u[k].size(); ++e) {
                        EXPECT_EQ(f.u[k][e].value, g.u[k][e].value) << trial;
                    }
                }
            }
            EXPECT_EQ(first.offi, again.offi);
            EXPECT_EQ(first.offx, again.offx);
        }
    }
}

// Values for which a fresh object would pivot elsewhere are refactored along the first pivot
// order, small pivots included.
TEST(KluNativeSystem, LaterMatricesKeepThePivotOrderOfTheFirst) {
    const Triplets first = {{0, 0, 1.0}, {1, 0, 0.5}, {0, 1, 0.5}, {1, 1, 1.0}};
    auto sys = KluNativeSystem::create(2, first);
    ASSERT_TRUE(sys);
    const std::vector<std::size_t> pnum = sys->numeric().pnum;
    for (double small : {1e-5, 1e-12}) {
        Triplets later = first;
        later[0].value = small;
        later[1].value = later[2].value = 1.0;
        EXPECT_NE(KluNativeSystem::create(2, later)->numeric().pnum, pnum) << small;
        const auto x = sys->factor_and_solve_values(values_of(later), Vec{1.0, 2.0});
        ASSERT_TRUE(x) << small;
        EXPECT_EQ(sys->numeric().pnum, pnum);
        EXPECT_EQ(sys->numeric().blocks[0].udiag[0], small);
        EXPECT_LT(testing::rel_diff(*x, *testing::dense_solve(2, later, Vec{1.0, 2.0})), 1e-3);
    }
}

TEST(KluNativeSystem, NonFiniteSolutionIsRefused) {
    const Triplets t = {{0, 0, 2.0}, {1, 0, 1.0}, {0, 1, 1.0}, {1, 1, 3.0}};
    auto sys = KluNativeSystem::create(2, t);
    ASSERT_TRUE(sys);
    EXPECT_FALSE(sys->factor_and_solve_values(Vec{nan, 1.0, 1.0, 3.0}, Vec{1.0, 1.0}));
    EXPECT_FALSE(sys->factor_and_solve_values(values_of(t), Vec{1.0, nan}));
    const Vec tiny = {1e-300, 0.0, 0.0, 1e-300};
    EXPECT_TRUE(sys->factor_and_solve_values(tiny, Vec{1.0, 1.0})) << "tiny pivots are accepted";
    EXPECT_FALSE(sys->factor_and_solve_values(tiny, Vec{1e10, 1.0})) << "overflow";
    EXPECT_EQ(sys->factor_and_solve_values(values_of(t), Vec{1.0, 1.0}),
              solve_fresh(2, t, Vec{1.0, 1.0}));
}

// After a zero pivot (here at the first column of the largest block, or in a trailing 1x1 block
// after the others were refactored) the next call gives exactly what an object that never saw the
// failing call gives.
TEST(KluNativeSystem, ZeroPivotCallLeavesNoTrace) {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> wiggle(-0.1, 0.1);
    for (int trial = 0; trial < 100; ++trial) {
        const std::size_t n = 4 + rng() % 30;
        Triplets t = testing::random_system(n, 0.15, rng);
        t.push_back({n, n, 2.0});
        t.push_back({0, n, 1.0});
        auto sys = KluNativeSystem::create(n + 1, t);
        auto reference = KluNativeSystem::create(n + 1, t);
        ASSERT_TRUE(sys && reference);
        const Symbolic& s = sys->symbolic();
        std::size_t k1 = 0;
        for (std::size_t b = 0; b + 1 < s.r.size(); ++b) {
            if (s.r[b + 1] - s.r[b] > s.r[k1 + 1] - s.r[k1]) k1 = b;
        }
        k1 = s.r[k1];
        const Vec rhs = ramp(n + 1);
        for (auto [row, col] : {std::pair{sys->numeric().pnum[k1], s.q[k1]}, std::pair{n, n}}) {
            Vec failing = values_of(t);
            for (std::size_t k = 0; k < t.size(); ++k) {
                if (t[k].row == row && t[k].col == col) failing[k] = 0.0;
            }
            Vec later = values_of(t);
            for (double& v : later) v *= 1.0 + wiggle(rng);
            EXPECT_FALSE(sys->factor_and_solve_values(failing, rhs)) << trial;
            EXPECT_EQ(sys->factor_and_solve_values(later, rhs),
                      reference->factor_and_solve_values(later, rhs))
                << trial;
        }
    }
}

// With y0 = l = 1 + 2^-30 the product rounds to 1 + 2^-29 and cancels exactly, where a fused
// multiply-add would leave -2^-60: in the solve, and as a zero pivot in both factorisations.
TEST(KluNativeSystem, UpdatesAreNotFused) {
    const double e = std::ldexp(1.0, -30);
    const auto x =
        solve_fresh(2, {{0, 0, 1.0}, {1, 0, 1.0 + e}, {1, 1, 1.0}}, {1.0 + e, 1 + 2 * e});
    ASSERT_TRUE(x);
    EXPECT_EQ((*x)[1], 0.0);
    const Triplets full = {{0, 0, 1.0}, {1, 0, 1.0 + e}, {0, 1, 1.0 + e}, {1, 1, 1.0 + 2 * e}};
    EXPECT_FALSE(KluNativeSystem::create(2, full));
    Triplets regular = full;
    regular[3].value = 3.0;
    auto sys = KluNativeSystem::create(2, regular);
    ASSERT_TRUE(sys);
    EXPECT_FALSE(sys->factor_and_solve_values(values_of(full), Vec{1.0, 1.0}));
}

TEST(KluNativeSystem, BrokenCallingContractStops) {
    EXPECT_THROW(KluNativeSystem::create(2, Triplets{{0, 2, 1.0}}), Stop);
    EXPECT_THROW(KluNativeSystem::create(2, Triplets{{2, 0, 1.0}}), Stop);
    auto sys = KluNativeSystem::create(2, Triplets{{0, 0, 2.0}, {1, 1, 3.0}});
    ASSERT_TRUE(sys);
    EXPECT_THROW(sys->factor_and_solve_values(Vec{1.0}, Vec{1.0, 1.0}), Stop);
    EXPECT_THROW(sys->factor_and_solve_values(Vec{1.0, 1.0, 1.0}, Vec{1.0, 1.0}), Stop);
    EXPECT_THROW(sys->factor_and_solve_values(Vec{1.0, 1.0}, Vec{1.0}), Stop);
    EXPECT_EQ(sys->factor_and_solve_values(Vec{2.0, 4.0}, Vec{1.0, 1.0}), (Vec{0.5, 0.25}));
}

}  // namespace
}  // namespace quillmere::klu_native
