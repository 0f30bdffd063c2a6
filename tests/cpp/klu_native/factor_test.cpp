#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "klu_native/dense_util.hpp"
#include "klu_native/factor.hpp"
#include "klu_native/klu_native.hpp"

namespace quillmere::klu_native {
namespace {

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
        std::optional<std::size_t> pivot;  // row; absent: no pivot
        std::vector<std::size_t> rest;
    };
    const std::vector<Case> cases = {
        {"diagonal last, acceptable", {{0, 9.0}, {1, 0.5}}, 1, 1, {0}},
        {"diagonal first, acceptable", {{1, 0.5}, {0, 9.0}}, 1, 1, {0}},
        {"diagonal exactly tol times largest", {{0, 1000.0}, {1, 1.0}}, 1, 1, {0}},
        {"diagonal just below", {{0, 1000.0}, {1, 0.9999999}}, 1, 0, {1}},
        {"equal magnitudes: first met", {{2, -3.0}, {5, 3.0}, {7, 1.0}}, 9, 2, {7, 5}},
        {"last equal to largest", {{2, 5.0}, {3, -5.0}}, 9, 2, {3}},
        {"last strictly largest", {{2, 1.0}, {3, -5.0}}, 9, 3, {2}},
        {"NaN diagonal never accepted", {{2, nan}, {3, 1.0}}, 2, 3, {2}},
        {"NaN never the largest", {{2, nan}, {4, 2.0}, {3, 1.0}}, 9, 4, {2, 3}},
        {"only a NaN", {{4, nan}}, 4, 4, {}},
        {"zero pivot", {{1, 0.0}, {2, -0.0}}, 1, std::nullopt, {}},
        {"no candidate", {}, 0, std::nullopt, {}},
    };
    for (const Case& c : cases) {
        std::vector<FactorEntry> list = c.candidates;
        const std::optional<Pivot> p = lpivot(list, c.diag, 0.001);
        ASSERT_EQ(p.has_value(), c.pivot.has_value()) << c.name;
        if (!p) continue;
        EXPECT_EQ(p->row, *c.pivot) << c.name;
        EXPECT_EQ(rows_of(list), c.rest) << c.name;
        for (const FactorEntry& e : list) {
            for (const FactorEntry& o : c.candidates) {
                if (o.row == e.row && !std::isnan(o.value)) {
                    EXPECT_EQ(e.value, o.value / p->value);
                }
            }
        }
    }
}

// Column 0 rejects its small diagonal and pivots on row 1, which was logged as the diagonal of
// column 1; row 0 takes over that log, so column 1 prefers row 0 to the larger row 2.
TEST(FactorBlock, FormerDiagonalIsLoggedForTheColumnOfThePivotRow) {
    std::vector<std::vector<FactorEntry>> sink(3);
    const std::vector<std::vector<GatheredEntry>> cols = {
        {{0, 1e-6}, {1, 1.0}},
        {{0, 1.0}, {1, 1.0}, {2, 5.0}},
        {{0, 1.0}, {1, 2.0}, {2, 3.0}},
    };
    auto f = factor_block(3, cols, 0.001, sink);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->perm, (std::vector<std::size_t>{1, 0, 2}));
    EXPECT_EQ(rows_of(f->l[0]), std::vector<std::size_t>{1}) << "pivot positions once done";
}

// A(pnum, q) rebuilt from the factors (L U inside the blocks, the off-diagonal part above them)
// must give back the input: this checks the reach, the pruning, the permutations and the
// off-diagonal rows together.
TEST(Factor, FactorsRebuildTheMatrixOnRandomSystems) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t n = 1 + rng() % 25;
        const testing::Triplets t = testing::random_system(n, 0.12, rng);
        const CscStructure csc = build_csc_structure(n, t);
        const Symbolic s = analyze(n, csc.col_ptr, csc.row_idx);
        auto num = factor(n, csc.col_ptr, csc.row_idx, pack_values(csc.value_map, t), s, 0.001);
        ASSERT_TRUE(num) << "trial " << trial;
        ASSERT_EQ(num->offp[s.r[1]], 0u) << "the first block has nothing above it";
        std::vector<double> m(n * n, 0.0), a(n * n, 0.0);
        for (const auto& e : t) a[num->pinv[e.row] * n + e.col] = e.value;
        for (std::size_t b = 0; b + 1 < s.r.size(); ++b) {
            const std::size_t k1 = s.r[b];
            const BlockFactor& f = num->blocks[b];
            for (std::size_t k = 0; k < f.udiag.size(); ++k) {
                std::vector<FactorEntry> ucol = f.u[k];
                ucol.push_back({k, f.udiag[k]});
                for (const FactorEntry& ue : ucol) {
                    m[(k1 + ue.row) * n + s.q[k1 + k]] += ue.value;
                    for (const FactorEntry& le : f.l[ue.row]) {
                        m[(k1 + le.row) * n + s.q[k1 + k]] += le.value * ue.value;
                    }
                }
                for (std::size_t e = num->offp[k1 + k]; e < num->offp[k1 + k + 1]; ++e) {
                    EXPECT_LT(num->offi[e], k1) << "off-diagonal entry not above its block";
                    m[num->offi[e] * n + s.q[k1 + k]] += num->offx[e];
                }
            }
        }
        for (std::size_t i = 0; i < n * n; ++i) EXPECT_NEAR(m[i], a[i], 1e-12) << trial;
    }
}

TEST(Factor, NanPivotIsAccepted) {
    const testing::Triplets t = {{0, 0, nan}, {0, 1, 1.0}, {1, 1, 2.0}};
    const CscStructure csc = build_csc_structure(2, t);
    const Symbolic s = analyze(2, csc.col_ptr, csc.row_idx);
    auto num = factor(2, csc.col_ptr, csc.row_idx, pack_values(csc.value_map, t), s, 0.001);
    ASSERT_TRUE(num);
    EXPECT_TRUE(std::isnan(num->blocks[1].udiag[0]) || std::isnan(num->blocks[0].udiag[0]));
}

}  // namespace
}  // namespace quillmere::klu_native
