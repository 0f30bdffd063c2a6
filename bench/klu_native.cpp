// The "klu_native" backend against the "scalar" one on polar Newton Jacobians of a synthetic
// planar grid: 100 x 100 buses, a random spanning tree of the square mesh plus extra mesh lines up
// to an average degree near 2.7 as in real grids, slack at bus 0, every other bus PQ (so every
// coupling is a full 2x2 block). Each value set is the exact Jacobian at a different random
// operating point near flat start. Prints, from one run: create (analysis and, for klu_native,
// the first factorisation with pivoting), factor_and_solve_values per matrix, the fill of the
// pivoting factorisation and the agreement of the two backends.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <numeric>
#include <random>
#include <vector>

#include "linalg/compressed_pattern.hpp"
#include "linalg/klu_native/analyze.hpp"
#include "linalg/klu_native/factor.hpp"
#include "linalg/klu_native/klu_native.hpp"
#include "linalg/sparse.hpp"

namespace {

using quillmere::KluNativeSystem;
using quillmere::RealSparseSystem;
using quillmere::Triplet;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kSide = 100;
constexpr int kValueSets = 10;
constexpr int kRounds = 3;
constexpr int kCreateReps = 5;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Grid {
    std::size_t buses = 0;
    std::vector<std::vector<std::pair<std::size_t, std::complex<double>>>> adj;  // off-diagonal Y
    std::vector<std::complex<double>> diag;                                      // Y_ii
};

std::size_t find_root(std::vector<std::size_t>& parent, std::size_t i) {
    while (parent[i] != i) i = parent[i] = parent[parent[i]];
    return i;
}

Grid planar_grid(std::mt19937_64& rng) {
    const std::size_t n = kSide * kSide;
    std::vector<std::pair<std::size_t, std::size_t>> edges;
    for (std::size_t r = 0; r < kSide; ++r) {
        for (std::size_t c = 0; c < kSide; ++c) {
            const std::size_t i = r * kSide + c;
            if (c + 1 < kSide) edges.push_back({i, i + 1});
            if (r + 1 < kSide) edges.push_back({i, i + kSide});
        }
    }
    std::shuffle(edges.begin(), edges.end(), rng);
    std::vector<std::size_t> parent(n);
    std::iota(parent.begin(), parent.end(), std::size_t{0});
    std::vector<std::pair<std::size_t, std::size_t>> chosen, extra;
    for (auto [a, b] : edges) {
        const std::size_t ra = find_root(parent, a), rb = find_root(parent, b);
        if (ra != rb) {
            parent[ra] = rb;
            chosen.push_back({a, b});
        } else {
            extra.push_back({a, b});
        }
    }
    const std::size_t want = static_cast<std::size_t>(1.35 * static_cast<double>(n));
    for (std::size_t k = 0; chosen.size() < want && k < extra.size(); ++k)
        chosen.push_back(extra[k]);

    std::uniform_real_distribution<double> u(0.0, 1.0);
    Grid g{n, std::vector<std::vector<std::pair<std::size_t, std::complex<double>>>>(n),
           std::vector<std::complex<double>>(n)};
    for (auto [a, b] : chosen) {
        const std::complex<double> y =
            1.0 / std::complex<double>(0.001 + 0.002 * u(rng), 0.005 + 0.01 * u(rng));
        const std::complex<double> shunt(0.0, 0.0005);
        g.adj[a].push_back({b, -y});
        g.adj[b].push_back({a, -y});
        g.diag[a] += y + shunt;
        g.diag[b] += y + shunt;
    }
    for (auto& row : g.adj)
        std::sort(row.begin(), row.end(), [](auto x, auto y) { return x.first < y.first; });
    return g;
}

// Unknowns: the angles of buses 1..n-1, then their magnitudes; bus 0 is the slack.
std::vector<Triplet<double>> jacobian(const Grid& g, const std::vector<double>& va,
                                      const std::vector<double>& vm) {
    const std::size_t n = g.buses;
    const std::size_t m = n - 1;
    std::vector<double> p(n, 0.0), q(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        auto add = [&](std::size_t j, std::complex<double> y) {
            const double t = va[i] - va[j];
            p[i] += vm[i] * vm[j] * (y.real() * std::cos(t) + y.imag() * std::sin(t));
            q[i] += vm[i] * vm[j] * (y.real() * std::sin(t) - y.imag() * std::cos(t));
        };
        add(i, g.diag[i]);
        for (auto [j, y] : g.adj[i]) add(j, y);
    }
    std::vector<Triplet<double>> t;
    for (std::size_t i = 1; i < n; ++i) {
        const std::size_t ra = i - 1, rv = m + i - 1;
        const double gi = g.diag[i].real(), bi = g.diag[i].imag();
        t.push_back({ra, ra, -q[i] - bi * vm[i] * vm[i]});
        t.push_back({ra, rv, p[i] / vm[i] + gi * vm[i]});
        t.push_back({rv, ra, p[i] - gi * vm[i] * vm[i]});
        t.push_back({rv, rv, q[i] / vm[i] - bi * vm[i]});
        for (auto [j, y] : g.adj[i]) {
            if (j == 0) continue;
            const std::size_t ca = j - 1, cv = m + j - 1;
            const double th = va[i] - va[j], s = std::sin(th), c = std::cos(th);
            const double gs_bc = y.real() * s - y.imag() * c;
            const double gc_bs = y.real() * c + y.imag() * s;
            t.push_back({ra, ca, vm[i] * vm[j] * gs_bc});
            t.push_back({ra, cv, vm[i] * gc_bs});
            t.push_back({rv, ca, -vm[i] * vm[j] * gc_bs});
            t.push_back({rv, cv, vm[i] * gs_bc});
        }
    }
    return t;
}

}  // namespace

