#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <tuple>
#include <vector>

#include "klu_native/klu_native.hpp"
#include "klu_native/test_util.hpp"
#include "stop.hpp"

namespace quillmere::klu_native {
namespace {

using testing::Triplets;
using testing::values_of;
using testing::Vec;
using Perm = std::vector<std::size_t>;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The diagonal when it reaches tol times the largest magnitude, else the first largest (the last
// candidate only when strictly larger); the last candidate takes the pivot's slot.
TEST(Lpivot, ChoiceAndRemainingOrder) {
    // (candidates, diagonal row, pivot row or none, rows left)
    using Case =
        std::tuple<std::vector<FactorEntry>, std::size_t, std::optional<std::size_t>, Perm>;
    const std::vector<Case> cases = {
        {{{0, 1000.0}, {1, 1.0}}, 1, 1, {0}},
        {{{0, 1000.0}, {1, 0.9999999}}, 1, 0, {1}},
        {{{2, -3.0}, {5, 3.0}, {7, 1.0}}, 9, 2, {7, 5}},
        {{{2, 1.0}, {3, -5.0}}, 9, 3, {2}},
        {{{2, nan}, {4, 2.0}, {3, 1.0}}, 2, 4, {2, 3}},  // NaN: never accepted, never largest
        {{{1, 0.0}, {2, -0.0}}, 1, std::nullopt, {}},
    };
    for (auto [list, diag, pivot, rest] : cases) {
        const std::optional<Pivot> p = lpivot(list, diag, 0.001);
        ASSERT_EQ(p.has_value(), pivot.has_value()) << diag;
        if (!p) continue;
        Perm rows;
        for (const FactorEntry& e : list) rows.push_back(e.row);
        EXPECT_EQ(std::tie(p->row, rows), std::tie(*pivot, rest));
    }
}

// Column 0 pivots on row 1, so its diagonal row 0 passes to column 1 (the one row 1 had been
// logged for), which then takes row 0 (1 >= 0.001 * 2) over the larger row 2.
TEST(FactorBlock, RejectedDiagonalPassesToTheNextColumn) {
    const std::vector<std::vector<GatheredEntry>> cols = {
        {{0, 1e-6}, {1, 1.0}}, {{0, 1.0}, {2, 2.0}}, {{0, 1.0}, {2, 1.0}}};
    std::vector<std::vector<FactorEntry>> sink(3);
    EXPECT_EQ(factor_block(3, cols, 0.001, sink)->perm, (Perm{1, 0, 2}));
}

// One work column serves every block of every call, so a failing refactorisation must leave it
// zero too: a stale value would start a later fill-in entry.
TEST(RefactorBlock, WorkColumnIsZeroAfterAZeroPivot) {
    std::vector<std::vector<GatheredEntry>> cols = {{{0, 4.0}, {1, 1.0}, {2, 2.0}},
                                                    {{0, 1.0}, {1, 5.0}, {2, 1.0}},
                                                    {{0, 2.0}, {1, 1.0}, {2, 6.0}}};
    std::vector<std::vector<FactorEntry>> sink(3);
    auto f = factor_block(3, cols, 0.001, sink);
    cols[0] = {{0, 0.0}, {1, 5.0}, {2, 3.0}};
    std::vector<double> x(3, 0.0);
    EXPECT_FALSE(refactor_block_in_place(3, *f, x, cols, sink));
    EXPECT_EQ(x, std::vector<double>(3, 0.0));
}

// Random systems with a trailing 1x1 block match a dense LU, for the first matrix and neighbours of
// it refactored along its pivot order. After a zero pivot (in the first column of the largest
// block, or in the trailing block after the others were refactored) the next call gives exactly
// what an object that never saw the failing call gives.
TEST(KluNativeSystem, RandomSystemsMatchDenseLuAndZeroPivotsLeaveNoTrace) {
    std::mt19937_64 rng(20261206);
    std::uniform_real_distribution<double> wiggle(-0.1, 0.1);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = 2 + rng() % 40;
        Triplets t = testing::random_system(n - 1, trial % 2 == 0 ? 0.05 : 0.2, rng);
        t.insert(t.end(), {{n - 1, n - 1, 2.0}, {0, n - 1, 1.0}});
        Vec rhs(n);
        std::iota(rhs.begin(), rhs.end(), -3.0);
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
        const Perm& r = sys->symbolic().r;
        std::size_t big = 0;
        for (std::size_t b = 0; b + 1 < r.size(); ++b)
            big = r[b + 1] - r[b] > r[big + 1] - r[big] ? b : big;
        const std::size_t k1 = r[big], row = sys->numeric().pnum[k1], col = sys->symbolic().q[k1];
        for (auto [i, j] : {std::pair{row, col}, std::pair{n - 1, n - 1}}) {
            Vec failing = values_of(t), later = values_of(t);
            for (std::size_t k = 0; k < t.size(); ++k) {
                if (t[k].row == i && t[k].col == j) failing[k] = 0.0;
                later[k] *= 1.0 + wiggle(rng);
            }
            EXPECT_FALSE(sys->factor_and_solve_values(failing, rhs)) << trial;
            EXPECT_EQ(sys->factor_and_solve_values(later, rhs),
                      KluNativeSystem::create(n, t)->factor_and_solve_values(later, rhs));
        }
    }
    // A later matrix on which a fresh object would pivot elsewhere keeps the first order, however
    // small the pivot.
    auto sys = KluNativeSystem::create(2, {{{0, 0, 1.0}, {1, 0, 0.5}, {0, 1, 0.5}, {1, 1, 1.0}}});
    const Triplets later = {{0, 0, 1e-12}, {1, 0, 1.0}, {0, 1, 1.0}, {1, 1, 1.0}};
    EXPECT_EQ(KluNativeSystem::create(2, later)->numeric().pnum, (Perm{1, 0}));
    const auto x = sys->factor_and_solve_values(values_of(later), Vec{1.0, 2.0});
    EXPECT_EQ(sys->numeric().pnum, (Perm{0, 1}));
    EXPECT_LT(testing::rel_diff(*x, *testing::dense_solve(2, later, Vec{1.0, 2.0})), 1e-3);
}

// Exact results of the factorisation and of the refactorisation with the same values. 3 / 10 and
// the solve's divisions taken as products with a reciprocal would change the last bit. Block
// {1, 2} is solved first and pushed into row 0 position by position: (3 - 1) - 1e16 is exact,
// where (3 - 1e16) - 1 rounds. With l = 1 + 2^-30 the product l * l rounds to 1 + 2^-29 and
// cancels exactly, where a fused multiply-add would leave -2^-60 (a zero pivot in the last row).
TEST(KluNativeSystem, RoundingOfDivisionsUpdatesAndOrder) {
    const double e = std::ldexp(1.0, -30);
    const auto two = [](double a, double b, double c, double d) {
        return Triplets{{0, 0, a}, {1, 0, b}, {0, 1, c}, {1, 1, d}};
    };
    const Triplets three = {{0, 0, 1.0}, {0, 1, 1.0}, {0, 2, 1e16}, {1, 1, 1.0},
                            {2, 1, 1.0}, {1, 2, 1.0}, {2, 2, 2.0}};
    const std::vector<std::tuple<std::size_t, Triplets, Vec, std::optional<Vec>>> cases = {
        {2, two(10.0, 3.0, 1.0, 1.0), {3.0, 1.0}, Vec{0.2857142857142857, 0.142857142857143}},
        {3, three, {3.0, 2.0, 3.0}, Vec{-9999999999999998.0, 1.0, 1.0}},
        {2, two(1.0, 1.0 + e, 0.0, 1.0), {1.0 + e, 1.0 + 2 * e}, Vec{1.0 + e, 0.0}},
        {2, two(1.0, 1.0 + e, 1.0 + e, 1.0 + 2 * e), {1.0, 1.0}, std::nullopt},
    };
    for (const auto& [n, t, rhs, want] : cases) {
        auto sys = KluNativeSystem::create(n, t);
        EXPECT_EQ(sys.has_value(), want.has_value()) << n;
        EXPECT_EQ(sys ? sys->factor_and_solve_values(values_of(t), rhs) : std::nullopt, want);
    }
    EXPECT_EQ(
        KluNativeSystem::create(2, two(10.0, 3.0, 1.0, 1.0))->numeric().blocks[0].l[0][0].value,
        0.3);
    auto sys = KluNativeSystem::create(2, two(1.0, 1.0 + e, 1.0 + e, 3.0));
    EXPECT_FALSE(sys->factor_and_solve_values(values_of(std::get<1>(cases[3])), Vec{1.0, 1.0}));
}

// Repeated positions add up in triplet order: (1 + 1e16) - 1e16 = 0, where the reverse order
// gives 1. A single value keeps its sign of zero.
TEST(KluNativeSystem, PacksValuesInTripletOrder) {
    const Triplets t = {{1, 0, 1.0}, {0, 0, -0.0}, {1, 0, 1e16}, {1, 0, -1e16}};
    const CscStructure csc = build_csc_structure(2, t);
    for (const Vec& packed :
         {pack_values(csc.value_map, t), pack_values_slice(csc.value_map, values_of(t))}) {
        EXPECT_TRUE(packed.size() == 2 && std::signbit(packed[0]) && packed[1] == 0.0);
    }
}

// Structurally singular matrices give no object; a NaN or an overflow in the solution is a
// failure, never a result, while tiny pivots are fine.
TEST(KluNativeSystem, SingularMatricesNonFiniteSolutionsAndBrokenContracts) {
    EXPECT_FALSE(KluNativeSystem::create(2, {{{0, 0, 1.0}, {1, 0, 1.0}}}));
    EXPECT_FALSE(
        KluNativeSystem::create(3, {{{0, 0, 1.0}, {0, 1, 1.0}, {1, 2, 1.0}, {2, 2, 1.0}}}));
    EXPECT_FALSE(KluNativeSystem::create(1, {{{0, 0, 1.5}, {0, 0, -1.5}}}));
    EXPECT_EQ(KluNativeSystem::create(0, {})->factor_and_solve_values({}, {}), Vec{});
    EXPECT_THROW(KluNativeSystem::create(2, Triplets{{0, 2, 1.0}}), Stop);
    auto sys = KluNativeSystem::create(2, {{{0, 0, 2.0}, {1, 0, 1.0}, {0, 1, 1.0}, {1, 1, 3.0}}});
    const Vec tiny = {1e-300, 0.0, 0.0, 1e-300};
    EXPECT_FALSE(sys->factor_and_solve_values(Vec{nan, 1.0, 1.0, 3.0}, Vec{1.0, 1.0}));
    EXPECT_TRUE(sys->factor_and_solve_values(tiny, Vec{1.0, 1.0}));
    EXPECT_FALSE(sys->factor_and_solve_values(tiny, Vec{1e10, 1.0}));
    EXPECT_THROW(sys->factor_and_solve_values(Vec(5, 1.0), Vec{1.0, 1.0}), Stop);
    EXPECT_THROW(sys->factor_and_solve_values(tiny, Vec{1.0}), Stop);
}

}  // namespace
}  // namespace quillmere::klu_native
