#include <gtest/gtest.h>

#include <limits>
#include <tuple>
#include <vector>

#include "klu_native/amd/amd.hpp"
#include "klu_native/pattern_util.hpp"
#include "stop.hpp"

namespace quillmere::klu_native {
namespace {

using testing::Pattern;
using Perm = std::vector<std::size_t>;

// Full diagonal; each of the nodes 0 .. hubs-1 joined to every higher node below `reach`.
Pattern hubs(std::size_t n, std::size_t hubs, std::size_t reach) {
    testing::Entries e;
    for (std::size_t i = 0; i < n; ++i) e.push_back({i, i});
    for (std::size_t h = 0; h < hubs; ++h) {
        for (std::size_t i = h + 1; i < reach; ++i) e.insert(e.end(), {{h, i}, {i, h}});
    }
    return testing::from_entries(n, e);
}

// The nodes from `first` towards `last` (excluded), then `tail`.
Perm seq(std::size_t first, std::size_t last, const Perm& tail = {}) {
    Perm p;
    for (std::size_t i = first; i != last; first < last ? ++i : --i) p.push_back(i);
    p.insert(p.end(), tail.begin(), tail.end());
    return p;
}

TEST(AmdOrder, ExactOrders) {
    // At n = 121 a node of more than 110 neighbours is dense: dense nodes go last in increasing
    // order. A hub of exactly 110 is not: its leaves go from the highest down, then the hub, then
    // the isolated nodes as roots of their own.
    const std::vector<std::pair<Pattern, Perm>> cases = {
        {testing::tridiagonal(5), {4, 3, 2, 0, 1}},
        {hubs(5, 1, 5), {4, 3, 2, 1, 0}},
        {testing::from_entries(1, {{0, 0}}), {0}},
        {testing::from_entries(1, {}), {0}},
        {testing::from_entries(0, {}), {}},
        {hubs(7, 0, 7), seq(0, 7)},
        {hubs(6, 6, 6), seq(0, 6)},
        {hubs(121, 1, 121), seq(1, 121, {0})},
        {hubs(121, 2, 121), seq(2, 121, {0, 1})},
        {hubs(121, 1, 111), seq(110, 0, seq(0, 1, seq(111, 121)))},
    };
    for (const auto& [pat, want] : cases) {
        EXPECT_EQ(amd::amd_order(pat.n, pat.ap, pat.ai), want) << "n " << pat.n;
    }
}

TEST(AmdOrder, InvalidPatterns) {
    constexpr std::size_t huge = std::numeric_limits<std::size_t>::max();
    const std::vector<std::tuple<std::size_t, Perm, Perm>> absent = {
        {2, {}, {}},             // no column pointers
        {2, {1, 1, 1}, {0}},     // first pointer not zero
        {1, {0, huge}, {}},      // negative last pointer
        {2, {0, 2, 1}, {0, 1}},  // decreasing pointers
        {2, {0, 2, 2}, {1, 1}},  // repeated row
        {2, {0, 2, 2}, {1, 0}},  // rows out of order
        {2, {0, 1, 1}, {2}},     // row beyond n
    };
    for (const auto& [n, ap, ai] : absent)
        EXPECT_FALSE(amd::amd_order(n, ap, ai)) << ::testing::PrintToString(ap);
    // Too few column pointers, or a column past the end of the rows: a broken calling contract.
    EXPECT_THROW(amd::amd_order(2, Perm{0, 1}, Perm{0}), Stop);
    EXPECT_THROW(amd::amd_order(2, Perm{0, 1, 3}, Perm{0}), Stop);
}

}  // namespace
}  // namespace quillmere::klu_native
