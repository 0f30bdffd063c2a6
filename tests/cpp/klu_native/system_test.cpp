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
using Vec = std::vector<double>;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Solves once through a fresh object (create, then the first refactorisation).
std::optional<Vec> solve_fresh(std::size_t n, const Triplets& t, const Vec& rhs) {
    auto sys = KluNativeSystem::create(n, t);
    if (!sys) return std::nullopt;
    return sys->factor_and_solve_values(testing::values_of(t), rhs);
}

Vec ramp(std::size_t n) {
    Vec b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = 1.0 + 0.5 * static_cast<double>(i);
    return b;
}

TEST(CscStructure, DuplicatesAndOrder) {
    const Triplets t = {{1, 1, 1.0}, {0, 1, 2.0}, {1, 0, 3.0}, {1, 1, 4.0}, {0, 0, 5.0}};
    const CscStructure csc = build_csc_structure(2, t);
    EXPECT_EQ(csc.col_ptr, (std::vector<std::size_t>{0, 2, 4}));
    EXPECT_EQ(csc.row_idx, (std::vector<std::size_t>{0, 1, 0, 1}));
    ASSERT_EQ(csc.value_map.entries(), 4u);
    const std::vector<std::vector<std::size_t>> lists = {{4}, {2}, {1}, {0, 3}};
    for (std::size_t e = 0; e < 4; ++e) {
        const auto got = csc.value_map.entry(e);
        EXPECT_EQ(std::vector<std::size_t>(got.begin(), got.end()), lists[e]) << "entry " << e;
    }
}

TEST(CscStructure, PackingSumsInTripletOrderAndKeepsSignedZeros) {
    const Triplets t = {{0, 0, -0.0}, {1, 1, 1e16}, {0, 1, 0.0}, {1, 1, 1.0}, {1, 1, -1e16}};
    const CscStructure csc = build_csc_structure(2, t);
    const Vec packed = pack_values(csc.value_map, t);
    ASSERT_EQ(packed.size(), 3u);
    EXPECT_TRUE(packed[0] == 0.0 && std::signbit(packed[0]));
    EXPECT_TRUE(packed[1] == 0.0 && !std::signbit(packed[1]));
    EXPECT_EQ(packed[2], 0.0) << "(1e16 + 1) - 1e16 rounds to 0 in triplet order";
    const Vec again = pack_values_slice(csc.value_map, testing::values_of(t));
    EXPECT_EQ(again, packed);
}

TEST(KluNativeSystem, SmallSystemsMatchDenseReference) {
    struct Case {
        const char* name;
        std::size_t n;
        Triplets t;
    };
    const std::vector<Case> cases = {
        {"1x1", 1, {{0, 0, 4.0}}},
        {"zero diagonal needs a row swap", 2, {{0, 1, 2.0}, {1, 0, 3.0}, {1, 1, 1.0}}},
        {"small diagonal rejected by the tolerance",
         3,
         {{0, 0, 1e-9},
          {1, 0, 1.0},
          {0, 1, 1.0},
          {1, 1, 1.0},
          {2, 1, 5.0},
          {1, 2, 2.0},
          {2, 2, 3.0},
          {0, 2, 1.0}}},
        {"upper triangular: three 1x1 blocks",
         3,
         {{0, 0, 2.0}, {0, 1, 3.0}, {1, 1, 4.0}, {1, 2, 5.0}, {2, 2, 6.0}, {0, 2, 7.0}}},
        {"lower triangular: three 1x1 blocks",
         3,
         {{0, 0, 2.0}, {1, 0, 3.0}, {1, 1, 4.0}, {2, 1, 5.0}, {2, 2, 6.0}, {2, 0, 7.0}}},
        {"2x2 block coupled to 1x1 blocks",
         4,
         {{0, 0, 1.0},
          {0, 1, 2.0},
          {1, 0, 3.0},
          {1, 1, 1.0},
          {2, 2, 5.0},
          {0, 2, -1.0},
          {3, 3, 2.0},
          {3, 0, 4.0},
          {2, 3, 1.5}}},
        {"permutation matrix", 3, {{2, 0, 2.0}, {0, 1, 3.0}, {1, 2, 4.0}}},
        {"duplicates add up", 2, {{0, 0, 1.0}, {0, 0, 2.0}, {1, 1, 1.0}, {1, 0, 1.0}, {1, 1, 3.0}}},
    };
    for (const Case& c : cases) {
        const Vec rhs = ramp(c.n);
        const auto x = solve_fresh(c.n, c.t, rhs);
        const auto ref = testing::dense_solve(testing::to_dense(c.n, c.t), rhs);
        ASSERT_TRUE(x) << c.name;
        ASSERT_TRUE(ref) << c.name;
        EXPECT_LT(testing::rel_diff(*x, *ref), 1e-14) << c.name;
    }
}

