#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "block_sparse.hpp"
#include "klu_native/dense_util.hpp"
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

testing::Vec flat(const Vectors& v) {
    testing::Vec f;
    for (const BlockVector& b : v) f.insert(f.end(), b.begin(), b.end());
    return f;
}

// Relative difference of x from the solution of the scalar matrix by a dense LU.
double dense_diff(const BlockMatrix& m, const Vectors& rhs, const Vectors& x) {
    testing::Triplets t;
    for (const BlockEntry& e : m.entries) {
        for (std::size_t k = 0; k < 4; ++k) {
            t.push_back({2 * e.row + k / 2, 2 * e.col + k % 2, e.block[k]});
        }
    }
    const auto want = testing::dense_solve(2 * m.n, t, flat(rhs));
    return want ? testing::rel_diff(flat(x), *want) : kInf;
}

// A random structurally symmetric pattern (each position pushed with its mirror) with random
// values (a quarter of them zero blocks) and a dominant diagonal given as a separate part, in
// shuffled order. The pattern and the order depend on `seed` alone.
BlockMatrix random_matrix(std::uint64_t seed, std::uint64_t value_seed, std::size_t n) {
    std::mt19937_64 rng(seed), values(value_seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    BlockMatrix m{{}, n};
    std::vector<double> sum(2 * n, 1.0);
    for (auto [r, c] : testing::random_entries(n, seed % 3 == 0 ? 0.3 : 0.08, 0.5, false, rng)) {
        for (auto [i, j] : {std::pair{r, c}, std::pair{c, r}}) {
            Block b{};
            if (values() % 4 != 0) b = {value(values), value(values), value(values), value(values)};
            sum[2 * i] += std::abs(b[0]) + std::abs(b[1]);
            sum[2 * i + 1] += std::abs(b[2]) + std::abs(b[3]);
            m.entries.push_back({i, j, b});
        }
    }
    for (std::size_t r = 0; r < n; ++r) {
        m.entries.push_back({r, r, {sum[2 * r], 0, 0, sum[2 * r + 1]}});
    }
    std::shuffle(m.entries.begin(), m.entries.end(), rng);
    return m;
}

Vectors ramp(std::size_t n) {
    Vectors rhs(n);
    for (std::size_t k = 0; k < n; ++k) rhs[k] = {1.0 + double(k), 0.5 - 0.25 * double(k * k % 7)};
    return rhs;
}

TEST(BlockLu, RandomSymmetricPatternsMatchDenseLu) {
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        const std::size_t n = 2 + seed * 7 % 44;
        const BlockMatrix m = random_matrix(seed, seed, n);
        const auto x = factor_and_solve(m, ramp(n));
        ASSERT_TRUE(x) << "seed " << seed;
        EXPECT_LT(dense_diff(m, ramp(n), *x), 1e-10) << "seed " << seed;
    }
}

// Ones everywhere (singular), then three value sets of one pattern: a failed factorisation leaves
// nothing behind, and the one analysis gives exactly what a fresh one gives.
TEST(BlockLu, OneAnalysisServesSeveralValueSets) {
    const BlockSymbolic sym = BlockSymbolic::analyze(random_matrix(5, 0, 30).finish());
    BlockMatrix singular = random_matrix(5, 0, 30);
    for (BlockEntry& e : singular.entries) e.block = Block{1.0, 1.0, 1.0, 1.0};
    EXPECT_FALSE(BlockLu::refactor(sym, std::move(singular).finish()));
    for (std::uint64_t values = 0; values < 3; ++values) {
        const BlockMatrix m = random_matrix(5, values, 30);
        const BlockAdjacency adj = BlockMatrix(m).finish();
        const auto lu = BlockLu::refactor(sym, adj);
        ASSERT_TRUE(lu) << values;
        const Vectors rhs = ramp(30);
        EXPECT_LT(dense_diff(m, rhs, lu->solve(rhs)), 1e-12) << values;
        EXPECT_EQ(lu->solve(rhs), BlockLu::refactor(BlockSymbolic::analyze(adj), adj)->solve(rhs));
    }
}

