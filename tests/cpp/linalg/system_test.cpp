#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <tuple>
#include <vector>

#include "common/stop.hpp"
#include "linalg/klu_native/klu_native.hpp"
#include "linalg/klu_native/refactor.hpp"
#include "support/sparse_systems.hpp"

namespace quillmere::klu_native {
namespace {

using test_support::Triplets;
using test_support::values_of;
using test_support::Vec;
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
    const std::vector<std::uint32_t> begin = {0, 2, 4}, end = {2, 4, 6}, rows = {0, 1, 0, 2, 0, 2};
    const Vec values = {1e-6, 1.0, 1.0, 2.0, 1.0, 1.0};
    FactorWork work(3);
    Numeric num;
    num.lp = num.up = {0};
    std::vector<std::uint32_t> perm(3);
    ASSERT_TRUE(factor_block(0, {begin, end, rows, values}, 0.001, work, num, perm));
    EXPECT_EQ(perm, (std::vector<std::uint32_t>{1, 0, 2}));
}

// One work column serves every column of every call, so a failing refactorisation must leave it
// zero too: a stale value would start a later fill-in entry.
TEST(Refactor, WorkColumnIsZeroAfterAZeroPivot) {
    const Triplets t = {{0, 0, 4.0}, {1, 0, 1.0}, {2, 0, 2.0}, {0, 1, 1.0}, {1, 1, 5.0},
                        {2, 1, 1.0}, {0, 2, 2.0}, {1, 2, 1.0}, {2, 2, 6.0}};
    const auto sys = KluNativeSystem::create(3, t);
    ASSERT_TRUE(sys && sys->matrix().r.size() == 2);
    Vec values = values_of(t);
    values[0] = 0.0;
    values[1] = 5.0;
    values[2] = 3.0;
    Vec ax(sys->matrix().a.entries());
    sys->matrix().a.scatter(std::span<const double>(values), std::span<double>(ax));
    Numeric num = sys->numeric();
    Vec x(3, 0.0);
    EXPECT_FALSE(refactor(sys->matrix(), ax, num, x));
    EXPECT_EQ(x, Vec(3, 0.0));
}

// The layout of sparse and of dense random systems (columns short and long enough for either way
// of sorting them): every column's rows strictly ascending, its entries above the diagonal block
// before block_start, and every triplet on its permuted position.
TEST(Permute, ColumnsAreSortedAndSplitAtTheirBlocks) {
    std::mt19937_64 rng(20261209);
    for (double density : {0.05, 0.9}) {
        const std::size_t n = 40;
        Triplets t = test_support::random_system(n - 1, density, rng);
        t.insert(t.end(), {{n - 1, n - 1, 2.0}, {0, n - 1, 1.0}, {5, n - 1, 1.0}});
        const auto sys = KluNativeSystem::create(n, t);
        ASSERT_TRUE(sys) << density;
        const PermutedMatrix& m = sys->matrix();
        std::vector<std::uint32_t> pinv(n), qinv(n), first(n);
        for (std::uint32_t k = 0; k < n; ++k) pinv[sys->numeric().pnum[k]] = qinv[m.q[k]] = k;
        for (std::size_t b = 0; b + 1 < m.r.size(); ++b) {
            for (std::uint32_t k = m.r[b]; k < m.r[b + 1]; ++k) first[k] = m.r[b];
        }
        for (std::uint32_t k = 0; k < n; ++k) {
            for (std::uint32_t e = m.a.col_ptr[k]; e < m.a.col_ptr[k + 1]; ++e) {
                if (e > m.a.col_ptr[k]) {
                    EXPECT_LT(m.a.row_idx[e - 1], m.a.row_idx[e]) << k;
                }
                EXPECT_EQ(e < m.block_start[k], m.a.row_idx[e] < first[k]) << k;
            }
        }
        for (std::size_t k = 0; k < t.size(); ++k) {
            const std::uint32_t e = m.a.slot[k];
            const std::uint32_t col = qinv[t[k].col];
            EXPECT_TRUE(m.a.col_ptr[col] <= e && e < m.a.col_ptr[col + 1]) << k;
            EXPECT_EQ(m.a.row_idx[e], pinv[t[k].row]) << k;
        }
    }
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
        Triplets t = test_support::random_system(n - 1, trial % 2 == 0 ? 0.05 : 0.2, rng);
        t.insert(t.end(), {{n - 1, n - 1, 2.0}, {0, n - 1, 1.0}});
        Vec rhs(n);
        std::iota(rhs.begin(), rhs.end(), -3.0);
        auto sys = KluNativeSystem::create(n, t);
        ASSERT_TRUE(sys) << trial;
        for (int step = 0; step < 4; ++step) {
            Triplets now = t;
            for (auto& e : now) e.value *= step == 0 ? 1.0 : 1.0 + wiggle(rng);
            const auto x = sys->factor_and_solve_values(values_of(now), rhs);
            const auto want = test_support::dense_solve(n, now, rhs);
            ASSERT_TRUE(x && want) << trial << " step " << step;
            EXPECT_LT(test_support::rel_diff(*x, *want), 1e-8) << trial << " step " << step;
        }
        const std::vector<std::uint32_t>& r = sys->matrix().r;
        std::size_t big = 0;
        for (std::size_t b = 0; b + 1 < r.size(); ++b)
            big = r[b + 1] - r[b] > r[big + 1] - r[big] ? b : big;
        const std::size_t k1 = r[big], row = sys->numeric().pnum[k1], col = sys->matrix().q[k1];
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
    using Order = std::vector<std::uint32_t>;
    EXPECT_EQ(KluNativeSystem::create(2, later)->numeric().pnum, (Order{1, 0}));
    const auto x = sys->factor_and_solve_values(values_of(later), Vec{1.0, 2.0});
    EXPECT_EQ(sys->numeric().pnum, (Order{0, 1}));
    EXPECT_LT(test_support::rel_diff(*x, *test_support::dense_solve(2, later, Vec{1.0, 2.0})),
              1e-3);
}

std::vector<std::uint64_t> bits(const Vec& v) {
    std::vector<std::uint64_t> out;
    for (double x : v) out.push_back(std::bit_cast<std::uint64_t>(x));
    return out;
}

// The first call with the values of `create` solves with the factors `create` made; a refactor of
// the same values gives the same bits, factors and solution alike. A first call with other values
// refactors.
TEST(KluNativeSystem, FirstCallWithTheCreateValuesGivesTheRefactoredBits) {
    std::mt19937_64 rng(20261208);
    for (int trial = 0; trial < 50; ++trial) {
        const std::size_t n = 2 + rng() % 40;
        const Triplets t = test_support::random_system(n, trial % 2 == 0 ? 0.05 : 0.2, rng);
        const Vec rhs(n, 1.0);
        auto direct = KluNativeSystem::create(n, t);
        auto refactored = KluNativeSystem::create(n, t);
        ASSERT_TRUE(direct && refactored) << trial;
        Triplets tripled = t;
        for (auto& e : tripled) e.value *= 3.0;
        const auto z = refactored->factor_and_solve_values(values_of(tripled), rhs);
        ASSERT_TRUE(z) << trial;
        EXPECT_LT(test_support::rel_diff(*z, *test_support::dense_solve(n, tripled, rhs)), 1e-8)
            << trial;
        const auto x = direct->factor_and_solve_values(values_of(t), rhs);
        const auto y = refactored->factor_and_solve_values(values_of(t), rhs);
        ASSERT_TRUE(x && y) << trial;
        EXPECT_EQ(bits(*x), bits(*y)) << trial;
        const Numeric &a = direct->numeric(), &b = refactored->numeric();
        EXPECT_EQ(bits(a.lx), bits(b.lx)) << trial;
        EXPECT_EQ(bits(a.ux), bits(b.ux)) << trial;
        EXPECT_EQ(bits(a.udiag), bits(b.udiag)) << trial;
    }
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
    EXPECT_EQ(KluNativeSystem::create(2, two(10.0, 3.0, 1.0, 1.0))->numeric().lx, Vec{0.3});
    auto sys = KluNativeSystem::create(2, two(1.0, 1.0 + e, 1.0 + e, 3.0));
    EXPECT_FALSE(sys->factor_and_solve_values(values_of(std::get<1>(cases[3])), Vec{1.0, 1.0}));
}

// Repeated positions add up from -0.0 in triplet order: (1 + 1e16) - 1e16 = 0 above the diagonal
// (the reverse order gives 1, and x0 = 0); a single -0.0 keeps its sign, so x1 = -0.0 - (-0.0) * 1
// comes out as +0.0 (from a +0.0 it would be -0.0). Compared bit for bit.
TEST(KluNativeSystem, SumsRepeatedPositionsInTripletOrder) {
    const std::vector<std::tuple<Triplets, Vec, Vec>> cases = {
        {{{0, 0, 1.0}, {1, 1, 1.0}, {0, 1, 1.0}, {0, 1, 1e16}, {0, 1, -1e16}},
         {1.0, 1.0},
         {1.0, 1.0}},
        {{{0, 0, 1.0}, {1, 0, -0.0}, {0, 1, 1.0}, {1, 1, 1.0}}, {1.0, -0.0}, {1.0, 0.0}},
    };
    for (const auto& [t, rhs, want] : cases) {
        auto sys = KluNativeSystem::create(2, t);
        ASSERT_TRUE(sys);
        const auto x = sys->factor_and_solve_values(values_of(t), rhs);
        ASSERT_TRUE(x);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>((*x)[i]), std::bit_cast<std::uint64_t>(want[i]))
                << i << ": " << (*x)[i];
        }
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