TEST(KluNativeSystem, SingularMatricesAreRefusedByCreate) {
    struct Case {
        const char* name;
        std::size_t n;
        Triplets t;
    };
    const std::vector<Case> cases = {
        {"zero 1x1", 1, {{0, 0, 0.0}}},
        {"negative zero 1x1", 1, {{0, 0, -0.0}}},
        {"empty column", 2, {{0, 0, 1.0}, {1, 0, 1.0}}},
        {"empty row", 2, {{0, 0, 1.0}, {0, 1, 1.0}}},
        {"two columns on one row", 3, {{0, 0, 1.0}, {0, 1, 1.0}, {1, 2, 1.0}, {2, 2, 1.0}}},
        {"zero 1x1 block among others",
         3,
         {{0, 0, 1.0}, {0, 1, 2.0}, {1, 1, 0.0}, {1, 2, 3.0}, {2, 2, 4.0}}},
        {"duplicates cancel", 1, {{0, 0, 1.5}, {0, 0, -1.5}}},
        {"numerically singular 2x2", 2, {{0, 0, 1.0}, {0, 1, 2.0}, {1, 0, 2.0}, {1, 1, 4.0}}},
    };
    for (const Case& c : cases) EXPECT_FALSE(KluNativeSystem::create(c.n, c.t)) << c.name;
}

TEST(KluNativeSystem, EmptySystem) {
    auto sys = KluNativeSystem::create(0, Triplets{});
    ASSERT_TRUE(sys);
    const auto x = sys->factor_and_solve_values({}, {});
    ASSERT_TRUE(x);
    EXPECT_TRUE(x->empty());
}

TEST(KluNativeSystem, TripletOrderOnlyChangesTheValueMap) {
    const Triplets t = {{0, 0, 4.0}, {1, 0, 1.0}, {0, 1, 2.0},  {1, 1, 0.5},
                        {2, 2, 3.0}, {2, 1, 1.0}, {1, 2, -1.0}, {1, 1, 0.25}};
    Triplets shuffled = t;
    std::mt19937_64 rng(3);
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    auto a = KluNativeSystem::create(3, t);
    auto b = KluNativeSystem::create(3, shuffled);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->col_ptr(), b->col_ptr());
    EXPECT_EQ(a->row_idx(), b->row_idx());
    const Vec rhs = ramp(3);
    EXPECT_EQ(a->factor_and_solve_values(testing::values_of(t), rhs),
              b->factor_and_solve_values(testing::values_of(shuffled), rhs));
}

// The refactorisation of the first matrix walks the stored patterns in the stored order, so it
// reproduces the pivoting factorisation bit for bit.
TEST(KluNativeSystem, RefactoringTheFirstMatrixReproducesItsFactors) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 50; ++trial) {
        const std::size_t n = 2 + rng() % 30;
        const Triplets t = testing::random_system(n, 0.1, rng);
        auto sys = KluNativeSystem::create(n, t);
        ASSERT_TRUE(sys);
        const Numeric first = sys->numeric();
        ASSERT_TRUE(sys->factor_and_solve_values(testing::values_of(t), ramp(n)));
        const Numeric& again = sys->numeric();
        ASSERT_EQ(first.blocks.size(), again.blocks.size());
        for (std::size_t b = 0; b < first.blocks.size(); ++b) {
            const BlockFactor& f = first.blocks[b];
            const BlockFactor& g = again.blocks[b];
            EXPECT_EQ(f.udiag, g.udiag) << "trial " << trial;
            for (std::size_t k = 0; k < f.l.size(); ++k) {
                for (std::size_t e = 0; e < f.l[k].size(); ++e) {
                    EXPECT_EQ(f.l[k][e].value, g.l[k][e].value) << "trial " << trial;
                }
                for (std::size_t e = 0; e < f.u[k].size(); ++e) {
                    EXPECT_EQ(f.u[k][e].value, g.u[k][e].value) << "trial " << trial;
                }
            }
        }
        EXPECT_EQ(first.offp, again.offp);
        EXPECT_EQ(first.offi, again.offi);
        EXPECT_EQ(first.offx, again.offx);
    }
}

