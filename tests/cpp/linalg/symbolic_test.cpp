#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common/stop.hpp"
#include "linalg/klu_native/amd/aat.hpp"
#include "linalg/klu_native/amd/amd.hpp"
#include "linalg/klu_native/amd/core.hpp"
#include "linalg/klu_native/amd/postorder.hpp"
#include "linalg/klu_native/analyze.hpp"
#include "support/sparse_systems.hpp"

namespace quillmere::klu_native {
namespace {

using test_support::from_entries;
using test_support::Pattern;
using Perm = std::vector<std::size_t>;
using Order = std::vector<std::uint32_t>;
using Lists = std::vector<std::vector<std::int32_t>>;

Lists lists_of(const amd::SymmetricLists& g) {
    Lists out;
    for (std::size_t i = 0; i < g.pe.size(); ++i) {
        const auto begin = g.iw.begin() + g.pe[i];
        out.emplace_back(begin, begin + g.len[i]);
    }
    return out;
}

// Full diagonal; each of the nodes 0 .. hubs-1 joined to every higher node below `reach`.
Pattern hubs(std::size_t n, std::size_t hubs, std::size_t reach) {
    test_support::Entries e;
    for (std::size_t i = 0; i < n; ++i) e.push_back({i, i});
    for (std::size_t h = 0; h < hubs; ++h) {
        for (std::size_t i = h + 1; i < reach; ++i) e.insert(e.end(), {{h, i}, {i, h}});
    }
    return from_entries(n, e);
}

// The nodes from `first` towards `last` (excluded), then `tail`.
Perm seq(std::size_t first, std::size_t last, const Perm& tail = {}) {
    Perm p;
    for (std::size_t i = first; i != last; first < last ? ++i : --i) p.push_back(i);
    p.insert(p.end(), tail.begin(), tail.end());
    return p;
}

TEST(AmdOrder, ExactOrdersAndInvalidPatterns) {
    // At n = 121 a node of more than 110 neighbours is dense: dense nodes go last in increasing
    // order. A hub of exactly 110 is not: its leaves go from the highest down, then the hub, then
    // the isolated nodes as roots of their own. A complete graph is one supervariable.
    const std::vector<std::pair<Pattern, Perm>> cases = {
        {test_support::tridiagonal(5), {4, 3, 2, 0, 1}},
        {hubs(5, 1, 5), {4, 3, 2, 1, 0}},
        {from_entries(1, {}), {0}},
        {from_entries(0, {}), {}},
        {hubs(6, 6, 6), seq(0, 6)},
        {hubs(121, 2, 121), seq(2, 121, {0, 1})},
        {hubs(121, 1, 111), seq(110, 0, seq(0, 1, seq(111, 121)))},
    };
    for (const auto& [pat, want] : cases) {
        EXPECT_EQ(amd::amd_order(pat.n, pat.ap, pat.ai), want) << "n " << pat.n;
    }
    constexpr std::size_t huge = std::numeric_limits<std::size_t>::max();
    const std::vector<std::tuple<std::size_t, Perm, Perm>> absent = {
        {2, {1, 1, 1}, {0}},     // first pointer not zero
        {1, {0, huge}, {}},      // negative last pointer
        {2, {0, 2, 1}, {0, 1}},  // decreasing pointers
        {2, {0, 2, 2}, {1, 1}},  // repeated row
        {2, {0, 1, 1}, {2}},     // row beyond n
    };
    for (const auto& [n, ap, ai] : absent) {
        EXPECT_FALSE(amd::amd_order(n, ap, ai)) << ::testing::PrintToString(ap);
    }
    EXPECT_THROW(amd::amd_order(2, Perm{0, 1, 3}, Perm{0}), Stop);  // column past the rows
    // Symmetric lists: column 0's lower row 2 is paired only in the final sweep; the upper entry
    // (0, 2) first catches up column 0's lower row 1.
    EXPECT_EQ(lists_of(amd::build_symmetric_lists(3, Order{0, 2, 4, 6}, Order{0, 2, 0, 1, 1, 2})),
              (Lists{{1, 2}, {0, 2}, {1, 0}}));
    EXPECT_EQ(lists_of(amd::build_symmetric_lists(3, Order{0, 2, 2, 3}, Order{1, 2, 0})),
              (Lists{{2, 1}, {0}, {0}}));
    // Children 0, 1, 2 of node 3: on equal keys the highest index stays last; a larger key moves
    // child 0 behind the others.
    using Keys = std::vector<std::int32_t>;
    const Keys parent = {3, 3, 3, -1}, nv = {1, 1, 1, 1};
    EXPECT_EQ(amd::postorder(4, parent, nv, Keys{0, 0, 0, 0}), (Keys{0, 1, 2, 3}));
    EXPECT_EQ(amd::postorder(4, parent, nv, Keys{5, 0, 0, 0}), (Keys{2, 0, 1, 3}));
}

// With no free room every new element's list first slides the live lists together; the order
// must not notice.
TEST(AmdOrder, OrderDoesNotDependOnFreeRoom) {
    std::mt19937_64 rng(20261207);
    for (std::size_t n : {5, 16, 40, 150, 400}) {
        for (double d : {0.01, 0.05, 0.2, 0.9}) {
            const Pattern pat =
                from_entries(n, test_support::random_entries(n, d, 0.5, false, rng));
            const Order ap(pat.ap.begin(), pat.ap.end()), ai(pat.ai.begin(), pat.ai.end());
            amd::SymmetricLists roomy = amd::build_symmetric_lists(n, ap, ai);
            amd::SymmetricLists tight = roomy;
            tight.iw.resize(static_cast<std::size_t>(tight.pfree));
            EXPECT_EQ(amd::amd_2(n, std::move(tight)), amd::amd_2(n, std::move(roomy)))
                << "n " << n << " density " << d;
        }
    }
}

// The analysis walks the pattern as compress_pattern promises it; any other stops.
TEST(Analyze, BrokenPatternsStop) {
    // (n, col_ptr, row_idx)
    const std::vector<std::tuple<std::uint32_t, Order, Order>> broken = {
        {2, {0, 2, 3}, {1, 0, 1}},  // rows not increasing
        {2, {0, 2, 3}, {0, 0, 1}},  // row repeated
        {2, {0, 2, 1}, {0, 1}},     // pointers decreasing
        {2, {0, 1, 3}, {0, 1, 2}},  // row beyond n
        {2, {1, 2, 3}, {0, 1, 1}},  // first pointer not zero
        {2, {0, 1, 4}, {0, 1, 1}},  // last pointer beyond the rows
    };
    for (const auto& [n, col_ptr, row_idx] : broken) {
        CompressedPattern a;
        a.n = n;
        a.col_ptr = col_ptr;
        a.row_idx = row_idx;
        EXPECT_THROW(analyze(a), Stop) << ::testing::PrintToString(col_ptr);
    }
}

TEST(Analyze, ExactResults) {
    // Rows 0 and 2 and columns 1 and 2 stay unmatched: they are paired in increasing order.
    const Pattern unmatched = from_entries(4, {{1, 0}, {3, 0}, {3, 3}, {1, 3}});
    // (pattern, p, q, r)
    const std::vector<std::tuple<Pattern, Order, Order, Order>> cases = {
        {from_entries(0, {}), {}, {}, {0}},
        {from_entries(1, {{0, 0}}), {0}, {0}, {0, 1}},
        {from_entries(2, {{0, 0}, {1, 0}, {1, 1}}), {1, 0}, {1, 0}, {0, 1, 2}},
        {from_entries(2, {{0, 0}, {1, 0}}), {1, 0}, {1, 0}, {0, 1, 2}},
        {test_support::tridiagonal(5), {4, 3, 2, 0, 1}, {4, 3, 2, 0, 1}, {0, 5}},
        // Blocks below 4 rows keep their order; from 4 rows on AMD orders them.
        {test_support::tridiagonal(3), {0, 1, 2}, {0, 1, 2}, {0, 3}},
        {test_support::tridiagonal(4), {3, 2, 0, 1}, {3, 2, 0, 1}, {0, 4}},
        {unmatched, {0, 1, 3, 2}, {1, 0, 3, 2}, {0, 1, 3, 4}},
    };
    for (const auto& [pat, p, q, r] : cases) {
        const Symbolic s = analyze(pat.n, pat.ap, pat.ai);
        EXPECT_EQ(std::tie(s.p, s.q, s.r), std::tie(p, q, r)) << "n " << pat.n;
    }
}

Pattern transpose(const Pattern& a) {
    Pattern t{a.n, Perm(a.n + 1, 0), Perm(a.ai.size())};
    for (std::size_t i : a.ai) ++t.ap[i + 1];
    for (std::size_t i = 0; i < a.n; ++i) t.ap[i + 1] += t.ap[i];
    Perm next(t.ap.begin(), t.ap.end() - 1);
    for (std::size_t j = 0; j < a.n; ++j) {
        for (std::size_t e = a.ap[j]; e < a.ap[j + 1]; ++e) t.ai[next[a.ai[e]]++] = j;
    }
    return t;
}

// Checks every promise of the analysis on one pattern; returns the first broken one, or an empty
// string. `perfect`: the pattern has a perfect matching, so the diagonal must be zero-free.
std::string check_symbolic(const Pattern& pat, const Symbolic& s, bool perfect) {
    const std::size_t n = pat.n;
    if (!test_support::is_permutation(Perm(s.p.begin(), s.p.end()), n) ||
        !test_support::is_permutation(Perm(s.q.begin(), s.q.end()), n))
        return "no perm";
    if (s.r.empty() || s.r.front() != 0 || s.r.back() != n ||
        std::adjacent_find(s.r.begin(), s.r.end(), std::greater_equal<>()) != s.r.end())
        return "r not increasing from 0 to n";
    Perm pinv(n), qinv(n), block(n);
    for (std::size_t k = 0; k < n; ++k) pinv[s.p[k]] = qinv[s.q[k]] = k;
    for (std::size_t b = 0; b + 1 < s.r.size(); ++b) {
        for (std::size_t k = s.r[b]; k < s.r[b + 1]; ++k) block[k] = b;
    }
    std::size_t diagonal = 0;
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t e = pat.ap[s.q[k]]; e < pat.ap[s.q[k] + 1]; ++e) {
            const std::size_t pos = pinv[pat.ai[e]];
            if (block[pos] > block[k]) return "entry below the block diagonal";
            diagonal += pos == k ? 1 : 0;
        }
    }
    if (perfect && diagonal != n) return "zero on the diagonal";
    // From its first position, the edges inside a block reach all of it, forwards along the
    // columns of A(p, q) and backwards along its rows.
    const Pattern at = transpose(pat);
    for (auto [g, col, pos] : {std::tuple{&pat, &s.q, &pinv}, std::tuple{&at, &s.p, &qinv}}) {
        std::vector<bool> reached(n, false);
        for (std::size_t b = 0, count = 0; b + 1 < s.r.size(); ++b, count = 0) {
            Perm todo = {s.r[b]};
            reached[s.r[b]] = true;
            for (; !todo.empty(); ++count) {
                const std::size_t c = (*col)[todo.back()];
                todo.pop_back();
                for (std::size_t e = g->ap[c]; e < g->ap[c + 1]; ++e) {
                    const std::size_t x = (*pos)[g->ai[e]];
                    if (block[x] == b && !reached[x]) todo.push_back(x);
                    reached[x] = reached[x] || block[x] == b;
                }
            }
            if (count != s.r[b + 1] - s.r[b]) return "block not strongly connected";
        }
    }
    return "";
}

