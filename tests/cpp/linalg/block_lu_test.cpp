#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common/stop.hpp"
#include "linalg/block_sparse.hpp"
#include "support/sparse_systems.hpp"

namespace quillmere {
namespace {

using Vectors = std::vector<BlockVector>;

// A block matrix as a list of positions with one block each; a position may repeat.
struct Given {
    std::size_t n = 0;
    std::vector<std::size_t> rows;
    std::vector<std::size_t> cols;
    std::vector<Block> blocks;

    void add(std::size_t r, std::size_t c, const Block& b) {
        rows.push_back(r);
        cols.push_back(c);
        blocks.push_back(b);
    }
    BlockLu analyze() const { return BlockLu::analyze(n, rows, cols); }
};

std::optional<Vectors> solve_with(BlockLu& lu, const Given& m, Vectors x) {
    lu.assign(m.blocks);
    if (!lu.refactor()) return std::nullopt;
    lu.solve(x);
    return x;
}

std::optional<Vectors> factor_and_solve(const Given& m, const Vectors& rhs) {
    BlockLu lu = m.analyze();
    return solve_with(lu, m, rhs);
}

// Relative difference of x from the solution of the scalar matrix by a dense LU.
double dense_diff(const Given& m, const Vectors& rhs, const Vectors& x) {
    test_support::Triplets t;
    test_support::Vec b, got;
    for (std::size_t e = 0; e < m.blocks.size(); ++e) {
        for (std::size_t k = 0; k < 4; ++k) {
            t.push_back({2 * m.rows[e] + k / 2, 2 * m.cols[e] + k % 2, m.blocks[e][k]});
        }
    }
    for (std::size_t k = 0; k < 2 * m.n; ++k) {
        b.push_back(rhs[k / 2][k % 2]);
        got.push_back(x[k / 2][k % 2]);
    }
    return test_support::rel_diff(got, test_support::dense_solve(2 * m.n, t, b).value());
}

// A random structurally symmetric pattern (each position pushed with its mirror) with random
// values (a quarter of them zero blocks) and a dominant diagonal given as a separate part, in
// shuffled order. The pattern and the order depend on `seed` alone.
Given random_matrix(std::uint64_t seed, std::uint64_t value_seed, std::size_t n) {
    std::mt19937_64 rng(seed), values(value_seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<std::tuple<std::size_t, std::size_t, Block>> entries;
    std::vector<double> sum(2 * n, 1.0);
    for (auto [r, c] :
         test_support::random_entries(n, seed % 3 == 0 ? 0.3 : 0.08, 0.5, false, rng)) {
        for (auto [i, j] : {std::pair{r, c}, std::pair{c, r}}) {
            Block b{};
            if (values() % 4 != 0) b = {value(values), value(values), value(values), value(values)};
            sum[2 * i] += std::abs(b[0]) + std::abs(b[1]);
            sum[2 * i + 1] += std::abs(b[2]) + std::abs(b[3]);
            entries.emplace_back(i, j, b);
        }
    }
    for (std::size_t r = 0; r < n; ++r)
        entries.emplace_back(r, r, Block{sum[2 * r], 0, 0, sum[2 * r + 1]});
    std::shuffle(entries.begin(), entries.end(), rng);
    Given m{n, {}, {}, {}};
    for (const auto& [r, c, b] : entries) m.add(r, c, b);
    return m;
}

// Per pattern: ones everywhere (singular), then two value sets through the one analysis. A failed
// factorisation leaves nothing behind, and the one analysis gives exactly what a fresh one gives.
TEST(BlockLu, RandomSymmetricPatternsMatchDenseLu) {
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        const std::size_t n = 2 + seed * 7 % 44;
        Vectors rhs(n);
        for (std::size_t k = 0; k < n; ++k) rhs[k] = {1.0 + double(k), 0.5 - double(k % 7)};
        BlockLu lu = random_matrix(seed, 0, n).analyze();
        Given singular = random_matrix(seed, 0, n);
        for (Block& b : singular.blocks) b = Block{1.0, 1.0, 1.0, 1.0};
        EXPECT_FALSE(solve_with(lu, singular, rhs)) << "seed " << seed;
        for (std::uint64_t values : {seed, seed + 100}) {
            const Given m = random_matrix(seed, values, n);
            const auto x = solve_with(lu, m, rhs);
            ASSERT_TRUE(x) << "seed " << seed;
            EXPECT_LT(dense_diff(m, rhs, *x), 1e-10) << "seed " << seed;
            EXPECT_EQ(x, factor_and_solve(m, rhs));
        }
    }
}

// Repeated positions share a block, summed from -0.0 in list order; a position given once keeps
// its block bit for bit, the sign of a zero included.
TEST(BlockLu, RepeatedPositionsSumInListOrder) {
    // 1 + 1e16 rounds to 1e16: each sum below comes out otherwise in another order.
    const double big = 1e16;
    Given m{2, {}, {}, {}};
    m.add(1, 1, {1.0, big, -0.0, 0.0});
    m.add(0, 0, {-0.0, 2.0, 0.0, 3.0});
    m.add(1, 1, {big, -big, -0.0, -0.0});
    m.add(1, 1, {-big, 1.0, -0.0, 0.0});
    BlockLu lu = m.analyze();
    ASSERT_EQ(lu.values().size(), 2u);
    const auto slots = lu.slots();
    EXPECT_EQ(slots[0], slots[2]);
    EXPECT_EQ(slots[0], slots[3]);
    EXPECT_NE(slots[0], slots[1]);
    lu.assign(m.blocks);
    const Block summed = lu.values()[slots[0]];
    const Block once = lu.values()[slots[1]];
    EXPECT_EQ(summed[0], 0.0);
    EXPECT_EQ(summed[1], 1.0);
    EXPECT_TRUE(std::signbit(summed[2]));
    EXPECT_FALSE(std::signbit(summed[3]));
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(once[k]),
                  std::bit_cast<std::uint64_t>(m.blocks[1][k]));
    }
}

