#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <tuple>
#include <vector>

#include "klu_native/kernel.hpp"
#include "klu_native/refactor.hpp"

namespace quillmere::klu_native {
namespace {

using Perm = std::vector<std::size_t>;

// The diagonal when it reaches tol times the largest magnitude, else the first largest (the last
// candidate only when strictly larger); the last candidate takes the pivot's slot.
TEST(Lpivot, ChoiceAndRemainingOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // (candidates, diagonal row, pivot row or none, rows left)
    using Case =
        std::tuple<std::vector<FactorEntry>, std::size_t, std::optional<std::size_t>, Perm>;
    const std::vector<Case> cases = {
        {{{0, 1000.0}, {1, 1.0}}, 1, 1, {0}},
        {{{0, 1000.0}, {1, 0.9999999}}, 1, 0, {1}},
        {{{2, -3.0}, {5, 3.0}, {7, 1.0}}, 9, 2, {7, 5}},
        {{{2, 5.0}, {3, -5.0}}, 9, 2, {3}},
        {{{2, 1.0}, {3, -5.0}}, 9, 3, {2}},
        {{{2, nan}, {4, 2.0}, {3, 1.0}}, 2, 4, {2, 3}},  // NaN: never accepted, never largest
        {{{1, 0.0}, {2, -0.0}}, 1, std::nullopt, {}},
    };
    for (auto [list, diag, pivot, rest] : cases) {
        const std::optional<Pivot> p = lpivot(list, diag, 0.001);
        ASSERT_EQ(p.has_value(), pivot.has_value()) << diag;
        if (!p) continue;
        EXPECT_EQ(p->row, *pivot);
        Perm rows;
        for (const FactorEntry& e : list) rows.push_back(e.row);
        EXPECT_EQ(rows, rest) << *pivot;
    }
}

// Pivot rows, then the reach order fixed for the refactorisation. First: column 0 pivots on row 1,
// so its diagonal row 0 passes to column 1 (the one row 1 had been logged for), which then takes
// row 0 (1 >= 0.001 * 2) over the larger row 2. Second: column 2 prunes column 0 of L to its
// pivotal rows (2, 1; row 3 moves behind them), so column 3 reaches row 2 before row 1.
TEST(FactorBlock, PivotRowsAndReachOrders) {
    using Columns = std::vector<std::vector<GatheredEntry>>;
    // (columns, perm, rows of the last column of U, rows of column 0 of L)
    const std::vector<std::tuple<Columns, Perm, Perm, Perm>> cases = {
        {{{{0, 1e-6}, {1, 1.0}}, {{0, 1.0}, {2, 2.0}}, {{0, 1.0}, {2, 1.0}}}, {1, 0, 2}, {1}, {1}},
        {{{{0, -8.0}, {1, -7.0}, {2, 9.0}, {3, -4.0}},
          {{1, -3.0}},
          {{0, -3.0}, {2, -9.0}},
          {{0, -5.0}, {3, -5.0}}},
         {0, 1, 2, 3},
         {0, 2, 1},
         {2, 1, 3}},
    };
    for (const auto& [cols, perm, u_last, l_first] : cases) {
        std::vector<std::vector<FactorEntry>> sink(cols.size());
        const auto f = factor_block(cols.size(), cols, 0.001, sink);
        ASSERT_TRUE(f);
        Perm u, l;
        for (const FactorEntry& e : f->u.back()) u.push_back(e.row);
        for (const FactorEntry& e : f->l.front()) l.push_back(e.row);
        EXPECT_EQ(std::tie(f->perm, u, l), std::tie(perm, u_last, l_first));
    }
}

// One work column serves every block of every call, so it must be all zero on every exit, a
// failing one included: a stale multiplier would otherwise start a later fill-in entry.
TEST(RefactorBlock, WorkColumnIsZeroOnEveryExit) {
    using Columns = std::vector<std::vector<GatheredEntry>>;
    // Dominant diagonal: pivot positions equal local rows. Each case replaces the first two
    // columns; in the last, l = (1, 3) and column 1 gets 2 - 2 * 1 = 0 as its pivot, with
    // 7 - 2 * 3 = 1 below it.
    const Columns first = {{{0, 4.0}, {1, 1.0}, {2, 2.0}},
                           {{0, 1.0}, {1, 5.0}, {2, 1.0}},
                           {{0, 2.0}, {1, 1.0}, {2, 6.0}}};
    const std::vector<std::pair<Columns, bool>> cases = {
        {{{{0, 2.0}, {1, 1.0}, {2, 1.0}}, {{0, 1.0}, {1, 3.0}, {2, 1.0}}}, true},
        {{{{0, 0.0}, {1, 5.0}, {2, 3.0}}, {{0, 1.0}, {1, 3.0}, {2, 1.0}}}, false},
        {{{{0, 1.0}, {1, 1.0}, {2, 3.0}}, {{0, 2.0}, {1, 2.0}, {2, 7.0}}}, false},
    };
    for (auto [cols, ok] : cases) {
        std::vector<std::vector<FactorEntry>> sink(3);
        auto f = factor_block(3, first, 0.001, sink);
        ASSERT_TRUE(f);
        ASSERT_EQ(f->perm, (Perm{0, 1, 2}));
        cols.push_back(first[2]);
        std::vector<double> x(5, 0.0);
        EXPECT_EQ(refactor_block_in_place(3, *f, x, cols, sink), ok);
        EXPECT_EQ(x, std::vector<double>(5, 0.0)) << ok;
    }
}

}  // namespace
}  // namespace quillmere::klu_native
