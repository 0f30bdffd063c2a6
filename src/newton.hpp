#pragma once
// The Newton-Raphson loop over a LinearSolver backend, written once and bound at compile time to
// each backend; and the pieces every Newton loop shares (unknown layout, mismatch, norm), so that
// all loops measure convergence the same way.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "jacobian.hpp"
#include "network.hpp"
#include "solver.hpp"
#include "sparse.hpp"
#include "stop.hpp"
#include "types.hpp"

namespace quillmere {

// The unknowns: angles of the non-slack buses, then magnitudes of the PQ buses, both in bus
// order. The equations follow the same layout (active rows, then reactive rows).
struct UnknownLayout {
    std::vector<std::size_t> pvpq;
    std::vector<std::size_t> pq;
    std::size_t dim() const { return pvpq.size() + pq.size(); }
};

// Stops when a bus's index is not its position in the list.
UnknownLayout unknown_layout(std::span<const Bus> buses);

// One step of the largest-absolute-value norm, started from 0.0. A NaN is sticky: a vector that
// holds one has a NaN norm, which fails every strict test against tol, so a broken mismatch never
// counts as converged.
inline double fold_norm(double norm, double value) {
    const double a = std::fabs(value);
    return (a > norm || std::isnan(a)) ? a : norm;
}

double mismatch_norm(std::span<const double> m);

// Room reserved for the history up front: max_iter may be any 64-bit count, far beyond the passes
// a solve makes.
inline std::size_t history_reserve(std::uint64_t max_iter) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(max_iter, 64));
}

// m = effective injection - calculated injection, per equation row, at the buses' current vm.
void compute_mismatch(std::span<const Bus> buses, const UnknownLayout& layout,
                      std::span<const double> p, std::span<const double> q, std::span<double> m);

// The iteration every Newton loop runs: measure the mismatch at the current voltages, record its
// norm, stop below tol, otherwise let `step` update the buses; at most max_iter passes, the buses
// holding the last iterate. `step(p, q, mismatch)` gets the calculated injections and the mismatch
// of the pass and returns false when its linear solve failed (outcome SingularJacobian).
template <class Step>
SolveStats newton_iterate(std::span<Bus> buses, const YBusSparse& ybus, const UnknownLayout& layout,
                          std::uint64_t max_iter, double tol, Step&& step) {
    SolveStats stats;
    stats.history.reserve(history_reserve(max_iter));
    if (max_iter == 0) {
        stats.outcome = SolveOutcome::MaxIterations;
        return stats;
    }
    std::vector<double> mismatch(layout.dim());
    for (std::uint64_t pass = 0;;) {
        const auto [p, q] = network::power_injections(buses, ybus);
        compute_mismatch(buses, layout, p, q, mismatch);
        const double norm = mismatch_norm(mismatch);
        stats.history.push_back(norm);
        if (norm < tol) {
            stats.outcome = SolveOutcome::Converged;
            return stats;
        }
        if (!step(std::span<const double>(p), std::span<const double>(q),
                  std::span<const double>(mismatch))) {
            stats.outcome = SolveOutcome::SingularJacobian;
            return stats;
        }
        ++pass;
        if (pass == max_iter) {
            stats.outcome = SolveOutcome::MaxIterations;
            return stats;
        }
    }
}

// Runs at most max_iter passes; the buses hold the last iterate. The pattern is built when the
// cache is empty (also for max_iter 0); the backend object is created on the first pass that
// needs a step and kept, also after a failed factorisation. A failed `create` leaves the cache
// empty, so the next call tries again.
template <LinearSolver System>
SolveStats newton_raphson_cached(std::span<Bus> buses, const YBusSparse& ybus,
                                 std::uint64_t max_iter, double tol,
                                 std::optional<JacobianPattern>& pattern,
                                 std::optional<System>& system) {
    const UnknownLayout layout = unknown_layout(buses);
    const std::size_t npvpq = layout.pvpq.size();
    const std::size_t dim = layout.dim();
    if (!pattern) pattern.emplace(JacobianPattern::analyze(buses, ybus));
    const JacobianPattern& pat = *pattern;

    std::vector<double> values;
    values.reserve(pat.size());
    auto step = [&](std::span<const double> p, std::span<const double> q,
                    std::span<const double> mismatch) {
        pat.fill(buses, p, q, values);
        if (!system) {
            std::vector<Triplet<double>> triplets(values.size());
            for (std::size_t k = 0; k < values.size(); ++k) {
                triplets[k] = Triplet<double>{pat.rows[k], pat.cols[k], values[k]};
            }
            system = System::create(dim, triplets);
            if (!system) return false;
        }
        const std::optional<std::vector<double>> x =
            system->factor_and_solve_values(values, mismatch);
        if (!x) return false;
        check_len(x->size(), dim, "the Newton step");
        for (std::size_t k = 0; k < npvpq; ++k) buses[layout.pvpq[k]].va += (*x)[k];
        for (std::size_t k = 0; k < layout.pq.size(); ++k) {
            buses[layout.pq[k]].vm += (*x)[npvpq + k];
        }
        return true;
    };
    return newton_iterate(buses, ybus, layout, max_iter, tol, step);
}

}  // namespace quillmere
