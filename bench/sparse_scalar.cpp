// The "scalar" backend's cached path (pattern analysed once, values poured through the stored
// order) against a fresh Eigen SparseLU (assemble, analyse, factor, solve) on the same matrices.
// The matrix is a planar mesh like a power grid's: every node is coupled to its four neighbours,
// about five entries per column, structurally symmetric, diagonally dominant.

#include <Eigen/OrderingMethods>
#include <Eigen/SparseLU>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "linalg/sparse.hpp"

namespace {

using quillmere::Triplet;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kRows = 141;
constexpr std::size_t kCols = 142;
constexpr int kValueSets = 10;

std::vector<Triplet<double>> mesh_pattern() {
    std::vector<Triplet<double>> t;
    auto node = [](std::size_t r, std::size_t c) { return r * kCols + c; };
    for (std::size_t r = 0; r < kRows; ++r) {
        for (std::size_t c = 0; c < kCols; ++c) {
            const std::size_t i = node(r, c);
            t.push_back({i, i, 0.0});
            if (c + 1 < kCols) {
                t.push_back({i, node(r, c + 1), 0.0});
                t.push_back({node(r, c + 1), i, 0.0});
            }
            if (r + 1 < kRows) {
                t.push_back({i, node(r + 1, c), 0.0});
                t.push_back({node(r + 1, c), i, 0.0});
            }
        }
    }
    return t;
}

// Unsymmetric off-diagonal values, each diagonal one above the sum of its row's magnitudes.
std::vector<double> mesh_values(const std::vector<Triplet<double>>& pattern, std::size_t n,
                                std::mt19937_64& rng) {
    std::uniform_real_distribution<double> off(-1.0, -0.1);
    std::vector<double> values(pattern.size());
    std::vector<double> row_sum(n, 0.0);
    for (std::size_t k = 0; k < pattern.size(); ++k) {
        if (pattern[k].row == pattern[k].col) continue;
        values[k] = off(rng);
        row_sum[pattern[k].row] += std::abs(values[k]);
    }
    for (std::size_t k = 0; k < pattern.size(); ++k) {
        if (pattern[k].row == pattern[k].col) values[k] = row_sum[pattern[k].row] + 0.5;
    }
    return values;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds spent in each phase of the fresh path, summed over the value sets.
struct FreshPhases {
    double assemble = 0.0, analyse = 0.0, factor = 0.0, solve = 0.0;
    double total() const { return assemble + analyse + factor + solve; }
};

std::vector<double> fresh_solve(std::size_t n, const std::vector<Triplet<double>>& pattern,
                                const std::vector<double>& values, const std::vector<double>& rhs,
                                FreshPhases& phases) {
    auto start = Clock::now();
    std::vector<Eigen::Triplet<double>> list;
    list.reserve(pattern.size());
    for (std::size_t k = 0; k < pattern.size(); ++k) {
        list.emplace_back(static_cast<int>(pattern[k].row), static_cast<int>(pattern[k].col),
                          values[k]);
    }
    Eigen::SparseMatrix<double> a(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(n));
    a.setFromTriplets(list.begin(), list.end());
    phases.assemble += seconds_since(start);

    start = Clock::now();
    Eigen::SparseLU<Eigen::SparseMatrix<double>, Eigen::COLAMDOrdering<int>> lu;
    lu.analyzePattern(a);
    phases.analyse += seconds_since(start);

    start = Clock::now();
    lu.factorize(a);
    phases.factor += seconds_since(start);

    start = Clock::now();
    std::vector<double> x(n);
    Eigen::Map<Eigen::VectorXd>(x.data(), static_cast<Eigen::Index>(n)) =
        lu.solve(Eigen::Map<const Eigen::VectorXd>(rhs.data(), static_cast<Eigen::Index>(n)));
    phases.solve += seconds_since(start);
    return x;
}

}  // namespace

int main() {
    const std::size_t n = kRows * kCols;
    const auto pattern = mesh_pattern();
    std::mt19937_64 rng(20261206);
    std::vector<std::vector<double>> value_sets;
    for (int s = 0; s < kValueSets; ++s) value_sets.push_back(mesh_values(pattern, n, rng));
    std::vector<double> rhs(n);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (auto& b : rhs) b = unit(rng);

    auto start = Clock::now();
    auto system = quillmere::RealSparseSystem::create(n, pattern);
    const double create_s = seconds_since(start);
    if (!system) {
        std::fprintf(stderr, "pattern analysis failed\n");
        return 1;
    }

    std::vector<std::vector<double>> cached(kValueSets), fresh(kValueSets);
    start = Clock::now();
    for (int s = 0; s < kValueSets; ++s) {
        auto x = system->factor_and_solve_values(value_sets[s], rhs);
        if (!x) {
            std::fprintf(stderr, "cached solve %d failed\n", s);
            return 1;
        }
        cached[s] = std::move(*x);
    }
    const double cached_s = seconds_since(start) / kValueSets;

    FreshPhases phases;
    start = Clock::now();
    for (int s = 0; s < kValueSets; ++s) {
        fresh[s] = fresh_solve(n, pattern, value_sets[s], rhs, phases);
    }
    const double fresh_s = seconds_since(start) / kValueSets;

    double max_diff = 0.0;
    for (int s = 0; s < kValueSets; ++s) {
        for (std::size_t i = 0; i < n; ++i) {
            max_diff = std::max(max_diff, std::abs(cached[s][i] - fresh[s][i]));
        }
    }

    std::printf("sparse_scalar: n = %zu, %zu triplets (%.2f per column), %d value sets\n", n,
                pattern.size(), static_cast<double>(pattern.size()) / static_cast<double>(n),
                kValueSets);
    std::printf("  create (pattern + analysis, once):            %9.3f ms\n", create_s * 1e3);
    std::printf("  cached factor_and_solve_values, per matrix:   %9.3f ms\n", cached_s * 1e3);
    std::printf("  fresh assemble+analyse+factor+solve, per matrix: %6.3f ms\n", fresh_s * 1e3);
    std::printf("    of which assemble %.3f, analyse %.3f, factor %.3f, solve %.3f ms\n",
                phases.assemble / kValueSets * 1e3, phases.analyse / kValueSets * 1e3,
                phases.factor / kValueSets * 1e3, phases.solve / kValueSets * 1e3);
    std::printf("  ratio fresh / cached:                         %9.2f\n", fresh_s / cached_s);
    std::printf("  largest difference between the two solutions: %9.2e\n", max_diff);
    return 0;
}