// Values for which a fresh factorisation would pivot elsewhere are refactored along the first
// pivot order, small pivots included.
TEST(KluNativeSystem, LaterMatricesKeepThePivotOrderOfTheFirst) {
    const Triplets first = {{0, 0, 1.0}, {1, 0, 0.5}, {0, 1, 0.5}, {1, 1, 1.0}};
    auto sys = KluNativeSystem::create(2, first);
    ASSERT_TRUE(sys);
    const std::vector<std::size_t> pnum = sys->numeric().pnum;

    for (double small : {1e-5, 1e-12}) {
        const Vec values = {small, 1.0, 1.0, 1.0};
        const Triplets later = testing::with_values(first, values);
        auto fresh = KluNativeSystem::create(2, later);
        ASSERT_TRUE(fresh);
        EXPECT_NE(fresh->numeric().pnum, pnum) << "a fresh object pivots off the diagonal";

        const auto x = sys->factor_and_solve_values(values, Vec{1.0, 2.0});
        ASSERT_TRUE(x) << small;
        EXPECT_EQ(sys->numeric().pnum, pnum);
        const double piv = sys->numeric().blocks[0].udiag[0];
        EXPECT_EQ(piv, small) << "the stored diagonal pivot is kept";
        const auto ref = testing::dense_solve(testing::to_dense(2, later), Vec{1.0, 2.0});
        EXPECT_LT(testing::rel_diff(*x, *ref), 1e-3) << small;
    }
}

TEST(KluNativeSystem, NanPivotGivesNoResultAndTheObjectRecovers) {
    const Triplets t = {{0, 0, 2.0}, {1, 0, 1.0}, {0, 1, 1.0}, {1, 1, 3.0}};
    auto sys = KluNativeSystem::create(2, t);
    ASSERT_TRUE(sys);
    EXPECT_FALSE(sys->factor_and_solve_values(Vec{nan, 1.0, 1.0, 3.0}, Vec{1.0, 1.0}));
    EXPECT_FALSE(sys->factor_and_solve_values(Vec{2.0, 1.0, 1.0, 3.0}, Vec{1.0, nan}));
    // Tiny stored pivots are accepted; only a solution that overflows is refused.
    const Vec tiny = {1e-300, 0.0, 0.0, 1e-300};
    EXPECT_TRUE(sys->factor_and_solve_values(tiny, Vec{1.0, 1.0}));
    EXPECT_FALSE(sys->factor_and_solve_values(tiny, Vec{1e10, 1.0}));
    EXPECT_EQ(sys->factor_and_solve_values(testing::values_of(t), Vec{1.0, 1.0}),
              solve_fresh(2, t, Vec{1.0, 1.0}));
}

