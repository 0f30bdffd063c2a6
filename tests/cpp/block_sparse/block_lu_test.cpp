#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "block_sparse.hpp"
#include "dense.hpp"
#include "stop.hpp"

namespace quillmere {
namespace {

using testing::dense_of;
using testing::dense_solve;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::optional<std::vector<BlockVector>> factor_and_solve(BlockMatrix m,
                                                         const std::vector<BlockVector>& rhs) {
    const BlockAdjacency adj = std::move(m).finish();
    const BlockSymbolic sym = BlockSymbolic::analyze(adj);
    const auto lu = BlockLu::refactor(sym, adj);
    if (!lu) return std::nullopt;
    return lu->solve(rhs);
}

void expect_near(const std::vector<BlockVector>& x, const std::vector<BlockVector>& want) {
    ASSERT_EQ(x.size(), want.size());
    for (std::size_t k = 0; k < x.size(); ++k) {
        EXPECT_NEAR(x[k][0], want[k][0], 1e-12) << "block " << k;
        EXPECT_NEAR(x[k][1], want[k][1], 1e-12) << "block " << k;
    }
}

// A 4-block chain 0-1-2-3 plus 0-3, unsymmetric values, pushed out of order with (1, 1) and (2, 3)
// each split over two entries.
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

const std::vector<BlockVector> kRhs = {{1.0, -2.0}, {0.5, 3.0}, {-1.0, 0.0}, {2.0, 0.25}};

TEST(BlockMatrixFinish, SumsRepeatedPositionsOnceInRowsAndCols) {
    const BlockAdjacency adj = chain(1.0).finish();
    ASSERT_EQ(adj.n, 4u);
    const std::vector<std::vector<std::size_t>> want_rows = {
        {0, 1, 3}, {0, 1, 2}, {1, 2, 3}, {0, 2, 3}};
    for (std::size_t r = 0; r < 4; ++r) {
        const auto cols = adj.rows.indices(r);
        EXPECT_EQ(std::vector<std::size_t>(cols.begin(), cols.end()), want_rows[r]) << "row " << r;
        // By symmetry of this pattern the column lists read the same.
        const auto rows = adj.cols.indices(r);
        EXPECT_EQ(std::vector<std::size_t>(rows.begin(), rows.end()), want_rows[r]) << "col " << r;
    }
    EXPECT_EQ(adj.rows.blocks(1)[1], (Block{5.0, 0.5, -1.0, 3.0}));
    EXPECT_EQ(adj.cols.blocks(3)[1], (Block{1.0, -1.0, -0.5, 1.0}));  // (2, 3) as row 2 of col 3
}

TEST(BlockLu, SolvesAgainstDenseAndServesSeveralValueSets) {
    const BlockAdjacency first = chain(1.0).finish();
    const BlockSymbolic sym = BlockSymbolic::analyze(first);
    // Scale 0 keeps the pattern (zero values included) but empties two diagonal entries; a
    // singular set in between must not disturb later ones.
    for (const double scale : {1.0, 0.0, -3.0, 2.5}) {
        const BlockAdjacency adj = chain(scale).finish();
        const auto lu = BlockLu::refactor(sym, adj);
        ASSERT_TRUE(lu) << "scale " << scale;
        expect_near(lu->solve(kRhs), dense_solve(dense_of(chain(scale)), kRhs));
        // Bit-identical to a fresh analysis of this very adjacency.
        const auto fresh = BlockLu::refactor(BlockSymbolic::analyze(adj), adj);
        ASSERT_TRUE(fresh);
        EXPECT_EQ(lu->solve(kRhs), fresh->solve(kRhs));
    }
    BlockMatrix singular = chain(1.0);
    for (BlockEntry& e : singular.entries) e.block = Block{1.0, 1.0, 1.0, 1.0};
    EXPECT_FALSE(BlockLu::refactor(sym, std::move(singular).finish()));
    EXPECT_TRUE(BlockLu::refactor(sym, first));
}

TEST(BlockLu, PivotTestOnTheDeterminant) {
    const double tiny = 1e-300;
    const double below = std::nextafter(tiny, 0.0);
    struct Case {
        const char* name;
        Block pivot;
        bool accepted;
    };
    const Case cases[] = {
        {"det exactly 1e-300", {tiny, 0.0, 0.0, 1.0}, true},
        {"det exactly -1e-300", {0.0, tiny, 1.0, 0.0}, true},
        {"det just below 1e-300", {below, 0.0, 0.0, 1.0}, false},
        {"det just above -1e-300", {0.0, below, 1.0, 0.0}, false},
        {"zero block", {0.0, 0.0, 0.0, 0.0}, false},
        {"rank one", {1.0, 2.0, 2.0, 4.0}, false},
        {"NaN entry", {kNan, 0.0, 0.0, 1.0}, false},
        {"infinite entry", {kInf, 0.0, 0.0, 1.0}, false},
        {"finite entries, determinant overflows", {1e200, 0.0, 0.0, 1e200}, false},
        {"permutation needs no pivoting inside the block", {0.0, 1.0, 1.0, 0.0}, true},
    };
    for (const Case& c : cases) {
        BlockMatrix m;
        m.n = 1;
        m.entries = {{0, 0, c.pivot}};
        const auto x = factor_and_solve(std::move(m), {{3.0, -2.0}});
        EXPECT_EQ(x.has_value(), c.accepted) << c.name;
    }
    BlockMatrix m;
    m.n = 1;
    m.entries = {{0, 0, {0.0, 1.0, 1.0, 0.0}}};
    EXPECT_EQ(*factor_and_solve(std::move(m), {{3.0, -2.0}}),
              (std::vector<BlockVector>{{-2.0, 3.0}}));
}

TEST(BlockLu, NoPivotingBetweenBlocks) {
    const Block zero{0.0, 0.0, 0.0, 0.0};
    const Block eye{1.0, 0.0, 0.0, 1.0};
    struct Case {
        const char* name;
        std::size_t n;
        std::vector<BlockEntry> entries;
    };
    const Case cases[] = {
        // Non-singular, but every pivot order starts on a zero block.
        {"zero diagonal, identity coupling",
         2,
         {{0, 0, zero}, {1, 1, zero}, {0, 1, eye}, {1, 0, eye}}},
        // The second pivot cancels to zero after elimination.
        {"zero Schur complement", 2, {{0, 0, eye}, {1, 1, eye}, {0, 1, eye}, {1, 0, eye}}},
        {"no block at a diagonal position", 2, {{0, 0, eye}}},
        {"no block at all", 1, {}},
    };
    for (const Case& c : cases) {
        BlockMatrix m;
        m.n = c.n;
        m.entries = c.entries;
        EXPECT_FALSE(factor_and_solve(std::move(m), std::vector<BlockVector>(c.n))) << c.name;
    }
}

TEST(BlockLu, NonFiniteRightHandSidePassesThrough) {
    for (const double bad : {kNan, kInf}) {
        std::vector<BlockVector> rhs = kRhs;
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
    EXPECT_EQ(empty.rows.count(), 0u);
    EXPECT_EQ(empty.cols.count(), 0u);
    const BlockSymbolic none = BlockSymbolic::analyze(empty);
    EXPECT_TRUE(none.order.empty());
    EXPECT_EQ(none.l_pattern.count(), 0u);
    const auto lu0 = BlockLu::refactor(none, empty);
    ASSERT_TRUE(lu0);
    EXPECT_TRUE(lu0->solve({}).empty());

    BlockMatrix one;
    one.n = 1;
    one.entries = {{0, 0, {2.0, 1.0, 1.0, 1.0}}};
    const BlockAdjacency adj = std::move(one).finish();
    const BlockSymbolic sym = BlockSymbolic::analyze(adj);
    EXPECT_EQ(sym.order, std::vector<std::size_t>{0});
    EXPECT_TRUE(sym.l_pattern[0].empty());
    EXPECT_EQ(std::vector<std::size_t>(sym.u_pattern[0].begin(), sym.u_pattern[0].end()),
              std::vector<std::size_t>{0});
    const auto lu = BlockLu::refactor(sym, adj);
    ASSERT_TRUE(lu);
    // D^-1 = [[1, -1], [-1, 2]].
    EXPECT_EQ(lu->solve(std::vector<BlockVector>{{3.0, 5.0}}),
              (std::vector<BlockVector>{{-2.0, 7.0}}));
}

// Each call breaks a calling contract and must stop with the message given (a prefix of it).
TEST(BlockSparseStops, BrokenContracts) {
    const auto stop_message = [](auto&& call) -> std::string {
        try {
            call();
        } catch (const Stop& s) {
            return s.message;
        }
        return "no stop";
    };
    const BlockAdjacency adj = chain(1.0).finish();
    const BlockSymbolic sym = BlockSymbolic::analyze(adj);
    BlockLu factors = *BlockLu::refactor(sym, adj);
    BlockAdjacency bad_pattern = adj;
    bad_pattern.rows.index[0] = 7;

    EXPECT_EQ(stop_message([] {
                  BlockMatrix m;
                  m.n = 2;
                  m.entries = {{0, 0, {}}, {1, 2, {}}};
                  (void)std::move(m).finish();
              }).rfind("index out of bounds", 0),
              0u);
    EXPECT_EQ(stop_message([&] {
                  (void)BlockSymbolic::analyze(bad_pattern);
              }).rfind("block adjacency should always form a valid sparsity pattern", 0),
              0u);
    EXPECT_EQ(stop_message([&] {
                  (void)factors.solve(std::vector<BlockVector>(3));
              }).rfind("index out of bounds", 0),
              0u);
    factors.u_cols.index[factors.u_cols.start[2] - 1] = 0;  // column 1 loses its pivot
    EXPECT_EQ(stop_message([&] { (void)factors.solve(kRhs); }),
              "factorize() always records the diagonal entry for column j");
}

}  // namespace
}  // namespace quillmere
