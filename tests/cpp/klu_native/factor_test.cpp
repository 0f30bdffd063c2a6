#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "klu_native/analyze.hpp"
#include "klu_native/dense_util.hpp"
#include "klu_native/factor.hpp"
#include "klu_native/kernel.hpp"
#include "klu_native/klu_native.hpp"
#include "klu_native/marked_index.hpp"

namespace quillmere::klu_native {
namespace {

using Column = std::vector<GatheredEntry>;
using Sink = std::vector<std::vector<FactorEntry>>;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::vector<std::size_t> rows_of(const std::vector<FactorEntry>& list) {
    std::vector<std::size_t> rows;
    for (const auto& e : list) rows.push_back(e.row);
    return rows;
}

TEST(Lpivot, ChoiceAndRemainingOrder) {
    struct Case {
        const char* name;
        std::vector<FactorEntry> candidates;
        std::size_t diag;
        std::optional<std::size_t> pivot_row;  // absent: no pivot
        std::vector<std::size_t> rest;
    };
    const std::vector<Case> cases = {
        {"diagonal last and acceptable", {{0, 9.0}, {1, 0.5}}, 1, 1, {0}},
        {"diagonal first and acceptable", {{1, 0.5}, {0, 9.0}}, 1, 1, {0}},
        {"diagonal exactly tol times largest", {{0, 1000.0}, {1, 1.0}}, 1, 1, {0}},
        {"diagonal just below tol times largest", {{0, 1000.0}, {1, 0.9999999}}, 1, 0, {1}},
        {"equal magnitudes: first met wins", {{2, -3.0}, {5, 3.0}, {7, 1.0}}, 9, 2, {7, 5}},
        {"last equal to largest: first wins", {{2, 5.0}, {3, -5.0}}, 9, 2, {3}},
        {"last strictly largest", {{2, 1.0}, {3, -5.0}}, 9, 3, {2}},
        {"NaN diagonal is never accepted", {{2, nan}, {3, 1.0}}, 2, 3, {2}},
        {"NaN is never the largest", {{2, nan}, {4, 2.0}, {3, 1.0}}, 9, 4, {2, 3}},
        {"only a NaN candidate", {{4, nan}}, 4, 4, {}},
        {"zero pivot", {{1, 0.0}, {2, -0.0}}, 1, std::nullopt, {}},
        {"no candidate", {}, 0, std::nullopt, {}},
    };
    for (const Case& c : cases) {
        std::vector<FactorEntry> list = c.candidates;
        const std::optional<Pivot> p = lpivot(list, c.diag, 0.001);
        ASSERT_EQ(p.has_value(), c.pivot_row.has_value()) << c.name;
        if (!p) continue;
        EXPECT_EQ(p->row, *c.pivot_row) << c.name;
        EXPECT_EQ(rows_of(list), c.rest) << c.name;
        for (const FactorEntry& e : list) {
            double before = 0.0;
            for (const FactorEntry& o : c.candidates) {
                if (o.row == e.row) before = o.value;
            }
            const double expected = before / p->value;
            if (std::isnan(expected)) {
                EXPECT_TRUE(std::isnan(e.value)) << c.name;
            } else {
                EXPECT_EQ(e.value, expected) << c.name;
            }
        }
    }
}

TEST(FactorBlock, OneByOneBlocks) {
    Sink sink(1);
    std::vector<Column> cols = {{{0, -2.5}}};
    auto f = factor_block(1, cols, 0.001, sink);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->udiag, std::vector<double>{-2.5});
    EXPECT_TRUE(f->l[0].empty());
    EXPECT_TRUE(f->u[0].empty());

    cols = {{{0, 0.0}}};
    EXPECT_FALSE(factor_block(1, cols, 0.001, sink)) << "zero entry";
    cols = {{}};
    EXPECT_FALSE(factor_block(1, cols, 0.001, sink)) << "no entry";
}

TEST(FactorBlock, EntriesAboveTheBlockGoToTheSink) {
    Sink sink(1);
    const std::vector<Column> cols = {{{flip(7), 2.5}, {0, 4.0}, {flip(3), -1.0}}};
    auto f = factor_block(1, cols, 0.001, sink);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->udiag[0], 4.0);
    ASSERT_EQ(sink[0].size(), 2u);
    EXPECT_EQ(sink[0][0].row, 7u);
    EXPECT_EQ(sink[0][0].value, 2.5);
    EXPECT_EQ(sink[0][1].row, 3u);
}

TEST(FactorBlock, ColumnReachingOnlyPivotalRowsIsSingular) {
    Sink sink(2);
    const std::vector<Column> cols = {{{0, 2.0}}, {{0, 3.0}}};
    EXPECT_FALSE(factor_block(2, cols, 0.001, sink));
}