// A call that meets an exactly zero pivot gives no result, and the next call gives exactly what it
// would have given had the failing call not been made: zero pivots in a 1x1 block after other
// blocks, in the first column of a block (with non-zero L entries left in the work column) and in
// a middle column.
TEST(KluNativeSystem, ZeroPivotCallLeavesNoTrace) {
    // A 3x3 irreducible block (rows/columns 0-2) above a 1x1 block (3) and below another (4).
    const Triplets t = {{0, 0, 4.0}, {1, 0, 1.0}, {2, 0, 2.0}, {0, 1, 1.0}, {1, 1, 5.0},
                        {2, 1, 7.0}, {0, 2, 3.0}, {1, 2, 1.0}, {2, 2, 6.0}, {0, 3, 1.0},
                        {3, 3, 2.0}, {4, 4, 3.0}, {4, 0, 1.0}, {4, 2, 2.0}};
    const std::size_t n = 5;
    const Vec v0 = testing::values_of(t);
    auto probe = KluNativeSystem::create(n, t);
    ASSERT_TRUE(probe);
    const Symbolic& s = probe->symbolic();
    const Numeric& num = probe->numeric();
    ASSERT_EQ(s.r.size(), 4u) << "three blocks";
    std::size_t big = 0;
    while (s.r[big + 1] - s.r[big] != 3) ++big;
    const std::size_t k1 = s.r[big];

    // Triplet index at (row, col).
    auto at = [&](std::size_t row, std::size_t col) {
        for (std::size_t k = 0; k < t.size(); ++k) {
            if (t[k].row == row && t[k].col == col) return k;
        }
        ADD_FAILURE() << "no triplet at " << row << "," << col;
        return std::size_t{0};
    };
    std::vector<Vec> failing;
    Vec v = v0;
    v[at(3, 3)] = 0.0;
    failing.push_back(v);
    v = v0;
    v[at(num.pnum[k1], s.q[k1])] = 0.0;
    failing.push_back(v);
    // The leading 2x2 of the block in pivot order made singular: [[1, 2], [1, 2]].
    v = v0;
    const std::size_t r0 = num.pnum[k1], r1 = num.pnum[k1 + 1], r2 = num.pnum[k1 + 2];
    const std::size_t c0 = s.q[k1], c1 = s.q[k1 + 1];
    v[at(r0, c0)] = 1.0;
    v[at(r0, c1)] = 2.0;
    v[at(r1, c0)] = 1.0;
    v[at(r1, c1)] = 2.0;
    v[at(r2, c0)] = 3.0;
    v[at(r2, c1)] = 7.0;
    failing.push_back(v);

    Vec later = v0;
    for (double& x : later) x *= 1.25;
    later[at(1, 1)] += 0.5;
    const Vec rhs = ramp(n);
    auto reference = KluNativeSystem::create(n, t);
    const auto expected = reference->factor_and_solve_values(later, rhs);
    ASSERT_TRUE(expected);
    for (std::size_t f = 0; f < failing.size(); ++f) {
        auto sys = KluNativeSystem::create(n, t);
        ASSERT_TRUE(sys->factor_and_solve_values(v0, rhs));
        EXPECT_FALSE(sys->factor_and_solve_values(failing[f], rhs)) << "case " << f;
        EXPECT_EQ(sys->factor_and_solve_values(later, rhs), expected) << "case " << f;
    }
}

// The same on random systems, failing at the first column of the largest block.
TEST(KluNativeSystem, ZeroPivotCallLeavesNoTraceOnRandomSystems) {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> wiggle(-0.1, 0.1);
    for (int trial = 0; trial < 100; ++trial) {
        const std::size_t n = 4 + rng() % 30;
        const Triplets t = testing::random_system(n, 0.15, rng);
        auto sys = KluNativeSystem::create(n, t);
        auto reference = KluNativeSystem::create(n, t);
        ASSERT_TRUE(sys && reference);
        const Symbolic& s = sys->symbolic();
        std::size_t k1 = 0, widest = 0;
        for (std::size_t b = 0; b + 1 < s.r.size(); ++b) {
            if (s.r[b + 1] - s.r[b] > widest) {
                widest = s.r[b + 1] - s.r[b];
                k1 = s.r[b];
            }
        }
        const std::size_t row = sys->numeric().pnum[k1], col = s.q[k1];
        Vec failing = testing::values_of(t);
        for (std::size_t k = 0; k < t.size(); ++k) {
            if (t[k].row == row && t[k].col == col) failing[k] = 0.0;
        }
        Vec later = testing::values_of(t);
        for (double& v : later) v *= 1.0 + wiggle(rng);
        const Vec rhs = ramp(n);
        EXPECT_FALSE(sys->factor_and_solve_values(failing, rhs)) << "trial " << trial;
        EXPECT_EQ(sys->factor_and_solve_values(later, rhs),
                  reference->factor_and_solve_values(later, rhs))
            << "trial " << trial;
    }
}

