#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "block_sparse.hpp"
#include "klu_native/test_util.hpp"
#include "stop.hpp"

namespace quillmere {
namespace {

using Vectors = std::vector<BlockVector>;

std::optional<Vectors> factor_and_solve(BlockMatrix m, const Vectors& rhs) {
    const BlockAdjacency adj = std::move(m).finish();
    const auto lu = BlockLu::refactor(BlockSymbolic::analyze(adj), adj);
    if (!lu) return std::nullopt;
    return lu->solve(rhs);
}

// Relative difference of x from the solution of the scalar matrix by a dense LU.
double dense_diff(const BlockMatrix& m, const Vectors& rhs, const Vectors& x) {
    testing::Triplets t;
    testing::Vec b, got;
    for (const BlockEntry& e : m.entries) {
        for (std::size_t k = 0; k < 4; ++k) {
            t.push_back({2 * e.row + k / 2, 2 * e.col + k % 2, e.block[k]});
        }
    }
    for (std::size_t k = 0; k < 2 * m.n; ++k) {
        b.push_back(rhs[k / 2][k % 2]);
        got.push_back(x[k / 2][k % 2]);
    }
    return testing::rel_diff(got, testing::dense_solve(2 * m.n, t, b).value());
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
    for (std::size_t r = 0; r < n; ++r)
        m.entries.push_back({r, r, {sum[2 * r], 0, 0, sum[2 * r + 1]}});
    std::shuffle(m.entries.begin(), m.entries.end(), rng);
    return m;
}

// Per pattern: ones everywhere (singular), then two value sets through the one analysis. A failed
// factorisation leaves nothing behind, and the one analysis gives exactly what a fresh one gives.
TEST(BlockLu, RandomSymmetricPatternsMatchDenseLu) {
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        const std::size_t n = 2 + seed * 7 % 44;
        Vectors rhs(n);
        for (std::size_t k = 0; k < n; ++k) rhs[k] = {1.0 + double(k), 0.5 - double(k % 7)};
        const BlockSymbolic sym = BlockSymbolic::analyze(random_matrix(seed, 0, n).finish());
        BlockMatrix singular = random_matrix(seed, 0, n);
        for (BlockEntry& e : singular.entries) e.block = Block{1.0, 1.0, 1.0, 1.0};
        EXPECT_FALSE(BlockLu::refactor(sym, std::move(singular).finish()));
        for (std::uint64_t values : {seed, seed + 100}) {
            const BlockMatrix m = random_matrix(seed, values, n);
            const BlockAdjacency adj = BlockMatrix(m).finish();
            const auto lu = BlockLu::refactor(sym, adj);
            ASSERT_TRUE(lu) << "seed " << seed;
            EXPECT_LT(dense_diff(m, rhs, lu->solve(rhs)), 1e-10) << "seed " << seed;
            EXPECT_EQ(lu->solve(rhs), factor_and_solve(m, rhs));
        }
    }
}

// A pivot block needs a finite determinant of at least 1e-300 in magnitude; nothing pivots,
// neither inside a block nor between blocks.
TEST(BlockLu, PivotBlocksWithoutInverseGiveNoResult) {
    const double tiny = 1e-300, below = std::nextafter(tiny, 0.0);
    const Block zero{}, eye{1.0, 0.0, 0.0, 1.0};
    const std::vector<std::tuple<std::size_t, std::vector<BlockEntry>, bool>> cases = {
        {1, {{0, 0, {0.0, tiny, 1.0, 0.0}}}, true},
        {1, {{0, 0, {below, 0.0, 0.0, 1.0}}}, false},
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
    const BlockSymbolic sym = BlockSymbolic::analyze(diagonal);
    const BlockSymbolic two = BlockSymbolic::analyze(BlockMatrix{{}, 2}.finish());
    const BlockLu lu = *BlockLu::refactor(sym, diagonal);
    BlockAdjacency out_of_range = diagonal;
    out_of_range.rows.index[0] = 7;
    BlockMatrix past_end{{{0, 0, {}}, {1, 2, {}}}, 2}, unsymmetric{{{0, 1, {}}}, 2};

    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { (void)std::move(past_end).finish(); },
         "index out of bounds: the len is 2 but the index is 2"},
        {[&] { (void)BlockSymbolic::analyze(out_of_range); },
         "block adjacency should always form a valid sparsity pattern"},
        {[&] { (void)BlockSymbolic::analyze(std::move(unsymmetric).finish()); },
         "block pattern is not structurally symmetric"},
        {[&] { (void)BlockLu::refactor(sym, coupled); },
         "block column 0 holds a block outside the pattern it was analysed with"},
        {[&] { (void)BlockLu::refactor(two, diagonal); }, "block adjacency of dimension 3"},
        {[&] { (void)lu.solve(Vectors(2)); }, "right-hand side holds 2 block vectors but 3"},
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
