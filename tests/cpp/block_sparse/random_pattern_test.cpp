// Seeded random structurally symmetric block patterns: the order against Eigen's COLAMDOrdering,
// the fill against a dense symbolic elimination, the solution against a dense LU.

#include <gtest/gtest.h>

#include <Eigen/OrderingMethods>
#include <Eigen/SparseCore>
#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "block_sparse.hpp"
#include "dense.hpp"

namespace quillmere {
namespace {

using Pattern = std::vector<std::vector<bool>>;

Pattern random_pattern(std::mt19937_64& rng, std::size_t n, double density, double diagonal) {
    std::bernoulli_distribution edge(density), diag(diagonal);
    Pattern p(n, std::vector<bool>(n, false));
    for (std::size_t i = 0; i < n; ++i) {
        p[i][i] = diag(rng);
        for (std::size_t j = i + 1; j < n; ++j) p[i][j] = p[j][i] = edge(rng);
    }
    return p;
}

// Random values, every diagonal entry above its scalar row's other magnitudes, pushed in shuffled
// order; every diagonal block comes in two parts, and some rows get an extra zero coupling.
BlockMatrix random_values(std::mt19937_64& rng, const Pattern& p) {
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::bernoulli_distribution extra(0.3);
    BlockMatrix m{{}, p.size()};
    for (std::size_t r = 0; r < m.n; ++r) {
        double sum0 = 0.0, sum1 = 0.0;
        for (std::size_t c = 0; c < m.n; ++c) {
            if (!p[r][c]) continue;
            Block b{value(rng), value(rng), value(rng), value(rng)};
            if (r == c) b[0] = b[3] = 0.0;
            sum0 += std::abs(b[0]) + std::abs(b[1]);
            sum1 += std::abs(b[2]) + std::abs(b[3]);
            m.entries.push_back({r, c, b});
        }
        m.entries.push_back({r, r, {sum0 + 1.0, 0.0, 0.0, sum1 + 1.0}});
        if (extra(rng)) {  // a zero block, and its mirror, at a position that may be new
            const std::size_t c = rng() % m.n;
            m.entries.push_back({r, c, {}});
            m.entries.push_back({c, r, {}});
        }
    }
    std::shuffle(m.entries.begin(), m.entries.end(), rng);
    return m;
}

std::vector<std::size_t> eigen_colamd(const Pattern& p) {
    const int n = int(p.size());
    std::vector<Eigen::Triplet<double>> t;
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
            if (p[r][c]) t.emplace_back(r, c, 1.0);
        }
    }
    Eigen::SparseMatrix<double> a(n, n);
    a.setFromTriplets(t.begin(), t.end());
    Eigen::COLAMDOrdering<int>::PermutationType perm;
    Eigen::COLAMDOrdering<int>()(a, perm);
    std::vector<std::size_t> order(p.size());
    for (int c = 0; c < n; ++c) order[std::size_t(perm.indices()[c])] = std::size_t(c);
    return order;
}

// The order is COLAMD's, and L and U hold exactly the positions of a dense structural elimination
// of the permuted pattern (a diagonal position only when present or filled).
void expect_analysis(const BlockSymbolic& sym, const Pattern& p) {
    const std::size_t n = p.size();
    ASSERT_EQ(sym.order, eigen_colamd(p));
    Pattern f(n, std::vector<bool>(n));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) f[i][j] = p[sym.order[i]][sym.order[j]];
    }
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t i = k + 1; i < n; ++i) {
            for (std::size_t j = k + 1; j < n && f[i][k]; ++j) f[i][j] = f[i][j] || f[k][j];
        }
    }
    for (std::size_t j = 0; j < n; ++j) {
        std::vector<std::size_t> lower, upper;
        for (std::size_t i = 0; i < n; ++i) {
            if (f[i][j]) (i > j ? lower : upper).push_back(i);
        }
        const auto l = sym.l_pattern[j];
        const auto u = sym.u_pattern[j];
        EXPECT_EQ(std::vector<std::size_t>(l.begin(), l.end()), lower) << "L column " << j;
        EXPECT_EQ(std::vector<std::size_t>(u.begin(), u.end()), upper) << "U column " << j;
    }
}

TEST(BlockLuRandom, DiagonallyDominantAgainstDenseLu) {
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        const std::size_t n = std::uniform_int_distribution<std::size_t>(2, 45)(rng);
        Pattern p = random_pattern(rng, n, seed % 3 == 0 ? 0.3 : 0.08, 1.0);
        const BlockMatrix m = random_values(rng, p);
        for (const BlockEntry& e : m.entries) p[e.row][e.col] = p[e.col][e.row] = true;
        const BlockAdjacency adj = BlockMatrix(m).finish();
        const BlockSymbolic sym = BlockSymbolic::analyze(adj);
        expect_analysis(sym, p);

        const auto lu = BlockLu::refactor(sym, adj);
        ASSERT_TRUE(lu);
        std::uniform_real_distribution<double> value(-2.0, 2.0);
        std::vector<BlockVector> rhs(n);
        for (BlockVector& v : rhs) v = {value(rng), value(rng)};
        const auto x = lu->solve(rhs);
        const auto want = testing::dense_solve(testing::dense_of(m), rhs);
        for (std::size_t k = 0; k < n; ++k) {
            EXPECT_NEAR(x[k][0], want[k][0], 1e-10) << "block " << k;
            EXPECT_NEAR(x[k][1], want[k][1], 1e-10) << "block " << k;
        }
    }
}

TEST(BlockLuRandom, FillWithMissingDiagonals) {
    for (std::uint64_t seed = 100; seed < 130; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 30)(rng);
        const Pattern p = random_pattern(rng, n, 0.15, 0.6);
        BlockMatrix m{{}, n};
        for (std::size_t r = 0; r < n; ++r) {
            for (std::size_t c = 0; c < n; ++c) {
                if (p[r][c]) m.entries.push_back({r, c, {}});
            }
        }
        expect_analysis(BlockSymbolic::analyze(std::move(m).finish()), p);
    }
}

}  // namespace
}  // namespace quillmere
