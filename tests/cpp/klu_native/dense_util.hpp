#pragma once
// Dense references for the numeric tests of the KLU-style backend.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "sparse.hpp"

namespace quillmere::klu_native::testing {

using Triplets = std::vector<Triplet<double>>;

struct Dense {
    std::size_t n = 0;
    std::vector<double> a;  // row-major

    double& at(std::size_t i, std::size_t j) { return a[i * n + j]; }
    double at(std::size_t i, std::size_t j) const { return a[i * n + j]; }
};

inline Dense to_dense(std::size_t n, const Triplets& t) {
    Dense d{n, std::vector<double>(n * n, 0.0)};
    for (const auto& e : t) d.at(e.row, e.col) += e.value;
    return d;
}

inline Triplets with_values(Triplets t, const std::vector<double>& values) {
    for (std::size_t k = 0; k < t.size(); ++k) t[k].value = values[k];
    return t;
}

inline std::vector<double> values_of(const Triplets& t) {
    std::vector<double> v;
    for (const auto& e : t) v.push_back(e.value);
    return v;
}

// Gaussian elimination with partial pivoting in extended precision; absent when singular.
inline std::optional<std::vector<double>> dense_solve(const Dense& d,
                                                      const std::vector<double>& b) {
    const std::size_t n = d.n;
    std::vector<long double> a(d.a.begin(), d.a.end());
    std::vector<long double> x(b.begin(), b.end());
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t piv = k;
        for (std::size_t i = k + 1; i < n; ++i) {
            if (std::fabs(a[i * n + k]) > std::fabs(a[piv * n + k])) piv = i;
        }
        if (a[piv * n + k] == 0.0L) return std::nullopt;
        if (piv != k) {
            for (std::size_t j = 0; j < n; ++j) std::swap(a[k * n + j], a[piv * n + j]);
            std::swap(x[k], x[piv]);
        }
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
    return std::vector<double>(x.begin(), x.end());
}

// Largest |x - y| relative to the largest |y| (at least 1).
inline double rel_diff(const std::vector<double>& x, const std::vector<double>& y) {
    double diff = 0.0, scale = 1.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        diff = std::max(diff, std::fabs(x[i] - y[i]));
        scale = std::max(scale, std::fabs(y[i]));
    }
    return diff / scale;
}

// A random n x n sparse pattern that holds a random permutation (so it is structurally
// nonsingular but rarely has a full diagonal) plus entries of the given density.
inline Triplets random_system(std::size_t n, double density, std::mt19937_64& rng) {
    std::vector<std::size_t> perm(n);
    for (std::size_t i = 0; i < n; ++i) perm[i] = i;
    std::shuffle(perm.begin(), perm.end(), rng);
    std::uniform_real_distribution<double> val(-1.0, 1.0);
    std::bernoulli_distribution on(density);
    Triplets t;
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = 0; i < n; ++i) {
            if (perm[j] == i || on(rng)) t.push_back({i, j, val(rng)});
        }
    }
    std::shuffle(t.begin(), t.end(), rng);
    return t;
}

}  // namespace quillmere::klu_native::testing
