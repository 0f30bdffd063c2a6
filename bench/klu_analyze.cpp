// Symbolic analysis of the KLU-style backend on Jacobian-like patterns: planar grid meshes of
// buses, each bus two unknowns (angle, magnitude, interleaved) coupled by full 2x2 blocks to itself
// and its four neighbours. Prints the analysis time and the fill nnz(L+U) of a symbolic Cholesky
// count on the symmetrised pattern, under the analysis order and under the natural order.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "linalg/klu_native/analyze.hpp"

namespace {

using quillmere::klu_native::analyze;
using quillmere::klu_native::Symbolic;

struct Pattern {
    std::size_t n = 0;
    std::vector<std::size_t> ap;
    std::vector<std::size_t> ai;
};

Pattern mesh_jacobian(std::size_t rows, std::size_t cols) {
    const std::size_t buses = rows * cols;
    Pattern pat{2 * buses, {0}, {}};
    std::vector<std::size_t> near;
    for (std::size_t b = 0; b < buses; ++b) {
        const std::size_t r = b / cols;
        const std::size_t c = b % cols;
        near.clear();
        if (r > 0) near.push_back(b - cols);
        if (c > 0) near.push_back(b - 1);
        near.push_back(b);
        if (c + 1 < cols) near.push_back(b + 1);
        if (r + 1 < rows) near.push_back(b + cols);
        for (int s = 0; s < 2; ++s) {
            for (std::size_t m : near) {
                pat.ai.push_back(2 * m);
                pat.ai.push_back(2 * m + 1);
            }
            pat.ap.push_back(pat.ai.size());
        }
    }
    return pat;
}

// nnz(L+U) of a factorisation without pivoting of the pattern A(p, q) + A(p, q)^T: elimination
// tree, then the row counts of L by walking row subtrees.
std::size_t symbolic_fill(const Pattern& a, const std::vector<std::uint32_t>& p,
                          const std::vector<std::uint32_t>& q) {
    const std::size_t n = a.n;
    std::vector<std::size_t> pinv(n), qinv(n);
    for (std::size_t k = 0; k < n; ++k) {
        pinv[p[k]] = k;
        qinv[q[k]] = k;
    }
    // Lower neighbours of every node of the symmetrised permuted pattern.
    std::vector<std::size_t> lp(n + 1, 0), li;
    auto each_pair = [&](auto&& f) {
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t x = a.ap[j]; x < a.ap[j + 1]; ++x) {
                const std::size_t r = pinv[a.ai[x]];
                const std::size_t c = qinv[j];
                if (r != c) f(std::max(r, c), std::min(r, c));
            }
        }
    };
    each_pair([&](std::size_t hi, std::size_t) { ++lp[hi + 1]; });
    for (std::size_t k = 0; k < n; ++k) lp[k + 1] += lp[k];
    li.resize(lp[n]);
    std::vector<std::size_t> fill(lp.begin(), lp.end() - 1);
    each_pair([&](std::size_t hi, std::size_t lo) { li[fill[hi]++] = lo; });

    constexpr std::size_t none = static_cast<std::size_t>(-1);
    std::vector<std::size_t> parent(n, none), ancestor(n, none);
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t x = lp[k]; x < lp[k + 1]; ++x) {
            std::size_t i = li[x];
            while (i != none && i < k) {
                const std::size_t next = ancestor[i];
                ancestor[i] = k;
                if (next == none) parent[i] = k;
                i = next;
            }
        }
    }
    std::vector<std::size_t> mark(n, none);
    std::size_t strict = 0;
    for (std::size_t k = 0; k < n; ++k) {
        mark[k] = k;
        for (std::size_t x = lp[k]; x < lp[k + 1]; ++x) {
            for (std::size_t j = li[x]; mark[j] != k; j = parent[j]) {
                mark[j] = k;
                ++strict;
            }
        }
    }
    return n + 2 * strict;
}

void run(std::size_t rows, std::size_t cols, int reps) {
    const Pattern a = mesh_jacobian(rows, cols);
    std::vector<double> ms;
    Symbolic s;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        s = analyze(a.n, a.ap, a.ai);
        const auto t1 = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    std::vector<std::uint32_t> natural(a.n);
    for (std::size_t k = 0; k < a.n; ++k) natural[k] = static_cast<std::uint32_t>(k);
    const std::size_t fill_amd = symbolic_fill(a, s.p, s.q);
    const std::size_t fill_nat = symbolic_fill(a, natural, natural);
    std::printf(
        "mesh %zux%zu buses: n = %zu unknowns, nnz(A) = %zu, blocks = %zu\n"
        "  analyze: min %.2f ms, median %.2f ms over %d runs\n"
        "  nnz(L+U): analysis order %zu (%.2f x nnz(A)), natural order %zu (%.2f x nnz(A)), "
        "ratio %.1f\n",
        rows, cols, a.n, a.ai.size(), s.r.size() - 1, ms.front(), ms[ms.size() / 2], reps, fill_amd,
        static_cast<double>(fill_amd) / static_cast<double>(a.ai.size()), fill_nat,
        static_cast<double>(fill_nat) / static_cast<double>(a.ai.size()),
        static_cast<double>(fill_nat) / static_cast<double>(fill_amd));
}

}  // namespace

int main() {
    run(100, 100, 7);  // 20,000 unknowns
    run(400, 250, 5);  // 200,000 unknowns
    return 0;
}