// At n = 150 a density of 0.9 puts rows above the dense threshold of 10 sqrt(n) neighbours.
TEST(Analyze, RandomPatternsKeepEveryPromise) {
    std::mt19937_64 rng(20261206);
    for (std::size_t n : {1, 2, 3, 4, 5, 7, 10, 16, 25, 40, 64, 150}) {
        for (double d : {0.0, 0.03, 0.08, 0.2, 0.5, 0.9}) {
            for (double g : {0.0, 0.6, 1.0}) {
                for (bool matched : {false, true}) {
                    SCOPED_TRACE(::testing::Message() << "n " << n << " density " << d << " " << g);
                    const Pattern pat =
                        from_entries(n, test_support::random_entries(n, d, g, matched, rng));
                    EXPECT_EQ(
                        check_symbolic(pat, analyze(pat.n, pat.ap, pat.ai), matched || g == 1.0),
                        "");
                    const auto amd = amd::amd_order(pat.n, pat.ap, pat.ai);
                    EXPECT_TRUE(amd && test_support::is_permutation(*amd, n));
                }
            }
        }
    }
}

TEST(Analyze, MillionNodePathsNeedNoDeepCallStack) {
    constexpr std::size_t n = 1'000'000;
    // A lower bidiagonal is one depth-first chain through n blocks of one; with the last column
    // reaching only row 0 instead, the matching needs one augmenting path through every column;
    // the tridiagonal is one block whose assembly tree is a path.
    test_support::Entries chain;
    for (std::size_t j = 0; j + 1 < n; ++j) chain.insert(chain.end(), {{j, j}, {j + 1, j}});
    test_support::Entries shifted = chain;
    chain.push_back({n - 1, n - 1});
    shifted.push_back({0, n - 1});
    const std::vector<std::pair<Pattern, std::size_t>> cases = {{from_entries(n, chain), n},
                                                                {from_entries(n, shifted), n},
                                                                {test_support::tridiagonal(n), 1}};
    for (const auto& [pat, blocks] : cases) {
        const Symbolic s = analyze(pat.n, pat.ap, pat.ai);
        EXPECT_EQ(s.r.size(), blocks + 1);
        EXPECT_EQ(check_symbolic(pat, s, true), "");
    }
}

}  // namespace
}  // namespace quillmere::klu_native