int main() {
    std::mt19937_64 rng(20261206);
    const Grid grid = planar_grid(rng);
    std::size_t lines = 0;
    for (const auto& row : grid.adj) lines += row.size();
    lines /= 2;

    std::uniform_real_distribution<double> angle(-0.15, 0.15), mag(0.95, 1.05), unit(-1.0, 1.0);
    std::vector<std::vector<Triplet<double>>> sets;
    for (int s = 0; s < kValueSets; ++s) {
        std::vector<double> va(grid.buses), vm(grid.buses);
        for (std::size_t i = 0; i < grid.buses; ++i) {
            va[i] = i == 0 ? 0.0 : angle(rng);
            vm[i] = i == 0 ? 1.0 : mag(rng);
        }
        sets.push_back(jacobian(grid, va, vm));
    }
    const std::size_t n = 2 * (grid.buses - 1);
    std::vector<std::vector<double>> values;
    for (const auto& t : sets) {
        std::vector<double> v;
        for (const auto& e : t) v.push_back(e.value);
        values.push_back(std::move(v));
    }
    std::vector<double> rhs(n);
    for (double& b : rhs) b = 0.01 * unit(rng);
    const auto& first = sets[0];

    // Creation, repeated; the klu_native one split into its three steps as well.
    std::vector<double> klu_create, scalar_create, t_csc, t_analyze, t_factor;
    std::size_t nblocks = 0, fill = 0;
    for (int r = 0; r < kCreateReps; ++r) {
        auto start = Clock::now();
        auto k = KluNativeSystem::create(n, first);
        klu_create.push_back(ms_since(start));
        start = Clock::now();
        auto s = RealSparseSystem::create(n, first);
        scalar_create.push_back(ms_since(start));
        if (!k || !s) {
            std::fprintf(stderr, "create failed\n");
            return 1;
        }
        const auto& m = k->matrix();
        nblocks = m.r.size() - 1;
        fill = n + k->numeric().lx.size() + k->numeric().ux.size();
        for (std::size_t c = 0; c < n; ++c) fill += m.block_start[c] - m.a.col_ptr[c];

        namespace kn = quillmere::klu_native;
        start = Clock::now();
        const auto pattern =
            quillmere::compress_pattern(n, std::span<const Triplet<double>>(first));
        t_csc.push_back(ms_since(start));
        start = Clock::now();
        const std::optional<kn::Symbolic> sym = kn::analyze(*pattern);
        t_analyze.push_back(ms_since(start));
        start = Clock::now();
        kn::PermutedMatrix layout = kn::permute(*pattern, *sym);
        std::vector<double> first_values(first.size()), ax(layout.a.entries());
        for (std::size_t t = 0; t < first.size(); ++t) first_values[t] = first[t].value;
        layout.a.scatter(std::span<const double>(first_values), std::span<double>(ax));
        const auto num = kn::factor(layout, ax, *sym, 0.001);
        kn::move_to_pivot_rows(layout, *sym, num->pnum, ax);
        t_factor.push_back(ms_since(start));
    }

    auto klu = KluNativeSystem::create(n, first);
    auto scalar = RealSparseSystem::create(n, first);
    std::vector<double> klu_solve, scalar_solve;
    std::vector<std::vector<double>> klu_x(kValueSets), scalar_x(kValueSets);
    for (int round = 0; round < kRounds; ++round) {
        for (int s = 0; s < kValueSets; ++s) {
            auto start = Clock::now();
            auto x = klu->factor_and_solve_values(values[s], rhs);
            klu_solve.push_back(ms_since(start));
            start = Clock::now();
            auto y = scalar->factor_and_solve_values(values[s], rhs);
            scalar_solve.push_back(ms_since(start));
            if (!x || !y) {
                std::fprintf(stderr, "factor_and_solve_values failed on set %d\n", s);
                return 1;
            }
            klu_x[s] = std::move(*x);
            scalar_x[s] = std::move(*y);
        }
    }

    double max_diff = 0.0, max_x = 0.0, max_res = 0.0;
    for (int s = 0; s < kValueSets; ++s) {
        std::vector<double> res(rhs);
        double scale = 0.0;
        for (const auto& e : sets[s]) {
            res[e.row] -= e.value * klu_x[s][e.col];
            scale = std::max(scale, std::fabs(e.value));
        }
        for (std::size_t i = 0; i < n; ++i) {
            max_diff = std::max(max_diff, std::fabs(klu_x[s][i] - scalar_x[s][i]));
            max_x = std::max(max_x, std::fabs(scalar_x[s][i]));
            max_res = std::max(max_res, std::fabs(res[i]) / scale);
        }
    }

    std::printf(
        "klu_native vs scalar: %zux%zu planar grid, %zu buses, %zu lines, n = %zu unknowns, "
        "%zu triplets, %zu blocks\n",
        kSide, kSide, grid.buses, lines, n, first.size(), nblocks);
    std::printf(
        "  create, min of %d:       klu_native %8.2f ms  (pattern %.2f + analyze %.2f + "
        "layout and factor %.2f)   scalar %8.2f ms\n",
        kCreateReps, *std::min_element(klu_create.begin(), klu_create.end()),
        *std::min_element(t_csc.begin(), t_csc.end()),
        *std::min_element(t_analyze.begin(), t_analyze.end()),
        *std::min_element(t_factor.begin(), t_factor.end()),
        *std::min_element(scalar_create.begin(), scalar_create.end()));
    std::printf(
        "  factor_and_solve_values, median of %d matrices: klu_native %8.2f ms   "
        "scalar %8.2f ms   (scalar / klu_native %.2f)\n",
        kRounds * kValueSets, median(klu_solve), median(scalar_solve),
        median(scalar_solve) / median(klu_solve));
    std::printf("  klu_native nnz(L+U+off) = %zu (%.2f x nnz(A))\n", fill,
                static_cast<double>(fill) / static_cast<double>(klu->matrix().a.entries()));
    std::printf(
        "  largest |x_klu - x_scalar| = %.2e (largest |x| %.2e), "
        "largest klu_native residual / max|A| = %.2e\n",
        max_diff, max_x, max_res);
    return 0;
}
