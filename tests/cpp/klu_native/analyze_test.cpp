#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "klu_native/amd/amd.hpp"
#include "klu_native/analyze.hpp"
#include "klu_native/pattern_util.hpp"

namespace quillmere::klu_native {
namespace {

using testing::from_entries;
using testing::Pattern;
using Perm = std::vector<std::size_t>;

Symbolic run(const Pattern& pat) {
    return analyze(pat.n, pat.ap, pat.ai);
}

TEST(Analyze, ExactResultsOfSmallPatterns) {
    struct Case {
        const char* name;
        Pattern pat;
        Perm p, q, r;
    };
    std::vector<std::pair<std::size_t, std::size_t>> diag;
    for (std::size_t i = 0; i < 4; ++i) diag.push_back({i, i});
    std::vector<std::pair<std::size_t, std::size_t>> lower;
    for (std::size_t j = 0; j < 4; ++j) {
        for (std::size_t i = j; i < 4; ++i) lower.push_back({i, j});
    }
    const std::vector<Case> cases = {
        {"empty", from_entries(0, {}), {}, {}, {0}},
        {"one entry", from_entries(1, {{0, 0}}), {0}, {0}, {0, 1}},
        {"one empty column", from_entries(1, {}), {0}, {0}, {0, 1}},
        {"diagonal", from_entries(4, diag), {0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2, 3, 4}},
        {"lower triangular 4", from_entries(4, lower), {3, 2, 1, 0}, {3, 2, 1, 0}, {0, 1, 2, 3, 4}},
        {"lower triangular 2",
         from_entries(2, {{0, 0}, {1, 0}, {1, 1}}),
         {1, 0},
         {1, 0},
         {0, 1, 2}},
        {"empty second column", from_entries(2, {{0, 0}, {1, 0}}), {1, 0}, {1, 0}, {0, 1, 2}},
        {"tridiagonal 5", testing::tridiagonal(5), {4, 3, 2, 0, 1}, {4, 3, 2, 0, 1}, {0, 5}},
        {"tridiagonal 3 keeps its order", testing::tridiagonal(3), {0, 1, 2}, {0, 1, 2}, {0, 3}},
    };
    for (const Case& c : cases) {
        const Symbolic s = run(c.pat);
        EXPECT_EQ(s.p, c.p) << c.name;
        EXPECT_EQ(s.q, c.q) << c.name;
        EXPECT_EQ(s.r, c.r) << c.name;
    }
}

TEST(Analyze, BlockOfFourRowsIsOrderedByAmd) {
    const Pattern pat = testing::tridiagonal(4);
    const Symbolic s = run(pat);
    const auto amd = amd::amd_order(4, pat.ap, pat.ai);
    ASSERT_TRUE(amd.has_value());
    EXPECT_NE(*amd, (Perm{0, 1, 2, 3}));
    EXPECT_EQ(s.p, *amd);
    EXPECT_EQ(s.q, *amd);
}

TEST(Analyze, PermutationMatrixGetsItsEntriesOnTheDiagonal) {
    const Pattern pat = from_entries(5, {{2, 0}, {4, 1}, {0, 2}, {1, 3}, {3, 4}});
    const Symbolic s = run(pat);
    for (std::size_t k = 0; k < 5; ++k) EXPECT_TRUE(pat.has(s.p[k], s.q[k])) << k;
}

// Size of a maximum matching by plain augmenting paths, as an independent reference.
std::size_t reference_matching(const Pattern& pat) {
    std::vector<std::int64_t> row_match(pat.n, -1);
    std::vector<bool> seen;
    std::function<bool(std::size_t)> augment = [&](std::size_t col) {
        for (std::size_t p = pat.ap[col]; p < pat.ap[col + 1]; ++p) {
            const std::size_t i = pat.ai[p];
            if (seen[i]) continue;
            seen[i] = true;
            if (row_match[i] < 0 || augment(static_cast<std::size_t>(row_match[i]))) {
                row_match[i] = static_cast<std::int64_t>(col);
                return true;
            }
        }
        return false;
    };
    std::size_t size = 0;
    for (std::size_t j = 0; j < pat.n; ++j) {
        seen.assign(pat.n, false);
        if (augment(j)) ++size;
    }
    return size;
}

// Checks every promise of the analysis on one pattern; returns a description of the first
// broken one, or an empty string.
std::string check_symbolic(const Pattern& pat, const Symbolic& s) {
    const std::size_t n = pat.n;
    if (!testing::is_permutation(s.p, n)) return "p is no permutation";
    if (!testing::is_permutation(s.q, n)) return "q is no permutation";
    if (s.r.empty() || s.r.front() != 0 || s.r.back() != n) return "r has wrong ends";
    for (std::size_t b = 0; b + 1 < s.r.size(); ++b) {
        if (s.r[b] >= s.r[b + 1]) return "r not increasing";
    }
    Perm pinv(n), block(n);
    for (std::size_t k = 0; k < n; ++k) pinv[s.p[k]] = k;
    for (std::size_t b = 0; b + 1 < s.r.size(); ++b) {
        for (std::size_t k = s.r[b]; k < s.r[b + 1]; ++k) block[k] = b;
    }
    // Forward and backward edges inside each block, between positions.
    std::vector<Perm> fwd(n), bwd(n);
    std::size_t diagonal = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t col = s.q[k];
        for (std::size_t p = pat.ap[col]; p < pat.ap[col + 1]; ++p) {
            const std::size_t pos = pinv[pat.ai[p]];
            if (block[pos] > block[k]) return "entry below the block diagonal";
            if (pos == k) ++diagonal;
            if (block[pos] == block[k]) {
                fwd[k].push_back(pos);
                bwd[pos].push_back(k);
            }
        }
    }
    if (diagonal != reference_matching(pat)) return "diagonal count differs from matching size";
    for (std::size_t b = 0; b + 1 < s.r.size(); ++b) {
        const std::size_t k1 = s.r[b];
        const std::size_t nk = s.r[b + 1] - k1;
        if (nk < 4) {
            for (std::size_t k = k1 + 1; k < k1 + nk; ++k) {
                if (s.p[k - 1] > s.p[k]) return "small block not in natural order";
            }
        }
        for (const auto* adj : {&fwd, &bwd}) {
            std::vector<bool> reached(n, false);
            Perm todo = {k1};
            reached[k1] = true;
            std::size_t count = 0;
            while (!todo.empty()) {
                const std::size_t k = todo.back();
                todo.pop_back();
                ++count;
                for (std::size_t x : (*adj)[k]) {
                    if (!reached[x]) {
                        reached[x] = true;
                        todo.push_back(x);
                    }
                }
            }
            if (count != nk) return "block not strongly connected";
        }
    }
    return "";
}

TEST(Analyze, RandomPatternsKeepEveryPromise) {
    std::mt19937_64 rng(20261206);
    const std::vector<std::size_t> sizes = {1, 2, 3, 4, 5, 7, 10, 16, 25, 40, 64};
    const std::vector<double> densities = {0.0, 0.03, 0.08, 0.2, 0.5};
    const std::vector<double> diagonals = {0.0, 0.6, 1.0};
    std::size_t cases = 0;
    for (std::size_t n : sizes) {
        for (double d : densities) {
            for (double g : diagonals) {
                const Pattern pat = testing::random_pattern(n, d, g, rng);
                const std::string broken = check_symbolic(pat, run(pat));
                EXPECT_EQ(broken, "") << "n " << n << " density " << d << " diagonal " << g;
                ++cases;
            }
        }
    }
    // Permuted diagonals: a perfect matching that the cheap pass cannot see directly.
    for (std::size_t rep = 0; rep < 60; ++rep) {
        const std::size_t n = 5 + rep;
        Perm shuffle(n);
        for (std::size_t i = 0; i < n; ++i) shuffle[i] = i;
        std::shuffle(shuffle.begin(), shuffle.end(), rng);
        std::bernoulli_distribution extra(3.0 / static_cast<double>(n));
        std::vector<std::pair<std::size_t, std::size_t>> e;
        for (std::size_t j = 0; j < n; ++j) {
            e.push_back({shuffle[j], j});
            for (std::size_t i = 0; i < n; ++i) {
                if (extra(rng)) e.push_back({i, j});
            }
        }
        const Pattern pat = from_entries(n, e);
        const Symbolic s = run(pat);
        EXPECT_EQ(check_symbolic(pat, s), "") << "n " << n;
        for (std::size_t k = 0; k < n; ++k) EXPECT_TRUE(pat.has(s.p[k], s.q[k])) << n;
        ++cases;
    }
    EXPECT_GE(cases, 200u);
}

TEST(Analyze, MillionNodePathsNeedNoDeepCallStack) {
    constexpr std::size_t n = 1'000'000;
    // Lower bidiagonal: one depth-first chain through all nodes, n blocks of one.
    std::vector<std::size_t> ap(n + 1), ai;
    for (std::size_t j = 0; j < n; ++j) {
        ap[j] = ai.size();
        ai.push_back(j);
        if (j + 1 < n) ai.push_back(j + 1);
    }
    ap[n] = ai.size();
    const Symbolic chain = analyze(n, ap, ai);
    ASSERT_EQ(chain.r.size(), n + 1);
    EXPECT_EQ(chain.p.front(), n - 1);
    EXPECT_EQ(chain.q.back(), 0u);

    // The same with the last column reaching only row 0 instead: the matching needs one
    // augmenting path through every column, and every entry of it must reach the diagonal.
    ap.assign(n + 1, 0);
    ai.clear();
    for (std::size_t j = 0; j + 1 < n; ++j) {
        ap[j] = ai.size();
        ai.push_back(j);
        ai.push_back(j + 1);
    }
    ap[n - 1] = ai.size();
    ai.push_back(0);
    ap[n] = ai.size();
    const Symbolic shifted = analyze(n, ap, ai);
    ASSERT_EQ(shifted.r.size(), n + 1);
    ASSERT_TRUE(testing::is_permutation(shifted.p, n));
    std::size_t on_diagonal = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t col = shifted.q[k];
        on_diagonal +=
            std::binary_search(ai.begin() + static_cast<std::ptrdiff_t>(ap[col]),
                               ai.begin() + static_cast<std::ptrdiff_t>(ap[col + 1]), shifted.p[k]);
    }
    EXPECT_EQ(on_diagonal, n);

    // Tridiagonal: one block whose assembly tree is a path of n nodes.
    const Pattern tri = testing::tridiagonal(n);
    const Symbolic path = run(tri);
    EXPECT_EQ(path.r, (Perm{0, n}));
    EXPECT_TRUE(testing::is_permutation(path.p, n));
    EXPECT_EQ(path.p, path.q);
}

}  // namespace
}  // namespace quillmere::klu_native
