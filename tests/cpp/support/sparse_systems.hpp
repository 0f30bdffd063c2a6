#pragma once
// Patterns, random systems and a dense reference solve for the tests of both sparse backends.

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "linalg/sparse.hpp"

namespace quillmere::test_support {

using Entries = std::vector<std::pair<std::size_t, std::size_t>>;  // (row, column)
using Triplets = std::vector<Triplet<double>>;
using Vec = std::vector<double>;

// Compressed columns; duplicates are merged and every column's rows sorted.
struct Pattern {
    std::size_t n = 0;
    std::vector<std::size_t> ap;
    std::vector<std::size_t> ai;
};

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

inline bool is_permutation(std::vector<std::size_t> perm, std::size_t n) {
    std::sort(perm.begin(), perm.end());
    for (std::size_t i = 0; i < perm.size(); ++i) {
        if (perm[i] != i) return false;
    }
    return perm.size() == n;
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

inline Vec values_of(const Triplets& t) {
    Vec v;
    for (const auto& e : t) v.push_back(e.value);
    return v;
}

// Dense LU with full pivoting, independent of both backends; absent when singular.
inline std::optional<Vec> dense_solve(std::size_t n, const Triplets& t, const Vec& b) {
    Eigen::MatrixXd a = Eigen::MatrixXd::Zero(Eigen::Index(n), Eigen::Index(n));
    for (const auto& e : t) a(Eigen::Index(e.row), Eigen::Index(e.col)) += e.value;
    const Eigen::FullPivLU<Eigen::MatrixXd> lu(a);
    if (!lu.isInvertible()) return std::nullopt;
    const Eigen::VectorXd x = lu.solve(Eigen::Map<const Eigen::VectorXd>(b.data(), a.rows()));
    return Vec(x.begin(), x.end());
}

// Largest |x - y| relative to the largest |y| (at least 1).
template <class T>
double rel_diff(const std::vector<T>& x, const std::vector<T>& y) {
    double diff = 0.0, scale = 1.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        diff = std::max(diff, std::abs(x[i] - y[i]));
        scale = std::max(scale, std::abs(y[i]));
    }
    return diff / scale;
}

}  // namespace quillmere::test_support
