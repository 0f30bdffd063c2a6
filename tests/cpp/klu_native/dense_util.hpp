#pragma once
// Dense reference solve and random systems for the numeric tests of both sparse backends.

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "klu_native/pattern_util.hpp"
#include "sparse.hpp"

namespace quillmere::testing {

using Triplets = std::vector<Triplet<double>>;
using Vec = std::vector<double>;

inline Vec values_of(const Triplets& t) {
    Vec v;
    for (const auto& e : t) v.push_back(e.value);
    return v;
}

// Gaussian elimination with partial pivoting in extended precision; absent when singular.
inline std::optional<Vec> dense_solve(std::size_t n, const Triplets& t, const Vec& b) {
    std::vector<long double> a(n * n, 0.0L), x(b.begin(), b.end());
    for (const auto& e : t) a[e.row * n + e.col] += e.value;
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t p = k;
        for (std::size_t i = k + 1; i < n; ++i) {
            if (std::fabs(a[i * n + k]) > std::fabs(a[p * n + k])) p = i;
        }
        if (a[p * n + k] == 0.0L) return std::nullopt;
        for (std::size_t j = 0; j < n; ++j) std::swap(a[k * n + j], a[p * n + j]);
        std::swap(x[k], x[p]);
        for (std::size_t i = k + 1; i < n; ++i) {
            const long double m = a[i * n + k] / a[k * n + k];
            for (std::size_t j = k; j < n; ++j) a[i * n + j] -= m * a[k * n + j];
            x[i] -= m * x[k];
        }
    }
    for (std::size_t k = n; k-- > 0;) {
        for (std::size_t j = k + 1; j < n; ++j) x[k] -= a[k * n + j] * x[j];
        x[k] /= a[k * n + k];
    }
    return Vec(x.begin(), x.end());
}

// Largest |x - y| relative to the largest |y| (at least 1).
inline double rel_diff(const Vec& x, const Vec& y) {
    double diff = 0.0, scale = 1.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        diff = std::max(diff, std::fabs(x[i] - y[i]));
        scale = std::max(scale, std::fabs(y[i]));
    }
    return diff / scale;
}

// Random structurally nonsingular n x n triplets in shuffled order, pivots mostly off the
// diagonal; an eighth of the positions are given twice, so they must be summed.
inline Triplets random_system(std::size_t n, double density, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> val(-1.0, 1.0);
    Triplets t;
    for (auto [r, c] : random_entries(n, density, density, true, rng))
        t.push_back({r, c, val(rng)});
    for (std::size_t k = 0, twice = t.size() / 8; k < twice; ++k) {
        t.push_back({t[k].row, t[k].col, val(rng)});
    }
    std::shuffle(t.begin(), t.end(), rng);
    return t;
}

}  // namespace quillmere::testing