// A pivot block needs a finite determinant of at least 1e-300 in magnitude; nothing pivots,
// neither inside a block nor between blocks.
TEST(BlockLu, PivotBlocksWithoutInverseGiveNoResult) {
    const double tiny = 1e-300, below = std::nextafter(tiny, 0.0);
    const Block zero{}, eye{1.0, 0.0, 0.0, 1.0};
    const std::vector<std::tuple<std::size_t, std::vector<BlockEntry>, bool>> cases = {
        {1, {{0, 0, {tiny, 0.0, 0.0, 1.0}}}, true},
        {1, {{0, 0, {0.0, tiny, 1.0, 0.0}}}, true},
        {1, {{0, 0, {below, 0.0, 0.0, 1.0}}}, false},
        {1, {{0, 0, {0.0, below, 1.0, 0.0}}}, false},
        {1, {{0, 0, {kNan, 0.0, 0.0, 1.0}}}, false},
        {1, {{0, 0, {kInf, 0.0, 0.0, 1.0}}}, false},
        {1, {{0, 0, {1e200, 0.0, 0.0, 1e200}}}, false},  // determinant overflows
        {2, {{0, 0, zero}, {1, 1, zero}, {0, 1, eye}, {1, 0, eye}}, false},  // zero diagonal
        {2, {{0, 0, eye}, {1, 1, eye}, {0, 1, eye}, {1, 0, eye}}, false},    // pivot cancels
        {2, {{0, 0, eye}}, false},  // no block at an unfilled diagonal position
    };
    for (const auto& [n, entries, factors] : cases) {
        EXPECT_EQ(factor_and_solve({entries, n}, Vectors(n, {3.0, -2.0})).has_value(), factors)
            << ::testing::PrintToString(entries[0].block) << " n " << n;
    }
    EXPECT_EQ(factor_and_solve({{{0, 0, {0.0, 1.0, 1.0, 0.0}}}, 1}, {{3.0, -2.0}}),
              (Vectors{{-2.0, 3.0}}));
    EXPECT_EQ(factor_and_solve({}, {}), Vectors{});
}

// Each call breaks a calling contract; the stop's message must start as given.
TEST(BlockLu, BrokenContractsStop) {
    const Block eye{1.0, 0.0, 0.0, 1.0};
    const BlockAdjacency diagonal =
        BlockMatrix{{{0, 0, eye}, {1, 1, eye}, {2, 2, eye}}, 3}.finish();
    const BlockAdjacency coupled =
        BlockMatrix{{{0, 0, eye}, {1, 1, eye}, {2, 2, eye}, {0, 2, eye}, {2, 0, eye}}, 3}.finish();
    const BlockAdjacency two = BlockMatrix{{{0, 0, eye}, {1, 1, eye}}, 2}.finish();
    const BlockSymbolic sym = BlockSymbolic::analyze(diagonal);
    const BlockLu lu = *BlockLu::refactor(sym, diagonal);
    BlockLu no_pivot = lu;
    no_pivot.u_cols.index[no_pivot.u_cols.start[2] - 1] = 0;  // column 1 loses its pivot
    BlockAdjacency out_of_range = diagonal;
    out_of_range.rows.index[0] = 7;

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
        {[&] { (void)BlockLu::refactor(sym, coupled); },
         "block column 0 holds a block outside the pattern it was analysed with"},
        {[&] { (void)BlockLu::refactor(BlockSymbolic::analyze(two), diagonal); },
         "block adjacency of dimension 3"},
        {[&] { (void)lu.solve(Vectors(2)); }, "right-hand side holds 2 block vectors but 3"},
        {[&] { (void)lu.solve(Vectors(4)); }, "right-hand side holds 4 block vectors but 3"},
        {[&] { (void)no_pivot.solve(Vectors(3)); },
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