TEST(KluNativeSystem, RandomSystemsMatchDenseLu) {
    std::mt19937_64 rng(20261206);
    std::uniform_real_distribution<double> wiggle(-0.1, 0.1);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = 1 + rng() % 40;
        const double density = trial % 2 == 0 ? 0.05 : 0.2;
        const Triplets t = testing::random_system(n, density, rng);
        Vec rhs(n);
        for (double& b : rhs) b = wiggle(rng) * 10.0;
        auto sys = KluNativeSystem::create(n, t);
        const auto ref = testing::dense_solve(testing::to_dense(n, t), rhs);
        ASSERT_TRUE(sys && ref) << "trial " << trial;
        // The first matrix, then Newton-like neighbours of it on the stored pivot order.
        for (int step = 0; step < 4; ++step) {
            Triplets vals = t;
            if (step > 0) {
                for (auto& e : vals) e.value *= 1.0 + wiggle(rng);
            }
            const auto x = sys->factor_and_solve_values(testing::values_of(vals), rhs);
            const auto want = testing::dense_solve(testing::to_dense(n, vals), rhs);
            ASSERT_TRUE(x && want) << "trial " << trial << " step " << step;
            EXPECT_LT(testing::rel_diff(*x, *want), 1e-8) << "trial " << trial << " step " << step;
        }
    }
}

// Each update is a multiply and a separately rounded subtract: with y0 = l = 1 + 2^-30 the product
// rounds to 1 + 2^-29 and cancels y1 exactly, where a fused multiply-add would leave -2^-60.
TEST(KluNativeSystem, UpdatesAreNotFused) {
    const double e = std::ldexp(1.0, -30);
    const Triplets lower = {{0, 0, 1.0}, {1, 0, 1.0 + e}, {1, 1, 1.0}};
    const auto x = solve_fresh(2, lower, Vec{1.0 + e, 1.0 + 2 * e});
    ASSERT_TRUE(x);
    EXPECT_EQ((*x)[1], 0.0);
    // Inside one block the second pivot (1 + 2^-29) - (1 + 2^-30)^2 is exactly zero when the
    // product is rounded first, in the pivoting factorisation and in the refactorisation alike.
    const Triplets full = {{0, 0, 1.0}, {1, 0, 1.0 + e}, {0, 1, 1.0 + e}, {1, 1, 1.0 + 2 * e}};
    EXPECT_FALSE(KluNativeSystem::create(2, full));
    auto sys = KluNativeSystem::create(2, testing::with_values(full, Vec{1.0, 1.0, 1.0, 3.0}));
    ASSERT_TRUE(sys);
    EXPECT_FALSE(sys->factor_and_solve_values(testing::values_of(full), Vec{1.0, 1.0}));
}

TEST(KluNativeSystem, BrokenCallingContractStops) {
    const Triplets t = {{0, 0, 2.0}, {1, 1, 3.0}};
    EXPECT_THROW(KluNativeSystem::create(2, Triplets{{0, 2, 1.0}}), Stop);
    EXPECT_THROW(KluNativeSystem::create(2, Triplets{{2, 0, 1.0}}), Stop);
    auto sys = KluNativeSystem::create(2, t);
    ASSERT_TRUE(sys);
    EXPECT_THROW(sys->factor_and_solve_values(Vec{1.0}, Vec{1.0, 1.0}), Stop);
    EXPECT_THROW(sys->factor_and_solve_values(Vec{1.0, 1.0, 1.0}, Vec{1.0, 1.0}), Stop);
    EXPECT_THROW(sys->factor_and_solve_values(Vec{1.0, 1.0}, Vec{1.0}), Stop);
    EXPECT_EQ(sys->factor_and_solve_values(Vec{2.0, 4.0}, Vec{1.0, 1.0}), (Vec{0.5, 0.25}));
}

}  // namespace
}  // namespace quillmere::klu_native
