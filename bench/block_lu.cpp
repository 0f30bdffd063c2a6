// The "block" backend in two settings.
//
// Mesh: the block LU alone on a planar mesh of 2x2 blocks like a power grid's Jacobian (every block
// row coupled to itself and its four grid neighbours, diagonally dominant): the analysis once, then
// per value set the assignment, refactor and solve, and the largest residual |A x - rhs| as a
// check.
//
// Data networks: the block Newton pass split into its parts (injections and mismatch, block
// assembly, refactor, step solve and update), measured with the loop's own building blocks over
// the passes a solve makes; JacobianPattern::fill per pass (the values of "scalar" and
// "klu_native", from the same couplings); and whole repeated solves on "block" and "klu_native",
// the Newton loop alone and as the Python solve() runs it (a copy of the buses and the linear
// initial guess first).
//
//   bench_block_lu            (from the repository root, or with QM_DATA_DIR set)

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "data_networks.hpp"
#include "engine/jacobian.hpp"
#include "engine/newton.hpp"
#include "engine/newton_block.hpp"
#include "engine/solver.hpp"
#include "linalg/block_sparse.hpp"
#include "pass_timing.hpp"

namespace {

using namespace quillmere;
using bench::Clock;
using bench::median;
using bench::ms_since;

constexpr std::size_t kRows = 100;
constexpr std::size_t kCols = 100;
constexpr int kValueSets = 20;
constexpr double kTol = 1e-6;
constexpr std::uint64_t kMaxIter = 30;
constexpr int kRepeats = 9;

struct MeshMatrix {
    std::vector<std::size_t> rows;
    std::vector<std::size_t> cols;
    std::vector<Block> blocks;
};

// Positions row by row, columns ascending, as the Newton assembly lists them.
MeshMatrix mesh_matrix(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> off(-1.0, 1.0);
    MeshMatrix m;
    std::vector<std::size_t> near;
    for (std::size_t b = 0; b < kRows * kCols; ++b) {
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
            if (j == b) diagonal = m.blocks.size();
            const Block blk = j == b ? Block{0.0, off(rng), off(rng), 0.0}
                                     : Block{off(rng), off(rng), off(rng), off(rng)};
            if (j != b) {
                sum0 += std::abs(blk[0]) + std::abs(blk[1]);
                sum1 += std::abs(blk[2]) + std::abs(blk[3]);
            }
            m.rows.push_back(b);
            m.cols.push_back(j);
            m.blocks.push_back(blk);
        }
        Block& d = m.blocks[diagonal];
        d[0] = sum0 + std::abs(d[1]) + 1.0;
        d[3] = sum1 + std::abs(d[2]) + 1.0;
    }
    return m;
}

double residual(const MeshMatrix& m, const std::vector<BlockVector>& x,
                const std::vector<BlockVector>& rhs) {
    std::vector<BlockVector> ax(rhs.size(), BlockVector{0.0, 0.0});
    for (std::size_t t = 0; t < m.blocks.size(); ++t) {
        const Block& b = m.blocks[t];
        const BlockVector& xc = x[m.cols[t]];
        ax[m.rows[t]][0] += b[0] * xc[0] + b[1] * xc[1];
        ax[m.rows[t]][1] += b[2] * xc[0] + b[3] * xc[1];
    }
    double worst = 0.0;
    for (std::size_t k = 0; k < rhs.size(); ++k) {
        worst = std::max({worst, std::abs(ax[k][0] - rhs[k][0]), std::abs(ax[k][1] - rhs[k][1])});
    }
    return worst;
}

void print_counts(const BlockLuCounts& c) {
    std::printf("  %zu blocks, %zu matrix blocks, fill L %zu + U %zu blocks, %llu block updates\n",
                c.n, c.matrix_blocks, c.l_blocks, c.u_blocks,
                static_cast<unsigned long long>(c.updates));
}

void bench_mesh() {
    std::mt19937_64 rng(20261206);
    std::vector<MeshMatrix> matrices;
    for (int s = 0; s < kValueSets; ++s) matrices.push_back(mesh_matrix(rng));
    const std::size_t n = kRows * kCols;
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<BlockVector> rhs(n);
    for (BlockVector& v : rhs) v = {unit(rng), unit(rng)};

    auto t = Clock::now();
    BlockLu lu = BlockLu::analyze(n, matrices[0].rows, matrices[0].cols);
    const double analyze_ms = ms_since(t);

    double assign_ms = 0.0, refactor_ms = 0.0, solve_ms = 0.0, worst = 0.0;
    for (const MeshMatrix& m : matrices) {
        t = Clock::now();
        lu.assign(m.blocks);
        assign_ms += ms_since(t);
        t = Clock::now();
        if (!lu.refactor()) {
            std::printf("mesh: refactor failed\n");
            return;
        }
        refactor_ms += ms_since(t);
        std::vector<BlockVector> x = rhs;
        t = Clock::now();
        lu.solve(x);
        solve_ms += ms_since(t);
        worst = std::max(worst, residual(m, x, rhs));
    }
    std::printf("mesh %zux%zu, analysis once %.3f ms:\n", kRows, kCols, analyze_ms);
    print_counts(lu.counts());
    std::printf(
        "  per matrix (mean of %d): assign %.3f ms, refactor %.3f ms, solve %.3f ms; largest "
        "residual %.3g\n",
        kValueSets, assign_ms / kValueSets, refactor_ms / kValueSets, solve_ms / kValueSets, worst);
}

struct Split {
    double injections = 0, fill = 0, assemble = 0, refactor = 0, solve = 0;
    std::size_t steps = 0;
};

