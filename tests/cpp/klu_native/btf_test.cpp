#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "klu_native/btf/btf.hpp"
#include "klu_native/btf/maxtrans.hpp"
#include "klu_native/btf/strongcomp.hpp"
#include "klu_native/marked_index.hpp"
#include "klu_native/pattern_util.hpp"
#include "stop.hpp"

namespace quillmere::klu_native {
namespace {

using testing::from_entries;
using testing::Pattern;
using Marked = std::vector<std::int64_t>;
using Perm = std::vector<std::size_t>;

TEST(Maxtrans, FindsThePermutationOfAPermutationMatrix) {
    const Pattern anti = from_entries(4, {{3, 0}, {2, 1}, {1, 2}, {0, 3}});
    const btf::Matching m = btf::maxtrans(4, 4, anti.ap, anti.ai);
    EXPECT_EQ(m.nmatch, 4u);
    EXPECT_EQ(m.match, (Marked{3, 2, 1, 0}));
}

TEST(Maxtrans, FollowsALongAugmentingPathPastTheCheapChoices) {
    // Columns 0..n-2 cheaply take their diagonal; column n-1 only reaches row 0, so every
    // earlier column has to move down one row.
    constexpr std::size_t n = 6;
    std::vector<std::pair<std::size_t, std::size_t>> e;
    for (std::size_t j = 0; j + 1 < n; ++j) {
        e.push_back({j, j});
        e.push_back({j + 1, j});
    }
    e.push_back({0, n - 1});
    const Pattern pat = from_entries(n, e);
    const btf::Matching m = btf::maxtrans(n, n, pat.ap, pat.ai);
    EXPECT_EQ(m.nmatch, n);
    EXPECT_EQ(m.match, (Marked{5, 0, 1, 2, 3, 4}));
}

TEST(Maxtrans, StructurallySingularAndRectangularPatterns) {
    // Columns 0 and 1 share their only row.
    const Pattern shared = from_entries(3, {{1, 0}, {1, 1}, {2, 2}});
    const btf::Matching m = btf::maxtrans(3, 3, shared.ap, shared.ai);
    EXPECT_EQ(m.nmatch, 2u);
    EXPECT_EQ(m.match, (Marked{-1, 0, 2}));

    const std::vector<std::size_t> ap = {0, 2, 3};
    const std::vector<std::size_t> ai = {0, 2, 2};
    const btf::Matching tall = btf::maxtrans(3, 2, ap, ai);
    EXPECT_EQ(tall.nmatch, 2u);
    EXPECT_EQ(tall.match, (Marked{0, -1, 1}));
}

TEST(Maxtrans, RowBeyondTheMatrixStops) {
    const std::vector<std::size_t> ap = {0, 1};
    const std::vector<std::size_t> ai = {1};
    EXPECT_THROW(btf::maxtrans(1, 1, ap, ai), Stop);
}

TEST(Strongcomp, BlocksInCompletionOrder) {
    // Two 2-cycles {0,1} and {2,3}, with an edge from 0 into the second.
    const Pattern pat =
        from_entries(4, {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 2}, {3, 2}, {2, 3}, {3, 3}});
    const btf::Components c = btf::strongcomp(4, pat.ap, pat.ai, {});
    EXPECT_EQ(c.p, (Perm{2, 3, 0, 1}));
    EXPECT_EQ(c.r, (Perm{0, 2, 4}));

    Marked q = {1, 0, 3, 2};
    const btf::Components cq = btf::strongcomp(4, pat.ap, pat.ai, q);
    EXPECT_EQ(cq.r.front(), 0u);
    EXPECT_EQ(cq.r.back(), 4u);
    for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(q[k], (Marked{1, 0, 3, 2})[cq.p[k]]);
}

TEST(Strongcomp, ColumnOrderNamingNoColumnStops) {
    const Pattern pat = from_entries(2, {{0, 0}, {1, 1}});
    Marked q = {0, -1};
    EXPECT_THROW(btf::strongcomp(2, pat.ap, pat.ai, q), Stop);
}

TEST(BtfOrder, PairsUnmatchedRowsWithUnmatchedColumnsInIncreasingOrder) {
    // Rows 0 and 2 and columns 1 and 2 stay unmatched: row 0 gets column 1, row 2 column 2.
    const Pattern pat = from_entries(4, {{1, 0}, {3, 0}, {3, 3}, {1, 3}});
    const btf::BtfOrder b = btf::btf_order(4, pat.ap, pat.ai);
    EXPECT_EQ(b.nmatch, 2u);
    std::vector<std::int64_t> column_of_row(4, -1);
    for (std::size_t k = 0; k < 4; ++k) column_of_row[b.p[k]] = b.q[k];
    EXPECT_EQ(column_of_row, (Marked{flip(1), 0, flip(2), 3}));
}

}  // namespace
}  // namespace quillmere::klu_native
