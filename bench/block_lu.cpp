// The "block" backend on a planar mesh of 2x2 blocks like a power grid's Jacobian: every block row
// couples to itself and its four grid neighbours, structurally symmetric, diagonally dominant.
// The analysis (COLAMD order and block fill) is made once; every value set is then assembled,
// finished, refactored and solved. Prints the time of each phase from one run and the largest
// residual |A x - rhs| as a check.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "block_sparse.hpp"

namespace {

using quillmere::Block;
using quillmere::BlockAdjacency;
using quillmere::BlockEntry;
using quillmere::BlockLu;
using quillmere::BlockMatrix;
using quillmere::BlockSymbolic;
using quillmere::BlockVector;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kRows = 100;
constexpr std::size_t kCols = 100;
constexpr int kValueSets = 20;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Entries pushed row by row, columns ascending, as the Newton assembly pushes them.
BlockMatrix mesh_matrix(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> off(-1.0, 1.0);
    BlockMatrix m;
    m.n = kRows * kCols;
    m.entries.reserve(5 * m.n);
    std::vector<std::size_t> near;
    for (std::size_t b = 0; b < m.n; ++b) {
        const std::size_t r = b / kCols;
        const std::size_t c = b % kCols;
        near.clear();
        if (r > 0) near.push_back(b - kCols);
        if (c > 0) near.push_back(b - 1);
        near.push_back(b);
        if (c + 1 < kCols) near.push_back(b + 1);
        if (r + 1 < kRows) near.push_back(b + kCols);
        std::size_t diagonal = 0;
        double sum0 = 0.0, sum1 = 0.0;
        for (const std::size_t j : near) {
            if (j == b) {
                diagonal = m.entries.size();
                m.entries.push_back({b, b, {0.0, off(rng), off(rng), 0.0}});
                continue;
            }
            const Block blk{off(rng), off(rng), off(rng), off(rng)};
            sum0 += std::abs(blk[0]) + std::abs(blk[1]);
            sum1 += std::abs(blk[2]) + std::abs(blk[3]);
            m.entries.push_back({b, j, blk});
        }
        Block& d = m.entries[diagonal].block;
        d[0] = sum0 + std::abs(d[1]) + 1.0;
        d[3] = sum1 + std::abs(d[2]) + 1.0;
    }
    return m;
}

double residual(const BlockMatrix& m, const std::vector<BlockVector>& x,
                const std::vector<BlockVector>& rhs) {
    std::vector<BlockVector> ax(m.n, BlockVector{0.0, 0.0});
    for (const BlockEntry& e : m.entries) {
        ax[e.row][0] += e.block[0] * x[e.col][0] + e.block[1] * x[e.col][1];
        ax[e.row][1] += e.block[2] * x[e.col][0] + e.block[3] * x[e.col][1];
    }
    double worst = 0.0;
    for (std::size_t k = 0; k < m.n; ++k) {
        worst = std::max({worst, std::abs(ax[k][0] - rhs[k][0]), std::abs(ax[k][1] - rhs[k][1])});
    }
    return worst;
}

}  // namespace

int main() {
    std::mt19937_64 rng(20261206);
    std::vector<BlockMatrix> matrices;
    for (int s = 0; s < kValueSets; ++s) matrices.push_back(mesh_matrix(rng));
    const std::size_t n = matrices[0].n;
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<BlockVector> rhs(n);
    for (BlockVector& v : rhs) v = {unit(rng), unit(rng)};

    auto start = Clock::now();
    const BlockAdjacency first = BlockMatrix(matrices[0]).finish();
    const double first_finish_s = seconds_since(start);

    start = Clock::now();
    const auto order = first.colamd_order();
    const double colamd_s = seconds_since(start);
    start = Clock::now();
    const BlockSymbolic symbolic = BlockSymbolic::analyze(first);
    const double analyze_s = seconds_since(start);

    double finish_s = 0.0, refactor_s = 0.0, solve_s = 0.0, worst = 0.0;
    for (const BlockMatrix& m : matrices) {
        start = Clock::now();
        const BlockAdjacency adj = BlockMatrix(m).finish();
        finish_s += seconds_since(start);
        start = Clock::now();
        const auto lu = BlockLu::refactor(symbolic, adj);
        refactor_s += seconds_since(start);
        if (!lu) {
            std::fprintf(stderr, "refactor failed\n");
            return 1;
        }
        start = Clock::now();
        const auto x = lu->solve(rhs);
        solve_s += seconds_since(start);
        worst = std::max(worst, residual(m, x, rhs));
    }

    std::printf("mesh %zux%zu: n = %zu blocks, %zu block entries, fill L+U = %zu blocks\n", kRows,
                kCols, n, first.rows.index.size(),
                symbolic.l_pattern.index.size() + symbolic.u_pattern.index.size());
    std::printf("analyze once:            %8.3f ms (COLAMD order alone %.3f ms, %s)\n",
                1e3 * analyze_s, 1e3 * colamd_s,
                order == symbolic.order ? "same order" : "DIFFERS");
    std::printf(
        "per matrix (mean of %d): finish %.3f ms, refactor %.3f ms, solve %.3f ms, "
        "refactor+solve %.3f ms\n",
        kValueSets, 1e3 * finish_s / kValueSets, 1e3 * refactor_s / kValueSets,
        1e3 * solve_s / kValueSets, 1e3 * (refactor_s + solve_s) / kValueSets);
    std::printf("first finish %.3f ms; largest residual |A x - rhs| = %.3g\n", 1e3 * first_finish_s,
                worst);
    return 0;
}
