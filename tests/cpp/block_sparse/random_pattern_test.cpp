// Seeded random structurally symmetric block patterns: the ordering against Eigen's COLAMDOrdering,
// the fill pattern against a dense symbolic elimination, the factors against the permuted matrix
// and the solution against a dense LU.

#include <gtest/gtest.h>

#include <Eigen/OrderingMethods>
#include <Eigen/SparseCore>
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "block_sparse.hpp"
#include "dense.hpp"

namespace quillmere {
namespace {

using testing::Dense;
using Pattern = std::vector<std::vector<bool>>;

Pattern random_pattern(std::mt19937_64& rng, std::size_t n, double density, double diagonal) {
    std::bernoulli_distribution edge(density);
    std::bernoulli_distribution diag(diagonal);
    Pattern p(n, std::vector<bool>(n, false));
    for (std::size_t i = 0; i < n; ++i) {
        p[i][i] = diag(rng);
        for (std::size_t j = i + 1; j < n; ++j) p[i][j] = p[j][i] = edge(rng);
    }
    return p;
}

// Random values on the pattern, each diagonal entry above its scalar row's off-diagonal sum, pushed
// in shuffled order with some blocks split over two entries.
BlockMatrix random_values(std::mt19937_64& rng, const Pattern& p) {
    const std::size_t n = p.size();
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::bernoulli_distribution split(0.3);
    std::vector<double> row_sum(2 * n, 0.0);
    BlockMatrix m;
    m.n = n;
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t c = 0; c < n; ++c) {
            if (!p[r][c]) continue;
            Block b{value(rng), value(rng), value(rng), value(rng)};
            if (r == c) b[0] = b[3] = 0.0;
            for (std::size_t e = 0; e < 4; ++e) row_sum[2 * r + e / 2] += std::abs(b[e]);
            m.entries.push_back({r, c, b});
        }
    }
    for (BlockEntry& e : m.entries) {
        if (e.row != e.col) continue;
        e.block[0] = row_sum[2 * e.row] + 1.0;
        e.block[3] = row_sum[2 * e.row + 1] + 1.0;
    }
    const std::size_t pushed = m.entries.size();
    for (std::size_t k = 0; k < pushed; ++k) {
        if (!split(rng)) continue;
        const Block part{value(rng), value(rng), value(rng), value(rng)};
        BlockEntry& whole = m.entries[k];
        for (std::size_t e = 0; e < 4; ++e) whole.block[e] -= part[e];
        m.entries.push_back({whole.row, whole.col, part});
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
    Eigen::SparseMatrix<double, Eigen::ColMajor, int> a(n, n);
    a.setFromTriplets(t.begin(), t.end());
    a.makeCompressed();
    Eigen::COLAMDOrdering<int>::PermutationType perm;
    Eigen::COLAMDOrdering<int>()(a, perm);
    std::vector<std::size_t> order(p.size());
    for (int c = 0; c < n; ++c) order[std::size_t(perm.indices()[c])] = std::size_t(c);
    return order;
}

// The filled pattern of the matrix permuted by `order`, by dense structural elimination.
Pattern dense_fill(const Pattern& p, const std::vector<std::size_t>& order) {
    const std::size_t n = p.size();
    Pattern f(n, std::vector<bool>(n));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) f[i][j] = p[order[i]][order[j]];
    }
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t i = k + 1; i < n; ++i) {
            if (!f[i][k]) continue;
            for (std::size_t j = k + 1; j < n; ++j) f[i][j] = f[i][j] || f[k][j];
        }
    }
    return f;
}

void expect_fill(const BlockSymbolic& sym, const Pattern& p) {
    const Pattern f = dense_fill(p, sym.order);
    for (std::size_t j = 0; j < p.size(); ++j) {
        std::vector<std::size_t> lower, upper;
        for (std::size_t i = 0; i < p.size(); ++i) {
            if (f[i][j]) (i > j ? lower : upper).push_back(i);
        }
        const auto l = sym.l_pattern[j];
        const auto u = sym.u_pattern[j];
        EXPECT_EQ(std::vector<std::size_t>(l.begin(), l.end()), lower) << "L column " << j;
        EXPECT_EQ(std::vector<std::size_t>(u.begin(), u.end()), upper) << "U column " << j;
    }
}

