#pragma once
// Small compressed-column patterns for the analysis tests.

#include <algorithm>
#include <cstddef>
#include <random>
#include <utility>
#include <vector>

namespace quillmere::klu_native::testing {

struct Pattern {
    std::size_t n = 0;
    std::vector<std::size_t> ap;
    std::vector<std::size_t> ai;

    bool has(std::size_t row, std::size_t col) const {
        return std::binary_search(ai.begin() + static_cast<std::ptrdiff_t>(ap[col]),
                                  ai.begin() + static_cast<std::ptrdiff_t>(ap[col + 1]), row);
    }
};

// Entries as (row, column); duplicates are merged and every column's rows sorted.
inline Pattern from_entries(std::size_t n, std::vector<std::pair<std::size_t, std::size_t>> e) {
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
    std::vector<std::pair<std::size_t, std::size_t>> e;
    for (std::size_t i = 0; i < n; ++i) {
        e.push_back({i, i});
        if (i + 1 < n) {
            e.push_back({i, i + 1});
            e.push_back({i + 1, i});
        }
    }
    return from_entries(n, e);
}

// Each entry present with probability density; the diagonal with probability diag.
inline Pattern random_pattern(std::size_t n, double density, double diag, std::mt19937_64& rng) {
    std::bernoulli_distribution off(density);
    std::bernoulli_distribution on_diag(diag);
    std::vector<std::pair<std::size_t, std::size_t>> e;
    for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t r = 0; r < n; ++r) {
            if (r == c ? on_diag(rng) : off(rng)) e.push_back({r, c});
        }
    }
    return from_entries(n, e);
}

inline bool is_permutation(const std::vector<std::size_t>& perm, std::size_t n) {
    if (perm.size() != n) return false;
    std::vector<bool> seen(n, false);
    for (std::size_t x : perm) {
        if (x >= n || seen[x]) return false;
        seen[x] = true;
    }
    return true;
}

}  // namespace quillmere::klu_native::testing