// Column 0 rejects its small diagonal and pivots on row 1, which was logged as the diagonal of
// column 1; row 0 takes over that log, so column 1 prefers row 0 over the larger row 2.
TEST(FactorBlock, FormerDiagonalIsLoggedForTheColumnOfThePivotRow) {
    Sink sink(3);
    const std::vector<Column> cols = {
        {{0, 1e-6}, {1, 1.0}},
        {{0, 1.0}, {1, 1.0}, {2, 5.0}},
        {{0, 1.0}, {1, 2.0}, {2, 3.0}},
    };
    auto f = factor_block(3, cols, 0.001, sink);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->perm, (std::vector<std::size_t>{1, 0, 2}));
    // Rows of L and U are pivot positions once the block is done.
    EXPECT_EQ(rows_of(f->l[0]), std::vector<std::size_t>{1});
    EXPECT_EQ(rows_of(f->u[1]), std::vector<std::size_t>{0});
}

TEST(Factor, EmptyMatrix) {
    const Symbolic s = analyze(0, std::vector<std::size_t>{0}, {});
    auto num = factor(0, std::vector<std::size_t>{0}, {}, {}, s, 0.001);
    ASSERT_TRUE(num);
    EXPECT_TRUE(num->blocks.empty());
    EXPECT_TRUE(num->pnum.empty());
    EXPECT_TRUE(num->offi.empty());
    EXPECT_EQ(num->offp, std::vector<std::size_t>{0});
}

TEST(Factor, NanPivotStillGivesAResult) {
    const testing::Triplets t = {{0, 0, nan}, {0, 1, 1.0}, {1, 1, 2.0}};
    const CscStructure csc = build_csc_structure(2, t);
    const std::vector<double> values = pack_values(csc.value_map, t);
    const Symbolic s = analyze(2, csc.col_ptr, csc.row_idx);
    auto num = factor(2, csc.col_ptr, csc.row_idx, values, s, 0.001);
    ASSERT_TRUE(num);
    bool nan_pivot = false;
    for (const BlockFactor& b : num->blocks) nan_pivot |= std::isnan(b.udiag[0]);
    EXPECT_TRUE(nan_pivot);
}

// Rebuilds A(pnum, q) from the factors: L U inside each block, the off-diagonal part above.
testing::Dense rebuild(const Symbolic& s, const Numeric& num) {
    const std::size_t n = num.pnum.size();
    testing::Dense m{n, std::vector<double>(n * n, 0.0)};
    for (std::size_t b = 0; b < num.blocks.size(); ++b) {
        const std::size_t k1 = s.r[b];
        const std::size_t nk = s.r[b + 1] - k1;
        const BlockFactor& f = num.blocks[b];
        // Column k of L U is U's column k (with the pivot) times L.
        for (std::size_t k = 0; k < nk; ++k) {
            std::vector<double> ucol(nk, 0.0);
            for (const auto& e : f.u[k]) ucol[e.row] = e.value;
            ucol[k] = f.udiag[k];
            for (std::size_t j = 0; j < nk; ++j) {
                if (ucol[j] == 0.0) continue;
                m.at(k1 + j, k1 + k) += ucol[j];
                for (const auto& e : f.l[j]) m.at(k1 + e.row, k1 + k) += e.value * ucol[j];
            }
        }
        for (std::size_t k = k1; k < k1 + nk; ++k) {
            for (std::size_t e = num.offp[k]; e < num.offp[k + 1]; ++e) {
                EXPECT_LT(num.offi[e], k1) << "off-diagonal entry not above its block";
                m.at(num.offi[e], k) += num.offx[e];
            }
        }
    }
    return m;
}

TEST(Factor, FactorsRebuildTheMatrixOnRandomSystems) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t n = 1 + rng() % 25;
        const testing::Triplets t = testing::random_system(n, 0.12, rng);
        const CscStructure csc = build_csc_structure(n, t);
        const std::vector<double> values = pack_values(csc.value_map, t);
        const Symbolic s = analyze(n, csc.col_ptr, csc.row_idx);
        auto num = factor(n, csc.col_ptr, csc.row_idx, values, s, 0.001);
        ASSERT_TRUE(num) << "trial " << trial;
        ASSERT_EQ(num->offp[s.r[1]], 0u) << "the first block has no entries above it";
        const testing::Dense a = testing::to_dense(n, t);
        const testing::Dense m = rebuild(s, *num);
        double scale = 0.0;
        for (double v : a.a) scale = std::max(scale, std::fabs(v));
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < n; ++k) {
                EXPECT_NEAR(m.at(i, k), a.at(num->pnum[i], s.q[k]), 1e-12 * scale)
                    << "trial " << trial << " at " << i << "," << k;
            }
        }
    }
}

}  // namespace
}  // namespace quillmere::klu_native