// max |L U - A(order, order)| over all scalar entries.
double factor_residual(const BlockLu& lu, const Dense& a) {
    const std::size_t m = a.size();
    Dense l(m, std::vector<double>(m, 0.0)), u = l;
    for (std::size_t j = 0; j < lu.n; ++j) {
        for (std::size_t d = 0; d < 2; ++d) l[2 * j + d][2 * j + d] = 1.0;
        const auto put = [&](Dense& to, const BlockLists& cols) {
            for (std::size_t t = 0; t < cols.indices(j).size(); ++t) {
                const std::size_t i = cols.indices(j)[t];
                for (std::size_t e = 0; e < 4; ++e)
                    to[2 * i + e / 2][2 * j + e % 2] = cols.blocks(j)[t][e];
            }
        };
        put(l, lu.l_cols);
        put(u, lu.u_cols);
    }
    double worst = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            double s = 0.0;
            for (std::size_t k = 0; k < m; ++k) s += l[i][k] * u[k][j];
            const double want = a[2 * lu.order[i / 2] + i % 2][2 * lu.order[j / 2] + j % 2];
            worst = std::max(worst, std::abs(s - want));
        }
    }
    return worst;
}

TEST(BlockLuRandom, DiagonallyDominantPatternsAgainstDenseLu) {
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        const std::size_t n = std::uniform_int_distribution<std::size_t>(2, 45)(rng);
        const Pattern p = random_pattern(rng, n, seed % 3 == 0 ? 0.3 : 0.08, 1.0);
        const BlockMatrix m = random_values(rng, p);
        const Dense a = testing::dense_of(m);
        const BlockAdjacency adj = BlockMatrix(m).finish();
        for (std::size_t r = 0; r < n; ++r) {
            for (const std::size_t c : adj.rows.indices(r)) EXPECT_TRUE(p[r][c]);
            EXPECT_EQ(adj.rows.indices(r).size(),
                      std::size_t(std::count(p[r].begin(), p[r].end(), true)));
        }

        const BlockSymbolic sym = BlockSymbolic::analyze(adj);
        EXPECT_EQ(sym.order, eigen_colamd(p));
        expect_fill(sym, p);

        const auto lu = BlockLu::refactor(sym, adj);
        ASSERT_TRUE(lu);
        EXPECT_LT(factor_residual(*lu, a), 1e-12);

        std::uniform_real_distribution<double> value(-2.0, 2.0);
        std::vector<BlockVector> want(n);
        for (BlockVector& v : want) v = {value(rng), value(rng)};
        const auto rhs = testing::multiply(a, want);
        const auto x = lu->solve(rhs);
        const auto reference = testing::dense_solve(a, rhs);
        for (std::size_t k = 0; k < n; ++k) {
            for (std::size_t d = 0; d < 2; ++d) {
                EXPECT_NEAR(x[k][d], want[k][d], 1e-10) << "block " << k;
                EXPECT_NEAR(x[k][d], reference[k][d], 1e-10) << "block " << k;
            }
        }
    }
}

// Missing diagonal blocks: the diagonal position belongs to U exactly when elimination fills it.
TEST(BlockLuRandom, FillWithMissingDiagonals) {
    for (std::uint64_t seed = 100; seed < 130; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 30)(rng);
        const Pattern p = random_pattern(rng, n, 0.15, 0.6);
        BlockMatrix m;
        m.n = n;
        for (std::size_t r = 0; r < n; ++r) {
            for (std::size_t c = 0; c < n; ++c) {
                if (p[r][c]) m.entries.push_back({r, c, {}});
            }
        }
        const BlockSymbolic sym = BlockSymbolic::analyze(std::move(m).finish());
        EXPECT_EQ(sym.order, eigen_colamd(p));
        expect_fill(sym, p);
    }
}

}  // namespace
}  // namespace quillmere
