#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "sparse.hpp"
#include "stop.hpp"

namespace quillmere {
namespace {

using C = Complex;
using T = Triplet<Complex>;

C entry(const SparseMatrix& m, std::size_t r, std::size_t c) {
    return m.mat.coeff(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c));
}

TEST(SparseMatrixBuild, SumsRepeatsAndKeepsZeroSums) {
    const std::vector<T> triplets = {
        {1, 0, C(1, 2)}, {0, 0, C(3, 0)}, {1, 0, C(0.5, -1)}, {2, 2, C(4, 4)}, {2, 2, C(-4, -4)},
    };
    auto m = SparseMatrix::build(3, triplets);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->n, 3u);
    EXPECT_EQ(m->mat.nonZeros(), 3);  // (0,0), (1,0), and the cancelled (2,2)
    EXPECT_EQ(entry(*m, 1, 0), C(1.5, 1));
    EXPECT_EQ(entry(*m, 0, 0), C(3, 0));
    EXPECT_EQ(m->mat.outerIndexPtr()[3] - m->mat.outerIndexPtr()[2], 1);
    EXPECT_EQ(m->mat.innerIndexPtr()[2], 2);
    EXPECT_EQ(m->mat.valuePtr()[2], C(0, 0));
    // Rows ascend within a column whatever the input order.
    EXPECT_EQ(m->mat.innerIndexPtr()[0], 0);
    EXPECT_EQ(m->mat.innerIndexPtr()[1], 1);
}

TEST(SparseMatrixBuild, RefusesIndexAtDimension) {
    EXPECT_FALSE(SparseMatrix::build(2, std::vector<T>{{2, 0, C(1, 0)}}));
    EXPECT_FALSE(SparseMatrix::build(2, std::vector<T>{{0, 2, C(1, 0)}}));
    EXPECT_FALSE(SparseMatrix::build(0, std::vector<T>{{0, 0, C(1, 0)}}));
    // Eigen stores indices as int.
    EXPECT_FALSE(SparseMatrix::build(std::size_t{1} << 31, {}));
    auto empty = SparseMatrix::build(0, {});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->mul_vec({}).empty());
}

TEST(SparseMatrixMulVec, UsesFirstNEntriesAndStopsOnShortVector) {
    auto m =
        SparseMatrix::build(2, std::vector<T>{{0, 0, C(2, 0)}, {0, 1, C(0, 1)}, {1, 0, C(1, 1)}});
    ASSERT_TRUE(m);
    const std::vector<C> x = {C(1, 0), C(0, 2), C(99, 99)};
    const auto y = m->mul_vec(x);
    ASSERT_EQ(y.size(), 2u);
    EXPECT_EQ(y[0], C(2, 0) + C(0, 1) * C(0, 2));
    EXPECT_EQ(y[1], C(1, 1));
    EXPECT_THROW(m->mul_vec(std::vector<C>{C(1, 0)}), Stop);
}

// [[2, i], [1, 3]] x = rhs with x = (1 + i, 2 - i).
const std::vector<T> kRegular = {
    {0, 0, C(2, 0)}, {0, 1, C(0, 1)}, {1, 0, C(1, 0)}, {1, 1, C(3, 0)}};

TEST(SolveComplex, SolvesRegularSystem) {
    const C x0(1, 1), x1(2, -1);
    const std::vector<C> rhs = {C(2, 0) * x0 + C(0, 1) * x1, x0 + C(3, 0) * x1};
    const auto x = sparse::solve_complex(2, kRegular, rhs);
    ASSERT_TRUE(x);
    ASSERT_EQ(x->size(), 2u);
    EXPECT_NEAR(std::abs((*x)[0] - x0), 0.0, 1e-14);
    EXPECT_NEAR(std::abs((*x)[1] - x1), 0.0, 1e-14);
}

TEST(SolveComplex, RefusesSingularAndNonFinite) {
    const std::vector<C> rhs = {C(1, 0), C(1, 0)};
    struct Case {
        const char* name;
        std::vector<T> triplets;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Case> cases = {
        {"zero column", {{0, 0, C(1, 0)}, {1, 0, C(1, 0)}}},
        {"rank one", {{0, 0, C(1, 0)}, {0, 1, C(2, 0)}, {1, 0, C(2, 0)}, {1, 1, C(4, 0)}}},
        {"cancelled diagonal", {{0, 0, C(1, 0)}, {1, 1, C(1, 0)}, {1, 1, C(-1, 0)}}},
        {"infinite entry", {{0, 0, C(1, 0)}, {0, 1, C(inf, 0)}, {1, 1, C(1, 0)}}},
        {"nan entry", {{0, 0, C(1, 0)}, {1, 1, C(0, nan)}}},
        {"no entries", {}},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(sparse::solve_complex(2, c.triplets, rhs)) << c.name;
    }
    EXPECT_FALSE(sparse::solve_complex(2, kRegular, std::vector<C>{C(inf, 0), C(0, 0)}));
}

TEST(SolveComplex, ContractsAndEmptySystem) {
    EXPECT_THROW(sparse::solve_complex(2, kRegular, std::vector<C>{C(1, 0)}), Stop);
    EXPECT_FALSE(sparse::solve_complex(1, kRegular, std::vector<C>{C(1, 0)}));
    const auto empty = sparse::solve_complex(0, {}, {});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

}  // namespace
}  // namespace quillmere
