#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "block_sparse.hpp"
#include "dense.hpp"
#include "stop.hpp"

namespace quillmere {
namespace {

using Vectors = std::vector<BlockVector>;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::optional<Vectors> factor_and_solve(BlockMatrix m, const Vectors& rhs) {
    const BlockAdjacency adj = std::move(m).finish();
    const auto lu = BlockLu::refactor(BlockSymbolic::analyze(adj), adj);
    if (!lu) return std::nullopt;
    return lu->solve(rhs);
}

// Blocks 0-1-2-3 in a chain plus 0-3, pushed out of order, (1, 1) and (2, 3) split in two.
BlockMatrix chain(double scale) {
    BlockMatrix m;
    m.n = 4;
    m.entries = {
        {2, 3, {0.5, -1.0, 0.25, 0.0}},       {1, 1, {3.0, 1.0, -1.0, 2.0}},
        {0, 0, {4.0 * scale, 1.0, 0.5, 5.0}}, {3, 0, {-1.0, 0.0, 0.5, -0.5}},
        {0, 1, {1.0, 0.0, -2.0, 1.0}},        {1, 0, {0.5, 1.5, 0.0, -1.0}},
        {2, 2, {6.0, -1.0, 2.0, 4.0}},        {1, 2, {0.0, 1.0, 1.0, 0.0}},
        {2, 1, {-0.5, 0.0, 0.0, 0.5}},        {1, 1, {2.0, -0.5, 0.0, 1.0}},
        {3, 2, {1.0, 1.0, 0.0, 1.0}},         {3, 3, {5.0, 0.0, 1.0, 4.0 * scale}},
        {0, 3, {0.0, -1.0, 1.0, 0.25}},       {2, 3, {0.5, 0.0, -0.75, 1.0}},
    };
    return m;
}

const Vectors kRhs = {{1.0, -2.0}, {0.5, 3.0}, {-1.0, 0.0}, {2.0, 0.25}};

TEST(BlockMatrixFinish, RepeatedPositionsSummedOnceInRowsAndCols) {
    const BlockAdjacency adj = chain(1.0).finish();
    const auto row1 = adj.rows.indices(1);
    EXPECT_EQ(std::vector<std::size_t>(row1.begin(), row1.end()),
              (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(adj.rows.blocks(1)[1], (Block{5.0, 0.5, -1.0, 3.0}));
    const auto col3 = adj.cols.indices(3);
    EXPECT_EQ(std::vector<std::size_t>(col3.begin(), col3.end()),
              (std::vector<std::size_t>{0, 2, 3}));
    EXPECT_EQ(adj.cols.blocks(3)[1], (Block{1.0, -1.0, -0.5, 1.0}));
}

TEST(BlockLu, OneAnalysisServesSeveralValueSets) {
    const BlockAdjacency first = chain(1.0).finish();
    const BlockSymbolic sym = BlockSymbolic::analyze(first);
    BlockMatrix singular = chain(1.0);
    for (BlockEntry& e : singular.entries) e.block = Block{1.0, 1.0, 1.0, 1.0};
    EXPECT_FALSE(BlockLu::refactor(sym, std::move(singular).finish()));
    // Scale 0 keeps zero values in the pattern; a failed factorisation leaves nothing behind.
    for (const double scale : {1.0, 0.0, -3.0}) {
        const BlockAdjacency adj = chain(scale).finish();
        const auto lu = BlockLu::refactor(sym, adj);
        ASSERT_TRUE(lu) << "scale " << scale;
        const Vectors x = lu->solve(kRhs);
        const Vectors want = testing::dense_solve(testing::dense_of(chain(scale)), kRhs);
        for (std::size_t k = 0; k < 4; ++k) {
            EXPECT_NEAR(x[k][0], want[k][0], 1e-12) << "block " << k;
            EXPECT_NEAR(x[k][1], want[k][1], 1e-12) << "block " << k;
        }
        EXPECT_EQ(x, BlockLu::refactor(BlockSymbolic::analyze(adj), adj)->solve(kRhs));
    }
}

TEST(BlockLu, PivotBlocksWithoutInverseGiveNoResult) {
    const double tiny = 1e-300;
    const double below = std::nextafter(tiny, 0.0);
    const Block zero{0.0, 0.0, 0.0, 0.0};
    const Block eye{1.0, 0.0, 0.0, 1.0};
    const auto one = [](Block d) { return std::vector<BlockEntry>{{0, 0, d}}; };
    struct Case {
        const char* name;
        std::size_t n;
        std::vector<BlockEntry> entries;
        bool factors;
    };
    const Case cases[] = {
        {"det exactly 1e-300", 1, one({tiny, 0.0, 0.0, 1.0}), true},
        {"det exactly -1e-300", 1, one({0.0, tiny, 1.0, 0.0}), true},
        {"det just below 1e-300", 1, one({below, 0.0, 0.0, 1.0}), false},
        {"det just above -1e-300", 1, one({0.0, below, 1.0, 0.0}), false},
        {"rank one", 1, one({1.0, 2.0, 2.0, 4.0}), false},
        {"NaN entry", 1, one({kNan, 0.0, 0.0, 1.0}), false},
        {"infinite entry", 1, one({kInf, 0.0, 0.0, 1.0}), false},
        {"finite entries, determinant overflows", 1, one({1e200, 0.0, 0.0, 1e200}), false},
        {"swap inside the block needs no pivoting", 1, one({0.0, 1.0, 1.0, 0.0}), true},
        {"zero diagonal, identity coupling: no pivoting between blocks",
         2,
         {{0, 0, zero}, {1, 1, zero}, {0, 1, eye}, {1, 0, eye}},
         false},
        {"pivot cancels during elimination",
         2,
         {{0, 0, eye}, {1, 1, eye}, {0, 1, eye}, {1, 0, eye}},
         false},
        {"no block at an unfilled diagonal position", 2, {{0, 0, eye}}, false},
    };
    for (const Case& c : cases) {
        BlockMatrix m{c.entries, c.n};
        EXPECT_EQ(factor_and_solve(std::move(m), Vectors(c.n, {3.0, -2.0})).has_value(), c.factors)
            << c.name;
    }
    EXPECT_EQ(*factor_and_solve({one({0.0, 1.0, 1.0, 0.0}), 1}, {{3.0, -2.0}}),
              (Vectors{{-2.0, 3.0}}));
}

TEST(BlockLu, NonFiniteRightHandSidePassesThrough) {
    for (const double bad : {kNan, kInf}) {
        Vectors rhs = kRhs;
        rhs[2][1] = bad;
        const auto x = factor_and_solve(chain(1.0), rhs);
        ASSERT_TRUE(x);
        bool non_finite = false;
        for (const BlockVector& v : *x) non_finite |= !std::isfinite(v[0]) || !std::isfinite(v[1]);
        EXPECT_TRUE(non_finite);
    }
}

TEST(BlockLu, EmptyAndSingleBlock) {
    const BlockAdjacency empty = BlockMatrix{}.finish();
    const BlockSymbolic none = BlockSymbolic::analyze(empty);
    EXPECT_TRUE(none.order.empty());
    EXPECT_EQ(none.l_pattern.count() + none.u_pattern.count(), 0u);
    EXPECT_TRUE(BlockLu::refactor(none, empty)->solve({}).empty());

    const BlockAdjacency adj = BlockMatrix{{{0, 0, {2.0, 1.0, 1.0, 1.0}}}, 1}.finish();
    const BlockSymbolic sym = BlockSymbolic::analyze(adj);
    EXPECT_EQ(sym.order, std::vector<std::size_t>{0});
    EXPECT_TRUE(sym.l_pattern[0].empty());
    EXPECT_EQ(sym.u_pattern.index, std::vector<std::size_t>{0});
    // D^-1 = [[1, -1], [-1, 2]].
    EXPECT_EQ(BlockLu::refactor(sym, adj)->solve(Vectors{{3.0, 5.0}}), (Vectors{{-2.0, 7.0}}));
}

// Each call breaks a calling contract; the stop's message must start as given.
TEST(BlockSparse, BrokenContractsStop) {
    const BlockAdjacency adj = chain(1.0).finish();
    const BlockSymbolic sym = BlockSymbolic::analyze(adj);
    BlockLu lu = *BlockLu::refactor(sym, adj);
    BlockLu no_pivot = lu;
    no_pivot.u_cols.index[no_pivot.u_cols.start[2] - 1] = 0;  // column 1 loses its pivot
    BlockAdjacency out_of_range = adj;
    out_of_range.rows.index[0] = 7;
    const Block eye{1.0, 0.0, 0.0, 1.0};
    const BlockAdjacency diagonal =
        BlockMatrix{{{0, 0, eye}, {1, 1, eye}, {2, 2, eye}}, 3}.finish();
    const BlockAdjacency coupled =
        BlockMatrix{{{0, 0, eye}, {1, 1, eye}, {2, 2, eye}, {0, 2, eye}, {2, 0, eye}}, 3}.finish();

    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[] {
             (void)BlockMatrix{{{0, 0, {}}, {1, 2, {}}}, 2}.finish();
         },
         "index out of bounds: the len is 2 but the index is 2"},
        {[&] { (void)BlockSymbolic::analyze(out_of_range); },
         "block adjacency should always form a valid sparsity pattern"},
        {[] {
             (void)BlockSymbolic::analyze(BlockMatrix{{{0, 1, {}}}, 2}.finish());
         },
         "block pattern is not structurally symmetric"},
        {[&] { (void)BlockLu::refactor(BlockSymbolic::analyze(diagonal), coupled); },
         "block column 0 holds a block outside the pattern it was analysed with"},
        {[&] { (void)BlockLu::refactor(sym, diagonal); }, "block adjacency of dimension 3"},
        {[&] { (void)lu.solve(Vectors(3)); }, "right-hand side holds 3 block vectors but 4"},
        {[&] { (void)lu.solve(Vectors(5)); }, "right-hand side holds 5 block vectors but 4"},
        {[&] { (void)no_pivot.solve(kRhs); },
         "factorize() always records the diagonal entry for column j"},
    };
    for (const auto& [call, want] : cases) {
        std::string message = "no stop";
        try {
            call();
        } catch (const Stop& s) {
            message = s.message;
        }
        EXPECT_EQ(message.substr(0, want.size()), want);
    }
}

}  // namespace
}  // namespace quillmere