// Sizes of patterns whose fill does not depend on the order: no coupling, and a dense pattern
// (column k of L, n - 1 - k blocks, updates each of the n - 1 - k later columns).
TEST(BlockLu, CountsOfOrderFreePatterns) {
    const Block eye{1.0, 0.0, 0.0, 1.0};
    Given diagonal{3, {}, {}, {}}, dense{4, {}, {}, {}};
    for (std::size_t i = 0; i < 3; ++i) diagonal.add(i, i, eye);
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j < 4; ++j) dense.add(i, j, eye);
    }
    const auto same = [](const BlockLuCounts& a, const BlockLuCounts& b) {
        return std::tie(a.n, a.matrix_blocks, a.l_blocks, a.u_blocks, a.updates) ==
               std::tie(b.n, b.matrix_blocks, b.l_blocks, b.u_blocks, b.updates);
    };
    EXPECT_TRUE(same(diagonal.analyze().counts(), {3, 3, 0, 3, 0}));
    EXPECT_TRUE(same(dense.analyze().counts(), {4, 16, 6, 10, 3 * 3 + 2 * 2 + 1 * 1}));
}

// A pivot block needs a finite determinant of at least 1e-300 in magnitude; nothing pivots,
// neither inside a block nor between blocks.
TEST(BlockLu, PivotBlocksWithoutInverseGiveNoResult) {
    const double tiny = 1e-300, below = std::nextafter(tiny, 0.0);
    const Block zero{}, eye{1.0, 0.0, 0.0, 1.0};
    using Blocks = std::vector<std::tuple<std::size_t, std::size_t, Block>>;
    const std::vector<std::tuple<std::size_t, Blocks, bool>> cases = {
        {1, {{0, 0, {0.0, tiny, 1.0, 0.0}}}, true},
        {1, {{0, 0, {below, 0.0, 0.0, 1.0}}}, false},
        {1, {{0, 0, {1e200, 0.0, 0.0, 1e200}}}, false},  // determinant overflows
        {1, {{0, 0, {NAN, 0.0, 0.0, 1.0}}}, false},
        {2, {{0, 0, zero}, {1, 1, zero}, {0, 1, eye}, {1, 0, eye}}, false},  // zero diagonal
        {2, {{0, 0, eye}, {1, 1, eye}, {0, 1, eye}, {1, 0, eye}}, false},    // pivot cancels
        {2, {{0, 0, eye}}, false},  // no block at an unfilled diagonal position
    };
    for (const auto& [n, blocks, factors] : cases) {
        Given m{n, {}, {}, {}};
        for (const auto& [r, c, b] : blocks) m.add(r, c, b);
        EXPECT_EQ(factor_and_solve(m, Vectors(n, {3.0, -2.0})).has_value(), factors)
            << ::testing::PrintToString(m.blocks[0]) << " n " << n;
    }
    Given swap{1, {}, {}, {}};
    swap.add(0, 0, {0.0, 1.0, 1.0, 0.0});
    EXPECT_EQ(factor_and_solve(swap, {{3.0, -2.0}}), (Vectors{{-2.0, 3.0}}));
    EXPECT_EQ(factor_and_solve(Given{}, {}), Vectors{});
}

// Each call breaks a calling contract; the stop's message must start as given.
TEST(BlockLu, BrokenContractsStop) {
    const Block eye{1.0, 0.0, 0.0, 1.0};
    Given diagonal{3, {}, {}, {}};
    for (std::size_t i = 0; i < 3; ++i) diagonal.add(i, i, eye);
    BlockLu unfactored = diagonal.analyze();
    BlockLu failed = diagonal.analyze();
    failed.assign(diagonal.blocks);
    ASSERT_TRUE(failed.refactor());
    failed.values()[1] = Block{};
    ASSERT_FALSE(failed.refactor());
    BlockLu lu = diagonal.analyze();
    lu.assign(diagonal.blocks);
    ASSERT_TRUE(lu.refactor());
    const std::vector<std::size_t> two{0, 1}, one{0};

    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] {
             (void)BlockLu::analyze(2, std::vector<std::size_t>{0, 1}, two);
         },
         "no stop"},
        {[&] {
             (void)BlockLu::analyze(2, std::vector<std::size_t>{0, 2}, two);
         },
         "index out of bounds: the len is 2 but the index is 2"},
        {[&] { (void)BlockLu::analyze(2, two, one); }, "a pattern of 2 rows and 1 columns"},
        {[&] { (void)BlockLu::analyze(2, one, std::vector<std::size_t>{1}); },
         "block pattern is not structurally symmetric: block row 0 and block column 0 differ"},
        {[&] { lu.assign(std::vector<Block>(2)); }, "2 blocks given for a pattern of 3 positions"},
        {[&] {
             Vectors x(2);
             lu.solve(x);
         },
         "right-hand side holds 2 block vectors but 3"},
        {[&] {
             Vectors x(3);
             unfactored.solve(x);
         },
         "block solve without a successful refactor"},
        {[&] {
             Vectors x(3);
             failed.solve(x);
         },
         "block solve without a successful refactor"},
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
