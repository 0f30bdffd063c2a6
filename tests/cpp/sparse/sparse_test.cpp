#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "sparse.hpp"
#include "stop.hpp"

namespace quillmere {
namespace {

using C = Complex;
using TC = Triplet<Complex>;
using TR = Triplet<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(SparseMatrix, SumsRepeatsKeepsZeroSumsAndMultiplies) {
    // (1, 0) is given twice; the two values given for (2, 2) cancel.
    const std::vector<TC> triplets = {{1, 0, C(1, 2)}, {0, 0, C(3, 0)},   {1, 0, C(0.5, -1)},
                                      {2, 2, C(4, 4)}, {2, 2, C(-4, -4)}, {0, 1, C(0, 1)}};
    auto m = SparseMatrix::build(3, triplets);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->mat.nonZeros(), 4);
    const std::vector<C> x = {C(1, 0), C(0, 2), C(5, 1), C(99, 99)};  // read up to n only
    EXPECT_EQ(m->mul_vec(x), (std::vector<C>{C(1, 0), C(1.5, 1), C(0, 0)}));
    EXPECT_THROW(m->mul_vec(std::span(x).first(2)), Stop);

    EXPECT_FALSE(SparseMatrix::build(3, std::vector<TC>{{3, 0, C(1, 0)}}));
    EXPECT_FALSE(SparseMatrix::build(3, std::vector<TC>{{0, 3, C(1, 0)}}));
    EXPECT_FALSE(SparseMatrix::build(std::size_t{1} << 31, {}));  // Eigen indexes with int
}

TEST(SolveComplex, SolvesRegularAndRefusesSingularOrNonFinite) {
    // [[2, i], [1, 3]] x = rhs with x = (1 + i, 2 - i).
    const std::vector<TC> regular = {
        {0, 0, C(2, 0)}, {0, 1, C(0, 1)}, {1, 0, C(1, 0)}, {1, 1, C(3, 0)}};
    const std::vector<C> rhs = {C(3, 4), C(7, -2)};
    const auto x = sparse::solve_complex(2, regular, rhs);
    ASSERT_TRUE(x);
    EXPECT_LT(std::abs((*x)[0] - C(1, 1)) + std::abs((*x)[1] - C(2, -1)), 1e-14);

    const std::vector<TC> refused[] = {
        {{0, 0, C(1, 0)}, {0, 1, C(2, 0)}, {1, 0, C(2, 0)}, {1, 1, C(4, 0)}},  // rank one
        {{0, 0, C(1, 0)}, {1, 1, C(0, kNaN)}},
    };
    for (std::size_t k = 0; k < std::size(refused); ++k) {
        EXPECT_FALSE(sparse::solve_complex(2, refused[k], rhs)) << "case " << k;
    }
    EXPECT_FALSE(sparse::solve_complex(2, regular, std::vector<C>{C(kInf, 0), C(0, 0)}));
    EXPECT_THROW(sparse::solve_complex(2, regular, std::span(rhs).first(1)), Stop);
}

// A 3x3 pattern given out of order, with (1, 1) given twice.
const std::vector<TR> kPattern = {{1, 1, 0}, {0, 0, 0}, {2, 0, 0}, {0, 1, 0}, {1, 0, 0},
                                  {2, 2, 0}, {1, 1, 0}, {1, 2, 0}, {2, 1, 0}};
const std::vector<double> kRhs = {1.0, -2.0, 0.5};
const std::vector<double> kRegular = {2, 4, 1, 1, 0.5, 5, 2, -1, 0.25};

// One object serves several value sets; a failed call (singular or non-finite values, or a
// non-finite solution) leaves it answering the next call bit for bit like a fresh object.
TEST(RealSparseSystem, ServesSeveralValueSetsAndOutlivesFailedCalls) {
    auto sys = RealSparseSystem::create(3, kPattern);
    ASSERT_TRUE(sys);
    // Regular sets, each followed by a failing one: (1, 1) non-zero only as the sum of its two
    // values; row 1 twice row 0 once (1, 1) is summed; an infinite value.
    const std::pair<std::vector<double>, std::vector<double>> sets[] = {
        {{1, -3, 0, 2, 1, 1, 1, 0, 3}, {1, 1, 0, 1, 2, 1, 1, 0, 0}},
        {kRegular, {2, 4, 1, kInf, 0.5, 5, 2, -1, 0.25}},
    };
    for (const auto& [values, failing] : sets) {
        const auto x = RealSparseSystem::create(3, kPattern)->factor_and_solve_values(values, kRhs);
        ASSERT_TRUE(x);
        std::vector<double> ax(3, 0.0);
        for (std::size_t k = 0; k < kPattern.size(); ++k) {
            ax[kPattern[k].row] += values[k] * (*x)[kPattern[k].col];
        }
        for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(ax[i], kRhs[i], 1e-12);
        EXPECT_FALSE(sys->factor_and_solve_values(failing, kRhs));
        EXPECT_EQ(sys->factor_and_solve_values(values, kRhs), x);
    }
    EXPECT_FALSE(sys->factor_and_solve_values(kRegular, std::vector{kInf, 0.0, 0.0}));
    EXPECT_THROW(sys->factor_and_solve_values(std::span(kRegular).first(8), kRhs), Stop);
    EXPECT_THROW(sys->factor_and_solve_values(kRegular, std::span(kRhs).first(2)), Stop);
    // A value given once is stored as given, -0.0 included: x0 = (-0 - (-0) * x1) / 2 is +0 here
    // and would be -0 had the entry been stored as +0.
    const auto z =
        RealSparseSystem::create(2, std::vector<TR>{{0, 0, 0}, {0, 1, 0}, {1, 1, 0}})
            ->factor_and_solve_values(std::vector{2.0, -0.0, 3.0}, std::vector{-0.0, 1.0});
    ASSERT_TRUE(z);
    EXPECT_FALSE(std::signbit((*z)[0]));
    EXPECT_FALSE(RealSparseSystem::create(3, std::vector<TR>{{0, 3, 1}}));
}

}  // namespace
}  // namespace quillmere