// The passes of one block solve from `start`, each part's time summed; the scalar Jacobian is
// filled at the same voltages, its values unused.
bool split_passes(const std::vector<Bus>& start, const YBusSparse& ybus, BlockAnalysis& analysis,
                  const JacobianPattern& pattern, Split& split) {
    std::vector<Bus> buses = start;
    const UnknownLayout layout = unknown_layout(buses);
    std::vector<double> values;
    const bench::PassTimes times = bench::timed_iterate(
        buses, ybus, layout, kMaxIter, kTol,
        [&](std::span<const network::BusPower> at) {
            auto t = Clock::now();
            pattern.fill(at, values);
            split.fill += ms_since(t);
            t = Clock::now();
            analysis.assemble(at);
            split.assemble += ms_since(t);
        },
        [&](std::span<const double> mismatch) {
            auto t = Clock::now();
            if (!analysis.lu.refactor()) return false;
            split.refactor += ms_since(t);
            t = Clock::now();
            analysis.solve_step(mismatch);
            split.solve += ms_since(t);
            return true;
        },
        [&] {
            for (std::size_t k = 0; k < layout.pvpq.size(); ++k) {
                buses[layout.pvpq[k]].va += analysis.step[k][0];
                buses[layout.pvpq[k]].vm += analysis.step[k][1];
            }
        });
    split.injections = times.mismatch;
    split.solve += times.update;
    split.steps = times.steps();
    return times.converged;
}

struct SolveTimes {
    double first = 0, newton = 0, with_guess = 0, least = 0;
    std::size_t passes = 0;
};

// The first solve, then the median of repeated solves: the Newton loop alone, and with the copy
// and the initial guess that the Python solve() makes first.
SolveTimes time_solves(Backend backend, const pgm::LoadedNetwork& net) {
    PersistentSolver solver(backend);
    SolveTimes times;
    std::vector<double> newton, with_guess;
    for (int r = 0; r <= kRepeats; ++r) {
        const auto t0 = Clock::now();
        std::vector<Bus> buses = net.buses;
        network::linear_initial_guess(buses, net.ybus);
        const auto t1 = Clock::now();
        const auto [islands, stats] = solver.solve_with_stats(buses, net.ybus, kMaxIter, kTol);
        const double newton_ms = ms_since(t1);
        if (r == 0) {
            times.first = ms_since(t0);
            times.passes = stats.history.size();
            continue;
        }
        newton.push_back(newton_ms);
        with_guess.push_back(ms_since(t0));
    }
    times.newton = median(newton);
    times.least = *std::min_element(with_guess.begin(), with_guess.end());
    times.with_guess = median(with_guess);
    return times;
}

void bench_network(const char* file) {
    const std::optional<pgm::LoadedNetwork> loaded = bench::load_data_network(file);
    if (!loaded) return;
    const pgm::LoadedNetwork& net = *loaded;

    // max_iter 0 rewrites sourceless islands as a solve does, without a pass.
    std::vector<Bus> start = net.buses;
    network::linear_initial_guess(start, net.ybus);
    PersistentSolver(Backend::Block).solve_with_stats(start, net.ybus, 0, kTol);

    auto t = Clock::now();
    BlockAnalysis analysis = BlockAnalysis::analyze(start, net.ybus);
    const double block_analysis_ms = ms_since(t);
    t = Clock::now();
    const JacobianPattern pattern = JacobianPattern::analyze(start, net.ybus);
    const double pattern_ms = ms_since(t);

    // Each part's least time per pass over the repeats: the machine may be shared.
    Split best{1e300, 1e300, 1e300, 1e300, 1e300, 0};
    for (int r = 0; r < kRepeats; ++r) {
        Split split;
        if (!split_passes(start, net.ybus, analysis, pattern, split)) {
            std::printf("%-24s block passes did not converge\n", file);
            return;
        }
        const double per = static_cast<double>(split.steps);
        best.injections = std::min(best.injections, split.injections / per);
        best.fill = std::min(best.fill, split.fill / per);
        best.assemble = std::min(best.assemble, split.assemble / per);
        best.refactor = std::min(best.refactor, split.refactor / per);
        best.solve = std::min(best.solve, split.solve / per);
        best.steps = split.steps;
    }
    const double pass = best.injections + best.assemble + best.refactor + best.solve;
    const BlockLuCounts counts = analysis.lu.counts();

    std::printf("%s: %zu buses, %zu couplings, Jacobian %zu entries\n", file, start.size(),
                analysis.couplings.size(), pattern.size());
    print_counts(counts);
    std::printf("  analysis once: block %.2f ms, Jacobian pattern %.2f ms\n", block_analysis_ms,
                pattern_ms);
    std::printf(
        "  block pass (%zu steps, least of %d runs): injections+mismatch %.3f, assembly %.3f, "
        "refactor %.3f (%.2f Gflop/s), solve+update %.3f; total %.3f ms\n",
        best.steps, kRepeats, best.injections, best.assemble, best.refactor,
        16.0 * static_cast<double>(counts.updates) / best.refactor * 1e-6, best.solve, pass);
    std::printf("  JacobianPattern::fill per pass %.3f ms\n", best.fill);
    for (const auto& [backend, name] :
         {std::pair{Backend::Block, "block"}, std::pair{Backend::KluNative, "klu_native"}}) {
        const SolveTimes s = time_solves(backend, net);
        std::printf(
            "  %-10s %zu passes: first %.2f ms; repeated (median of %d): Newton %.2f ms, with "
            "copy and initial guess %.2f ms (least %.2f)\n",
            name, s.passes, s.first, kRepeats, s.newton, s.with_guess, s.least);
    }
}

}  // namespace

int main() {
    bench_mesh();
    for (const char* file : bench::kSolveNetworks) bench_network(file);
    return 0;
}
