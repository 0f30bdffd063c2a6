#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "klu_native/dense_util.hpp"
#include "klu_native/klu_native.hpp"
#include "stop.hpp"

namespace quillmere::klu_native {
namespace {

using testing::Triplets;
using testing::values_of;
using testing::Vec;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(KluNativeSystem, CreateRefusesSingularMatrices) {
    const std::vector<std::pair<std::size_t, Triplets>> cases = {
        {2, {{0, 0, 1.0}, {1, 0, 1.0}}},                            // empty column
        {3, {{0, 0, 1.0}, {0, 1, 1.0}, {1, 2, 1.0}, {2, 2, 1.0}}},  // two columns on one row
        {1, {{0, 0, 1.5}, {0, 0, -1.5}}},                           // duplicates cancel
    };
    for (const auto& [n, t] : cases) EXPECT_FALSE(KluNativeSystem::create(n, t)) << t.size();
    EXPECT_EQ(KluNativeSystem::create(0, {})->factor_and_solve_values({}, {}), Vec{});
}

// Repeated positions add up in triplet order: (1 + 1e16) - 1e16 = 0, where the reverse order
// gives 1. A single value keeps its sign of zero.
TEST(KluNativeSystem, PacksValuesInTripletOrder) {
    const Triplets t = {{1, 0, 1.0}, {0, 0, -0.0}, {1, 0, 1e16}, {1, 0, -1e16}};
    const CscStructure csc = build_csc_structure(2, t);
    for (const Vec& packed :
         {pack_values(csc.value_map, t), pack_values_slice(csc.value_map, values_of(t))}) {
        ASSERT_EQ(packed.size(), 2u);
        EXPECT_TRUE(std::signbit(packed[0]));
        EXPECT_EQ(packed[1], 0.0);
    }
}

// The first matrix and neighbours of it, refactored along its pivot order, match a dense LU.
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
        for (int step = 0; step < 4; ++step) {
            Triplets now = t;
            for (auto& e : now) e.value *= step == 0 ? 1.0 : 1.0 + wiggle(rng);
            const auto x = sys->factor_and_solve_values(values_of(now), rhs);
            const auto want = testing::dense_solve(n, now, rhs);
            ASSERT_TRUE(x && want) << trial << " step " << step;
            EXPECT_LT(testing::rel_diff(*x, *want), 1e-8) << trial << " step " << step;
        }
    }
}

// Values for which a fresh object would pivot elsewhere are refactored along the first pivot
// order, however small the pivot.
TEST(KluNativeSystem, LaterMatricesKeepThePivotOrderOfTheFirst) {
    const Triplets first = {{0, 0, 1.0}, {1, 0, 0.5}, {0, 1, 0.5}, {1, 1, 1.0}};
    auto sys = KluNativeSystem::create(2, first);
    ASSERT_TRUE(sys);
    const std::vector<std::size_t> pnum = sys->numeric().pnum;
    const Triplets later = {{0, 0, 1e-12}, {1, 0, 1.0}, {0, 1, 1.0}, {1, 1, 1.0}};
    EXPECT_NE(KluNativeSystem::create(2, later)->numeric().pnum, pnum);
    const auto x = sys->factor_and_solve_values(values_of(later), Vec{1.0, 2.0});
    ASSERT_TRUE(x);
    EXPECT_EQ(sys->numeric().pnum, pnum);
    EXPECT_EQ(sys->numeric().blocks[0].udiag[0], 1e-12);
    EXPECT_LT(testing::rel_diff(*x, *testing::dense_solve(2, later, Vec{1.0, 2.0})), 1e-3);
}

// After a zero pivot (at the first column of the largest block, or in a trailing 1x1 block after
// the others were refactored) the next call gives exactly what an object that never saw the
// failing call gives.
TEST(KluNativeSystem, ZeroPivotCallLeavesNoTrace) {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> wiggle(-0.1, 0.1);
    for (int trial = 0; trial < 100; ++trial) {
        const std::size_t n = 4 + rng() % 30;
        Triplets t = testing::random_system(n, 0.15, rng);
        t.insert(t.end(), {{n, n, 2.0}, {0, n, 1.0}});
        auto sys = KluNativeSystem::create(n + 1, t);
        ASSERT_TRUE(sys);
        const Symbolic& s = sys->symbolic();
        std::size_t big = 0;
        for (std::size_t b = 0; b + 1 < s.r.size(); ++b) {
            if (s.r[b + 1] - s.r[b] > s.r[big + 1] - s.r[big]) big = b;
        }
        const std::size_t k1 = s.r[big];
        const Vec rhs(n + 1, 1.0);
        for (auto [row, col] : {std::pair{sys->numeric().pnum[k1], s.q[k1]}, std::pair{n, n}}) {
            Vec failing = values_of(t), later = values_of(t);
            for (std::size_t k = 0; k < t.size(); ++k) {
                if (t[k].row == row && t[k].col == col) failing[k] = 0.0;
                later[k] *= 1.0 + wiggle(rng);
            }
            EXPECT_FALSE(sys->factor_and_solve_values(failing, rhs)) << trial;
            EXPECT_EQ(sys->factor_and_solve_values(later, rhs),
                      KluNativeSystem::create(n + 1, t)->factor_and_solve_values(later, rhs))
                << trial;
        }
    }
}

