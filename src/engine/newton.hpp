#pragma once
// The Newton-Raphson loop over a LinearSolver backend, written once and bound at compile time to
// each backend; and the pieces every Newton loop shares (unknown layout, mismatch, norm), so that
// all loops measure convergence the same way.

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/interruption.hpp"
#include "common/stop.hpp"
#include "common/triplet.hpp"
#include "common/types.hpp"
#include "engine/jacobian.hpp"
#include "network/network.hpp"

namespace quillmere {

// The outcome of the one Newton iteration over the whole network.
enum class SolveOutcome : std::uint8_t {
    Converged = 0,
    MaxIterations = 1,
    SingularJacobian = 2,
    Interrupted = 3,  // the caller's Interruption, asked before each pass, answered true
};

struct SolveStats {
    std::vector<double> history;  // the mismatch norm of each pass, in order; one entry per pass
    SolveOutcome outcome = SolveOutcome::MaxIterations;
};

// A backend of the Newton loop over a fixed pattern. `create` receives the pattern once as
// triplets (repeated positions add up); every later `factor_and_solve_values` receives values in
// that triplet order and count, and gives x with A x = rhs, or nothing when A is singular or x is
// not finite. A failed call must leave the object serving later calls as if it had not happened.
template <class S>
concept LinearSolver = std::movable<S> &&
    requires(S& system, std::size_t n, std::span<const Triplet<double>> triplets,
             std::span<const double> values, std::span<const double> rhs) {
    { S::create(n, triplets) } -> std::same_as<std::optional<S>>;
    {
        system.factor_and_solve_values(values, rhs)
        } -> std::same_as<std::optional<std::vector<double>>>;
};

// The unknowns: angles of the non-slack buses, then magnitudes of the PQ buses, both in bus
// order. The equations follow the same layout (active rows, then reactive rows).
struct UnknownLayout {
    std::vector<std::size_t> pvpq;
    std::vector<std::size_t> pq;
    std::size_t dim() const { return pvpq.size() + pq.size(); }
};

// Stops when a bus's index is not its position in the list.
UnknownLayout unknown_layout(std::span<const Bus> buses);
// The same into `layout`, keeping its room.
void unknown_layout(std::span<const Bus> buses, UnknownLayout& layout);

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

// m = effective injection - calculated injection, per equation row, for the buses as measured in
// `at` with the injections of `spec`. Stops when `at` or `spec` holds fewer buses than the layout
// names or m is shorter than the layout.
void compute_mismatch(const UnknownLayout& layout, const network::InjectionSpec& spec,
                      std::span<const network::BusPower> at, std::span<double> m);

// The lists a Newton solve works in, kept between solves by its caller so that a repeated solve
// allocates nothing; their contents are the last solve's.
struct NewtonWork {
    UnknownLayout layout;
    network::InjectionSpec spec;        // the buses' injections, flattened once per solve
    network::InjectionWork injections;  // the last pass's measurement
    std::vector<double> mismatch;
    // True when `injections` measured the buses as the last solve left them: it ended on a
    // measurement (Converged) or on a step that failed (SingularJacobian), which changes no bus.
    bool measured_last = false;
    std::vector<double> values;  // the scalar Jacobian of the "scalar" and "klu_native" loop
};

// The iteration every Newton loop runs: ask `interrupted`, measure the mismatch at the current
// voltages, record its norm, stop below tol, otherwise let `step` update the buses; at most
// max_iter passes, the buses holding the last iterate. `work.layout` must be the buses' layout.
// `step(at, mismatch)` gets the buses as measured in the pass and its mismatch, and returns false,
// with no bus changed, when its linear solve failed (outcome SingularJacobian). An interruption
// comes between passes, never inside a step.
template <class Step>
SolveStats newton_iterate(std::span<Bus> buses, const YBusSparse& ybus, std::uint64_t max_iter,
                          double tol, Interruption interrupted, NewtonWork& work, Step&& step) {
    SolveStats stats;
    stats.history.reserve(history_reserve(max_iter));
    work.measured_last = false;
    if (max_iter == 0) {
        stats.outcome = SolveOutcome::MaxIterations;
        return stats;
    }
    work.spec.assign(buses);
    work.mismatch.resize(work.layout.dim());
    for (std::uint64_t pass = 0;;) {
        if (interrupted()) {
            stats.outcome = SolveOutcome::Interrupted;
            return stats;
        }
        network::power_injections(buses, ybus, work.injections);
        const std::span<const network::BusPower> at(work.injections.at);
        compute_mismatch(work.layout, work.spec, at, work.mismatch);
        const double norm = mismatch_norm(work.mismatch);
        stats.history.push_back(norm);
        work.measured_last = true;
        if (norm < tol) {
            stats.outcome = SolveOutcome::Converged;
            return stats;
        }
        if (!step(at, std::span<const double>(work.mismatch))) {
            stats.outcome = SolveOutcome::SingularJacobian;
            return stats;
        }
        work.measured_last = false;
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
                                 std::optional<System>& system, NewtonWork& work,
                                 Interruption interrupted = {}) {
    unknown_layout(buses, work.layout);
    const UnknownLayout& layout = work.layout;
    const std::size_t npvpq = layout.pvpq.size();
    const std::size_t dim = layout.dim();
    if (!pattern) pattern.emplace(JacobianPattern::analyze(buses, ybus));
    const JacobianPattern& pat = *pattern;

    std::vector<double>& values = work.values;
    auto step = [&](std::span<const network::BusPower> at, std::span<const double> mismatch) {
        pat.fill(at, values);
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
    return newton_iterate(buses, ybus, max_iter, tol, interrupted, work, step);
}

}  // namespace quillmere
