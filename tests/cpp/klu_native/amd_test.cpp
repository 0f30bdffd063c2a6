#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "klu_native/amd/aat.hpp"
#include "klu_native/amd/amd.hpp"
#include "klu_native/amd/postorder.hpp"
#include "klu_native/pattern_util.hpp"
#include "stop.hpp"

namespace quillmere::klu_native {
namespace {

using testing::from_entries;
using testing::Pattern;
using Perm = std::vector<std::size_t>;

Perm order(const Pattern& pat) {
    auto perm = amd::amd_order(pat.n, pat.ap, pat.ai);
    EXPECT_TRUE(perm.has_value());
    return perm.value_or(Perm{});
}

Pattern arrow(std::size_t n, std::size_t hub_degree) {
    std::vector<std::pair<std::size_t, std::size_t>> e;
    for (std::size_t i = 0; i < n; ++i) e.push_back({i, i});
    for (std::size_t i = 1; i <= hub_degree; ++i) {
        e.push_back({0, i});
        e.push_back({i, 0});
    }
    return from_entries(n, e);
}

Perm iota_perm(std::size_t first, std::size_t last) {
    Perm p;
    for (std::size_t i = first; i < last; ++i) p.push_back(i);
    return p;
}

TEST(AmdOrder, ExactOrdersOfSmallPatterns) {
    EXPECT_EQ(order(testing::tridiagonal(5)), (Perm{4, 3, 2, 0, 1}));
    EXPECT_EQ(order(arrow(5, 4)), (Perm{4, 3, 2, 1, 0}));
    EXPECT_EQ(order(from_entries(1, {{0, 0}})), (Perm{0}));
    EXPECT_EQ(order(from_entries(1, {})), (Perm{0}));
    EXPECT_EQ(amd::amd_order(0, std::vector<std::size_t>{}, {}), Perm{});
}

TEST(AmdOrder, EdgelessPatternsGiveTheIdentity) {
    std::vector<std::pair<std::size_t, std::size_t>> diag;
    for (std::size_t i = 0; i < 7; ++i) diag.push_back({i, i});
    EXPECT_EQ(order(from_entries(7, diag)), iota_perm(0, 7));
    EXPECT_EQ(order(from_entries(7, {})), iota_perm(0, 7));
}

TEST(AmdOrder, DenseNodesGoLastInIncreasingOrder) {
    // n = 121: the threshold is 110 neighbours. A dense hub leaves its leaves as separate roots.
    Perm expected = iota_perm(1, 121);
    expected.push_back(0);
    EXPECT_EQ(order(arrow(121, 120)), expected);
    EXPECT_EQ(order(arrow(121, 111)).back(), 0u);

    // Two dense hubs: both at the end, lower index first.
    std::vector<std::pair<std::size_t, std::size_t>> e;
    for (std::size_t i = 2; i < 121; ++i) {
        for (std::size_t hub : {std::size_t{1}, std::size_t{0}}) {
            e.push_back({hub, i});
            e.push_back({i, hub});
        }
    }
    Perm two = iota_perm(2, 121);
    two.push_back(0);
    two.push_back(1);
    EXPECT_EQ(order(from_entries(121, e)), two);
}

TEST(AmdOrder, HubWithinTheThresholdIsEliminatedLikeTheSmallArrow) {
    // 110 neighbours is not dense: the leaves go from the highest index down, then the hub,
    // then the isolated nodes as roots of their own.
    Perm expected = iota_perm(1, 111);
    std::reverse(expected.begin(), expected.end());
    expected.push_back(0);
    for (std::size_t i = 111; i < 121; ++i) expected.push_back(i);
    EXPECT_EQ(order(arrow(121, 110)), expected);
}

TEST(AmdOrder, CompleteGraphIsOneSupervariableInIncreasingOrder) {
    std::vector<std::pair<std::size_t, std::size_t>> e;
    for (std::size_t i = 0; i < 6; ++i) {
        for (std::size_t j = 0; j < 6; ++j) e.push_back({i, j});
    }
    EXPECT_EQ(order(from_entries(6, e)), iota_perm(0, 6));
}

TEST(AmdOrder, InvalidPatternsGiveNoResult) {
    constexpr std::size_t huge = std::numeric_limits<std::size_t>::max();
    struct Case {
        const char* name;
        std::size_t n;
        std::vector<std::size_t> ap;
        std::vector<std::size_t> ai;
    };
    const std::vector<Case> cases = {
        {"no column pointers", 2, {}, {}},           {"first pointer not zero", 2, {1, 1, 1}, {0}},
        {"negative last pointer", 1, {0, huge}, {}}, {"decreasing pointers", 2, {0, 2, 1}, {0, 1}},
        {"repeated row", 2, {0, 2, 2}, {1, 1}},      {"rows out of order", 2, {0, 2, 2}, {1, 0}},
        {"row beyond n", 2, {0, 1, 1}, {2}},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(amd::amd_order(c.n, c.ap, c.ai).has_value()) << c.name;
    }
}

TEST(AmdOrder, BrokenCallingContractStops) {
    const std::vector<std::size_t> short_ap = {0, 1};
    const std::vector<std::size_t> ai = {0};
    EXPECT_THROW(amd::amd_order(2, short_ap, ai), Stop);
    const std::vector<std::size_t> past_end = {0, 1, 3};
    EXPECT_THROW(amd::amd_order(2, past_end, ai), Stop);
}

TEST(AmdOrder, RandomPatternsGivePermutations) {
    std::mt19937_64 rng(7);
    const std::vector<std::size_t> sizes = {1, 2, 3, 5, 8, 13, 30, 60, 101, 150};
    const std::vector<double> densities = {0.0, 0.02, 0.1, 0.3, 0.9};
    for (std::size_t n : sizes) {
        for (double d : densities) {
            for (int rep = 0; rep < 3; ++rep) {
                const Pattern pat = testing::random_pattern(n, d, 0.5, rng);
                const auto perm = amd::amd_order(pat.n, pat.ap, pat.ai);
                ASSERT_TRUE(perm.has_value()) << n << " " << d;
                EXPECT_TRUE(testing::is_permutation(*perm, n)) << n << " " << d;
            }
        }
    }
}

TEST(BuildSymmetricLists, PushOrderDependsOnTheTriangle) {
    // Entries (0,0), (2,0), (0,1), (1,1), (1,2), (2,2) and their transpose.
    const Pattern a = from_entries(3, {{0, 0}, {2, 0}, {0, 1}, {1, 1}, {1, 2}, {2, 2}});
    const amd::AdjacencyLists expected_a = {{1, 2}, {0, 2}, {1, 0}};
    EXPECT_EQ(amd::build_symmetric_lists(3, a.ap, a.ai), expected_a);
    const Pattern at = from_entries(3, {{0, 0}, {0, 2}, {1, 0}, {1, 1}, {2, 1}, {2, 2}});
    const amd::AdjacencyLists expected_at = {{2, 1}, {0, 2}, {0, 1}};
    EXPECT_EQ(amd::build_symmetric_lists(3, at.ap, at.ai), expected_at);
}

TEST(Postorder, LargestKeyLastAndLaterChildWinsTies) {
    const std::vector<std::int64_t> parent = {3, 3, 3, -1, -1};
    const std::vector<std::int64_t> nv = {1, 1, 1, 1, 0};
    const std::vector<std::int64_t> big_first = {5, 1, 1, 0, 0};
    EXPECT_EQ(amd::postorder(5, parent, nv, big_first), (Perm{2, 0, 1, 3, amd::not_in_tree}));
    const std::vector<std::int64_t> ties = {2, 2, 2, 0, 0};
    EXPECT_EQ(amd::postorder(5, parent, nv, ties), (Perm{0, 1, 2, 3, amd::not_in_tree}));
}

}  // namespace
}  // namespace quillmere::klu_native
