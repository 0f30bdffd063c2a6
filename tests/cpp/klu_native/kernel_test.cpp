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

// Column 0 pivots on row 1, so its diagonal row 0 becomes the one preferred by column 1, which
// row 1 had been logged for: column 1 then takes row 0 (1 >= 0.001 * 2) over the larger row 2.
TEST(FactorBlock, FormerDiagonalRowPassesToTheColumnOfThePivotRow) {
    const std::vector<std::vector<GatheredEntry>> cols = {
        {{0, 1e-6}, {1, 1.0}}, {{0, 1.0}, {2, 2.0}}, {{0, 1.0}, {2, 1.0}}};
    std::vector<std::vector<FactorEntry>> sink(3);
    const auto f = factor_block(3, cols, 0.001, sink);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->perm, (Perm{1, 0, 2}));
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
