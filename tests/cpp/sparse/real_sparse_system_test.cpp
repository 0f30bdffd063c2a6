#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "sparse.hpp"
#include "stop.hpp"

namespace quillmere {
namespace {

using T = Triplet<double>;

// A 3x3 pattern given out of order, with (1, 1) given twice and (2, 0) stored but possibly zero.
const std::vector<T> kPattern = {{1, 1, 0}, {0, 0, 0}, {2, 0, 0}, {0, 1, 0}, {1, 0, 0},
                                 {2, 2, 0}, {1, 1, 0}, {1, 2, 0}, {2, 1, 0}};

// Dense product of the triplet values, for checking a solution.
std::vector<double> multiply(const std::vector<double>& values, const std::vector<double>& x) {
    std::vector<double> y(3, 0.0);
    for (std::size_t k = 0; k < kPattern.size(); ++k) {
        y[kPattern[k].row] += values[k] * x[kPattern[k].col];
    }
    return y;
}

void expect_solves(const std::vector<double>& values, const std::vector<double>& rhs,
                   const std::vector<double>& x) {
    const auto y = multiply(values, x);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(y[i], rhs[i], 1e-12) << "row " << i;
}

const std::vector<double> kRhs = {1.0, -2.0, 0.5};

TEST(RealSparseSystem, ServesSeveralValueSetsAndSumsRepeats) {
    auto sys = RealSparseSystem::create(3, kPattern);
    ASSERT_TRUE(sys);
    EXPECT_EQ(sys->n(), 3u);
    const std::vector<std::vector<double>> value_sets = {
        {2, 4, 1, 1, 0.5, 5, 2, -1, 0.25},
        {1, -3, 0, 2, 1, 1, 1, 0, 3},  // diagonal (1, 1) only from its two repeats summed
        {-7, 0.1, 2, 0, 0, 9, 0.5, 1, -1},
    };
    for (const auto& values : value_sets) {
        const auto x = sys->factor_and_solve_values(values, kRhs);
        ASSERT_TRUE(x);
        ASSERT_EQ(x->size(), 3u);
        expect_solves(values, kRhs, *x);
    }
}

TEST(RealSparseSystem, SameAnswerAfterSingularCallAsFreshObject) {
    const std::vector<double> regular = {2, 4, 1, 1, 0.5, 5, 2, -1, 0.25};
    // Row 1 is twice row 0 once the two values given for (1, 1) are summed.
    const std::vector<double> singular = {1, 1, 0, 1, 2, 1, 1, 0, 0};
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> infinite = {2, 4, 1, inf, 0.5, 5, 2, -1, 0.25};
    const std::vector<double> nans(kPattern.size(), std::numeric_limits<double>::quiet_NaN());

    auto fresh = RealSparseSystem::create(3, kPattern);
    ASSERT_TRUE(fresh);
    const auto expected = fresh->factor_and_solve_values(regular, kRhs);
    ASSERT_TRUE(expected);

    for (const auto& bad : {singular, infinite, nans}) {
        auto sys = RealSparseSystem::create(3, kPattern);
        ASSERT_TRUE(sys);
        EXPECT_FALSE(sys->factor_and_solve_values(bad, kRhs));
        const auto again = sys->factor_and_solve_values(regular, kRhs);
        ASSERT_TRUE(again);
        EXPECT_EQ(*again, *expected);  // bit for bit
        EXPECT_EQ(*sys->factor_and_solve_values(regular, kRhs), *expected);
    }
}

TEST(RealSparseSystem, RefusesBadPatterns) {
    EXPECT_FALSE(RealSparseSystem::create(3, std::vector<T>{{0, 0, 1}, {3, 0, 1}}));
    EXPECT_FALSE(RealSparseSystem::create(3, std::vector<T>{{0, 3, 1}}));
    const std::size_t too_big = static_cast<std::size_t>(std::numeric_limits<int>::max()) + 1;
    EXPECT_FALSE(RealSparseSystem::create(too_big, {}));
}

TEST(RealSparseSystem, EmptyAndStructurallySingularPatterns) {
    auto none = RealSparseSystem::create(0, {});
    ASSERT_TRUE(none);
    const auto x = none->factor_and_solve_values({}, {});
    ASSERT_TRUE(x);
    EXPECT_TRUE(x->empty());

    auto blank = RealSparseSystem::create(2, {});
    ASSERT_TRUE(blank);
    EXPECT_FALSE(blank->factor_and_solve_values({}, std::vector<double>{1, 1}));
}

TEST(RealSparseSystem, BrokenContractsStop) {
    auto sys = RealSparseSystem::create(3, kPattern);
    ASSERT_TRUE(sys);
    const std::vector<double> values = {2, 4, 1, 1, 0.5, 5, 2, -1, 0.25};
    EXPECT_THROW(sys->factor_and_solve_values(std::vector<double>(8, 1.0), kRhs), Stop);
    EXPECT_THROW(sys->factor_and_solve_values(std::vector<double>(10, 1.0), kRhs), Stop);
    EXPECT_THROW(sys->factor_and_solve_values(values, std::vector<double>{1, 2}), Stop);
    // A longer right-hand side is read up to n.
    const auto x = sys->factor_and_solve_values(values, std::vector<double>{1.0, -2.0, 0.5, 42.0});
    ASSERT_TRUE(x);
    expect_solves(values, kRhs, *x);
}

}  // namespace
}  // namespace quillmere
