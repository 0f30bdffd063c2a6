// One Newton solve of a synthetic meshed network of about 10,000 buses on the "scalar" backend:
// the first solve (pattern analysis and backend analysis included) against a repeated solve, and
// the time of one pass split into its three parts, measured with the loop's own building blocks.
// Then the same solve on each backend, with the largest voltage difference from "scalar".

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

#include "engine/newton.hpp"
#include "pass_timing.hpp"
#include "quillmere.hpp"
#include "synthetic_mesh.hpp"

using namespace quillmere;
using bench::Clock;
using bench::ms_since;
using bench::Network;
using bench::synthetic_mesh;

namespace {

std::vector<Bus> start_from(const Network& net) {
    return bench::start_from(net.buses, net.ybus);
}

}  // namespace

int main() {
    const double tol = 1e-8;
    const std::uint64_t max_iter = 20;
    const Network net = synthetic_mesh(10000, 7);
    std::size_t ybus_nnz = 0;
    for (const auto& row : net.ybus.rows) ybus_nnz += row.size();

    // First solve: builds the Jacobian pattern and the backend's symbolic analysis.
    PersistentSolver solver;
    std::vector<Bus> buses = start_from(net);
    auto t = Clock::now();
    auto [islands, stats] = solver.solve_with_stats(buses, net.ybus, max_iter, tol);
    const double first_ms = ms_since(t);
    const std::size_t passes = stats.history.size();
    if (stats.outcome != SolveOutcome::Converged) {
        std::printf("the synthetic network did not converge (outcome %d)\n",
                    static_cast<int>(stats.outcome));
        return 1;
    }

    // Repeated solves on the same solver: no analysis may happen again.
    std::vector<double> repeated;
    for (int k = 0; k < 5; ++k) {
        buses = start_from(net);
        t = Clock::now();
        auto [isl, st] = solver.solve_with_stats(buses, net.ybus, max_iter, tol);
        repeated.push_back(ms_since(t));
        if (st.history.size() != passes) return 1;
    }
    const double repeated_ms = bench::median(repeated);

    // The one-off analysis on its own.
    buses = start_from(net);
    t = Clock::now();
    const JacobianPattern pattern = JacobianPattern::analyze(buses, net.ybus);
    const double analyze_ms = ms_since(t);
    const UnknownLayout layout = unknown_layout(buses);
    const std::vector<Triplet<double>> triplets = bench::first_triplets(pattern, buses, net.ybus);
    t = Clock::now();
    std::optional<RealSparseSystem> system = RealSparseSystem::create(layout.dim(), triplets);
    const double create_ms = ms_since(t);
    if (!system) return 1;

    // One pass split into its parts, over the same passes the solve makes.
    const bench::PassTimes split = bench::timed_newton(std::span<Bus>(buses), net.ybus, layout,
                                                       pattern, *system, max_iter, tol);
    if (!split.converged || split.passes != passes) return 1;
    const std::size_t steps = split.steps();

    std::printf(
        "network: %zu buses (%zu PV, %zu PQ), %zu Y-bus entries; Jacobian %zu x %zu, %zu "
        "entries\n",
        net.ybus.n, layout.pvpq.size() - layout.pq.size(), layout.pq.size(), ybus_nnz, layout.dim(),
        layout.dim(), pattern.size());
    std::printf(
        "first solve:    %8.2f ms  (%zu passes; includes pattern analysis %.2f ms and "
        "backend analysis %.2f ms)\n",
        first_ms, passes, analyze_ms, create_ms);
    std::printf(
        "repeated solve: %8.2f ms  (median of 5; pattern builds %llu, backend creations "
        "%llu after 6 solves)\n",
        repeated_ms, static_cast<unsigned long long>(solver.pattern_builds()),
        static_cast<unsigned long long>(solver.backend_creations()));
    std::printf("per pass (%zu Newton steps, %zu mismatch evaluations):\n", steps, steps + 1);
    const std::pair<const char*, double> parts[] = {{"injections + mismatch", split.mismatch},
                                                    {"Jacobian fill", split.fill},
                                                    {"factor + solve", split.linear},
                                                    {"voltage update", split.update}};
    for (const auto& [part, ms] : parts) {
        std::printf("  %-21s %8.3f ms  %5.1f %%\n", part, ms / static_cast<double>(steps),
                    100 * ms / split.total());
    }

    // Every backend on the same start: first solve (its analysis included), then the median of
    // five repeated solves on the same solver.
    std::vector<Bus> reference;
    std::printf("per backend (%zu Newton passes expected):\n", passes);
    const std::array<std::pair<Backend, const char*>, 3> backends{
        {{Backend::Scalar, "scalar"},
         {Backend::Block, "block"},
         {Backend::KluNative, "klu_native"}}};
    for (const auto& [backend, name] : backends) {
        PersistentSolver s(backend);
        buses = start_from(net);
        t = Clock::now();
        auto [isl, st] = s.solve_with_stats(buses, net.ybus, max_iter, tol);
        const double first = ms_since(t);
        if (st.outcome != SolveOutcome::Converged) {
            std::printf("  %-10s did not converge (outcome %d)\n", name,
                        static_cast<int>(st.outcome));
            return 1;
        }
        std::vector<double> times;
        for (int k = 0; k < 5; ++k) {
            std::vector<Bus> again = start_from(net);
            t = Clock::now();
            s.solve_with_stats(again, net.ybus, max_iter, tol);
            times.push_back(ms_since(t));
        }
        if (reference.empty()) reference = buses;
        double dv = 0.0;
        for (std::size_t b = 0; b < buses.size(); ++b) {
            dv = std::max(dv, std::abs(std::polar(buses[b].vm, buses[b].va) -
                                       std::polar(reference[b].vm, reference[b].va)));
        }
        std::printf(
            "  %-10s first solve %8.2f ms, repeated solve %8.2f ms (median of 5), %zu passes, "
            "max |V - V_scalar| %.1e\n",
            name, first, bench::median(times), st.history.size(), dv);
    }
    return 0;
}
