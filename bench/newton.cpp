// One Newton solve of a synthetic meshed network of about 10,000 buses on the "scalar" backend:
// the first solve (pattern analysis and backend analysis included) against a repeated solve, and
// the time of one pass split into its three parts, measured with the loop's own building blocks.
// Then the same solve on each backend, with the largest voltage difference from "scalar".

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "newton.hpp"
#include "quillmere.hpp"
#include "synthetic_mesh.hpp"

using namespace quillmere;
using bench::Network;
using bench::synthetic_mesh;

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::vector<Bus> start_from(const Network& net) {
    std::vector<Bus> buses = net.buses;
    network::linear_initial_guess(buses, net.ybus);
    return buses;
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
    std::sort(repeated.begin(), repeated.end());
    const double repeated_ms = repeated[repeated.size() / 2];

    // The one-off analysis on its own.
    buses = start_from(net);
    t = Clock::now();
    const JacobianPattern pattern = JacobianPattern::analyze(buses, net.ybus);
    const double analyze_ms = ms_since(t);
    const UnknownLayout layout = unknown_layout(buses);
    std::vector<Triplet<double>> triplets;
    for (std::size_t k = 0; k < pattern.rows.size(); ++k) {
        triplets.push_back({pattern.rows[k], pattern.cols[k], 0.0});
    }
    t = Clock::now();
    std::optional<RealSparseSystem> system = RealSparseSystem::create(layout.dim(), triplets);
    const double create_ms = ms_since(t);
    if (!system) return 1;

    // One pass split into its parts, over the same passes the solve makes.
    double inj_ms = 0, fill_ms = 0, solve_ms = 0, update_ms = 0;
    std::vector<double> mismatch(layout.dim()), values;
    values.reserve(pattern.size());
    std::size_t steps = 0;
    for (;;) {
        t = Clock::now();
        const auto [p, q] = network::power_injections(buses, net.ybus);
        compute_mismatch(buses, layout, p, q, mismatch);
        const double norm = mismatch_norm(mismatch);
        inj_ms += ms_since(t);
        if (norm < tol) break;
        t = Clock::now();
        pattern.fill(buses, p, q, values);
        fill_ms += ms_since(t);
        t = Clock::now();
        const auto x = system->factor_and_solve_values(values, mismatch);
        solve_ms += ms_since(t);
        if (!x) return 1;
        t = Clock::now();
        const std::size_t npvpq = layout.pvpq.size();
        for (std::size_t k = 0; k < npvpq; ++k) buses[layout.pvpq[k]].va += (*x)[k];
        for (std::size_t k = 0; k < layout.pq.size(); ++k)
            buses[layout.pq[k]].vm += (*x)[npvpq + k];
        update_ms += ms_since(t);
        ++steps;
    }
    const double pass_total = inj_ms + fill_ms + solve_ms + update_ms;

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
    const double per = static_cast<double>(steps);
    std::printf("  injections + mismatch %8.3f ms  %5.1f %%\n", inj_ms / per,
                100 * inj_ms / pass_total);
    std::printf("  Jacobian fill         %8.3f ms  %5.1f %%\n", fill_ms / per,
                100 * fill_ms / pass_total);
    std::printf("  factor + solve        %8.3f ms  %5.1f %%\n", solve_ms / per,
                100 * solve_ms / pass_total);
    std::printf("  voltage update        %8.3f ms  %5.1f %%\n", update_ms / per,
                100 * update_ms / pass_total);

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
        std::sort(times.begin(), times.end());
        if (reference.empty()) reference = buses;
        double dv = 0.0;
        for (std::size_t b = 0; b < buses.size(); ++b) {
            dv = std::max(dv, std::abs(std::polar(buses[b].vm, buses[b].va) -
                                       std::polar(reference[b].vm, reference[b].va)));
        }
        std::printf(
            "  %-10s first solve %8.2f ms, repeated solve %8.2f ms (median of 5), %zu passes, "
            "max |V - V_scalar| %.1e\n",
            name, first, times[times.size() / 2], st.history.size(), dv);
    }
    return 0;
}