// With y0 = l = 1 + 2^-30 the product rounds to 1 + 2^-29 and cancels exactly, where a fused
// multiply-add would leave -2^-60: as a zero pivot in both factorisations, and in the solve.
TEST(KluNativeSystem, UpdatesAreNotFused) {
    const double e = std::ldexp(1.0, -30);
    const Triplets full = {{0, 0, 1.0}, {1, 0, 1.0 + e}, {0, 1, 1.0 + e}, {1, 1, 1.0 + 2 * e}};
    EXPECT_FALSE(KluNativeSystem::create(2, full));
    Triplets regular = full;
    regular[3].value = 3.0;
    auto sys = KluNativeSystem::create(2, regular);
    ASSERT_TRUE(sys);
    EXPECT_FALSE(sys->factor_and_solve_values(values_of(full), Vec{1.0, 1.0}));
    const auto x =
        sys->factor_and_solve_values(Vec{1.0, 1.0 + e, 0.0, 1.0}, Vec{1.0 + e, 1 + 2 * e});
    ASSERT_TRUE(x);
    EXPECT_EQ((*x)[1], 0.0);
}

// Every division by a pivot is a true division: 3 / 10 and the solve's divisions taken as products
// with a reciprocal would each change the last bit.
TEST(KluNativeSystem, DivisionsByPivotsAreTrueDivisions) {
    const Triplets t = {{0, 0, 10.0}, {1, 0, 3.0}, {0, 1, 1.0}, {1, 1, 1.0}};
    auto sys = KluNativeSystem::create(2, t);
    ASSERT_TRUE(sys);
    EXPECT_EQ(sys->numeric().blocks[0].l[0][0].value, 0.3);
    EXPECT_EQ(sys->factor_and_solve_values(values_of(t), Vec{3.0, 1.0}),
              (Vec{0.2857142857142857, 0.142857142857143}));
}

// Block {1, 2} is solved first (y1 = y2 = 1) and pushed into row 0 position by position:
// (3 - 1) - 1e16 is exact, where (3 - 1e16) - 1 would round to -9999999999999996.
TEST(KluNativeSystem, OffDiagonalPartAppliedInPositionOrder) {
    const Triplets t = {{0, 0, 1.0}, {0, 1, 1.0}, {0, 2, 1e16}, {1, 1, 1.0},
                        {2, 1, 1.0}, {1, 2, 1.0}, {2, 2, 2.0}};
    auto sys = KluNativeSystem::create(3, t);
    ASSERT_TRUE(sys);
    EXPECT_EQ(sys->symbolic().r, (std::vector<std::size_t>{0, 1, 3}));
    EXPECT_EQ(sys->factor_and_solve_values(values_of(t), Vec{3.0, 2.0, 3.0}),
              (Vec{-9999999999999998.0, 1.0, 1.0}));
}

// A NaN or an overflow in the solution is a failure, never a result; tiny pivots are fine.
TEST(KluNativeSystem, NonFiniteSolutionsAndBrokenContracts) {
    EXPECT_THROW(KluNativeSystem::create(2, Triplets{{0, 2, 1.0}}), Stop);
    EXPECT_THROW(KluNativeSystem::create(2, Triplets{{2, 0, 1.0}}), Stop);
    const Triplets t = {{0, 0, 2.0}, {1, 0, 1.0}, {0, 1, 1.0}, {1, 1, 3.0}};
    auto sys = KluNativeSystem::create(2, t);
    ASSERT_TRUE(sys);
    const Vec tiny = {1e-300, 0.0, 0.0, 1e-300};
    EXPECT_FALSE(sys->factor_and_solve_values(Vec{nan, 1.0, 1.0, 3.0}, Vec{1.0, 1.0}));
    EXPECT_FALSE(sys->factor_and_solve_values(values_of(t), Vec{1.0, nan}));
    EXPECT_TRUE(sys->factor_and_solve_values(tiny, Vec{1.0, 1.0}));
    EXPECT_FALSE(sys->factor_and_solve_values(tiny, Vec{1e10, 1.0}));
    EXPECT_THROW(sys->factor_and_solve_values(Vec{1.0, 1.0, 1.0}, Vec{1.0, 1.0}), Stop);
    EXPECT_THROW(sys->factor_and_solve_values(Vec(5, 1.0), Vec{1.0, 1.0}), Stop);
    EXPECT_THROW(sys->factor_and_solve_values(values_of(t), Vec{1.0}), Stop);
}

}  // namespace
}  // namespace quillmere::klu_native
