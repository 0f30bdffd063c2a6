#pragma once
// What the engine benchmarks share: a millisecond clock, the median, the start solve() makes, and
// the Newton loop replayed with the engine's own calls, each part of a pass timed on its own.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/types.hpp"
#include "engine/jacobian.hpp"
#include "engine/newton.hpp"
#include "engine/solver.hpp"
#include "network/network.hpp"

namespace quillmere::bench {

using Clock = std::chrono::steady_clock;

inline double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The middle value (the upper one of an even count); 0 for no values.
inline double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

// What solve() starts the Newton loop from: a copy of the template buses, moved to the linear
// initial guess.
inline std::vector<Bus> start_from(std::span<const Bus> buses, const YBusSparse& ybus) {
    std::vector<Bus> start(buses.begin(), buses.end());
    network::linear_initial_guess(start, ybus);
    return start;
}

// The pattern's positions with the Jacobian values at the buses' voltages: what the engine hands
// to a backend's `create` on its first step.
inline std::vector<Triplet<double>> first_triplets(const JacobianPattern& pattern,
                                                   std::span<const Bus> buses,
                                                   const YBusSparse& ybus) {
    network::InjectionWork injections;
    network::power_injections(buses, ybus, injections);
    std::vector<double> values;
    pattern.fill(injections.at, values);
    std::vector<Triplet<double>> triplets(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
        triplets[k] = Triplet<double>{pattern.rows[k], pattern.cols[k], values[k]};
    }
    return triplets;
}

// The parts of one solve's Newton loop, each summed over its passes (ms).
struct PassTimes {
    double mismatch = 0.0;   // injections, mismatch and norm, on every pass (the last one included)
    double fill = 0.0;       // the pass's matrix
    double linear = 0.0;     // factorisation and solve
    double update = 0.0;     // the step added to the voltages
    std::size_t passes = 0;  // mismatch evaluations, as SolveStats::history counts them
    bool converged = false;

    std::size_t steps() const { return passes - (converged ? 1 : 0); }
    double total() const { return mismatch + fill + linear + update; }
};

// The loop of newton_iterate with each part timed, on the engine's lists: `fill(at)` makes the
// pass's matrix, `solve(mismatch)` factors and solves it (false when that fails), `update()`
// applies the step. The mismatch part includes the flattening of the injections once per solve.
template <class Fill, class Solve, class Update>
PassTimes timed_iterate(std::span<const Bus> buses, const YBusSparse& ybus,
                        const UnknownLayout& layout, std::uint64_t max_iter, double tol,
                        Fill&& fill, Solve&& solve, Update&& update) {
    PassTimes times;
    std::vector<double> mismatch(layout.dim());
    network::InjectionSpec spec;
    network::InjectionWork injections;
    auto t = Clock::now();
    spec.assign(buses);
    times.mismatch += ms_since(t);
    for (std::uint64_t pass = 0; pass < max_iter; ++pass) {
        t = Clock::now();
        network::power_injections(buses, ybus, injections);
        const std::span<const network::BusPower> at(injections.at);
        compute_mismatch(layout, spec, at, mismatch);
        const double norm = mismatch_norm(mismatch);
        times.mismatch += ms_since(t);
        ++times.passes;
        if (norm < tol) {
            times.converged = true;
            break;
        }
        t = Clock::now();
        fill(at);
        times.fill += ms_since(t);
        t = Clock::now();
        const bool solved = solve(std::span<const double>(mismatch));
        times.linear += ms_since(t);
        if (!solved) break;
        t = Clock::now();
        update();
        times.update += ms_since(t);
    }
    return times;
}

// The loop of newton_raphson_cached on a backend created for `pattern`: the same calls on the same
// values, so the same iterates and passes as the engine's solve from these buses.
template <LinearSolver System>
PassTimes timed_newton(std::span<Bus> buses, const YBusSparse& ybus, const UnknownLayout& layout,
                       const JacobianPattern& pattern, System& system, std::uint64_t max_iter,
                       double tol) {
    std::vector<double> values;
    values.reserve(pattern.size());
    std::optional<std::vector<double>> x;
    const std::size_t npvpq = layout.pvpq.size();
    return timed_iterate(
        buses, ybus, layout, max_iter, tol,
        [&](std::span<const network::BusPower> at) { pattern.fill(at, values); },
        [&](std::span<const double> mismatch) {
            x = system.factor_and_solve_values(values, mismatch);
            return x.has_value();
        },
        [&] {
            for (std::size_t k = 0; k < npvpq; ++k) buses[layout.pvpq[k]].va += (*x)[k];
            for (std::size_t k = 0; k < layout.pq.size(); ++k) {
                buses[layout.pq[k]].vm += (*x)[npvpq + k];
            }
        });
}

}  // namespace quillmere::bench
