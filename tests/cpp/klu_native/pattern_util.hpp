#pragma once
// Compressed-column patterns for the analysis tests.

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

namespace quillmere::testing {

using Entries = std::vector<std::pair<std::size_t, std::size_t>>;  // (row, column)

struct Pattern {
    std::size_t n = 0;
    std::vector<std::size_t> ap;
    std::vector<std::size_t> ai;
};

// Duplicates are merged and every column's rows sorted.
inline Pattern from_entries(std::size_t n, Entries e) {
    std::sort(e.begin(), e.end(), [](auto a, auto b) {
        return a.second != b.second ? a.second < b.second : a.first < b.first;
    });
    e.erase(std::unique(e.begin(), e.end()), e.end());
    Pattern pat{n, std::vector<std::size_t>(n + 1, 0), {}};
    for (auto [r, c] : e) {
        ++pat.ap[c + 1];
        pat.ai.push_back(r);
    }
    for (std::size_t j = 0; j < n; ++j) pat.ap[j + 1] += pat.ap[j];
    return pat;
}

inline Pattern tridiagonal(std::size_t n) {
    Entries e;
    for (std::size_t i = 0; i < n; ++i) {
        e.push_back({i, i});
        if (i + 1 < n) e.insert(e.end(), {{i, i + 1}, {i + 1, i}});
    }
    return from_entries(n, e);
}

// Each off-diagonal entry present with probability `density`, each diagonal one with probability
// `diag`; with `matched`, also the entries of a random permutation: a perfect matching that rarely
// lies on the diagonal.
inline Entries random_entries(std::size_t n, double density, double diag, bool matched,
                              std::mt19937_64& rng) {
    std::vector<std::size_t> perm(n);
    std::iota(perm.begin(), perm.end(), std::size_t{0});
    std::shuffle(perm.begin(), perm.end(), rng);
    std::bernoulli_distribution off(density), on_diag(diag);
    Entries e;
    for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t r = 0; r < n; ++r) {
            if ((r == c ? on_diag(rng) : off(rng)) || (matched && perm[c] == r))
                e.push_back({r, c});
        }
    }
    return e;
}

inline bool is_permutation(const std::vector<std::size_t>& perm, std::size_t n) {
    std::vector<bool> seen(n, false);
    for (std::size_t x : perm) {
        if (x >= n || seen[x]) return false;
        seen[x] = true;
    }
    return perm.size() == n;
}

}  // namespace quillmere::testing
