#pragma once
// The Newton-Raphson driver of one model or one batch worker. It keeps, across passes and solves,
// what does not change between solves of one network: the islands, the Jacobian pattern and the
// analysed backend object. Numeric failures come back as outcome and status codes, never as
// exceptions.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/types.hpp"
#include "engine/jacobian.hpp"
#include "engine/newton.hpp"
#include "engine/newton_block.hpp"
#include "linalg/klu_native/klu_native.hpp"
#include "linalg/sparse.hpp"
#include "network/network.hpp"

namespace quillmere {

// The linear backend a solver is made with.
enum class Backend : std::uint8_t { Scalar = 0, Block = 1, KluNative = 2 };

// The outcome for one connected component.
enum class IslandStatus : std::uint8_t {
    Converged = 0,         // one slack; its own norm after the iteration is below tol
    NotConverged = 1,      // one or more slacks; not below tol, and the backend did not fail
    SingularJacobian = 2,  // one or more slacks; not below tol, and the backend failed
    Sourceless = 3,        // no slack: fixed at zero voltage, not solved
    MultiSlack = 4,        // two or more slacks, all of them fixed; its own norm is below tol
};

struct IslandReport {
    std::vector<std::size_t> buses;   // ascending
    std::vector<std::size_t> slacks;  // its Slack buses when the solve began, ascending
    IslandStatus status = IslandStatus::NotConverged;
};

// One solved case, as a batch worker hands it back: its own solved bus list, the island reports
// and the convergence record of its solve.
struct PowerFlowReport {
    std::vector<Bus> buses;
    std::vector<IslandReport> islands;
    SolveStats stats;
};

static_assert(LinearSolver<RealSparseSystem>);
static_assert(LinearSolver<KluNativeSystem>);

class PersistentSolver {
  public:
    explicit PersistentSolver(Backend backend = Backend::Scalar) : backend_(backend) {}

    // Solves the buses in place from their current voltages, all components in one Newton system,
    // and reports one island per connected component in component order. Components without a
    // slack bus are rewritten as Slack buses fixed at zero voltage. Precondition: every call on
    // one solver (until `reset`) sees the same bus types and Y-bus (the caches keep its values);
    // the caches are never compared with them. Stops when the bus list does not match the Y-bus.
    // When `interrupted` answers true the solve ends with outcome Interrupted and no island
    // reports, the buses holding the last iterate; the caches stay valid, so the next solve gives
    // what a fresh solver would.
    std::pair<std::vector<IslandReport>, SolveStats> solve_with_stats(
        std::span<Bus> buses, const YBusSparse& ybus, std::uint64_t max_iter, double tol,
        Interruption interrupted = {});

    // network::linear_initial_guess on the buses, keeping its pattern-only work with the solver's
    // other caches (same precondition); the same voltages, bit for bit.
    void initial_guess(std::span<Bus> buses, const YBusSparse& ybus) {
        network::linear_initial_guess(buses, ybus, guess_);
    }

    // Empties every cache; the backend stays.
    void reset();

    Backend backend() const { return backend_; }

    // Read-only views of the caches, for tests and diagnostics. The backend object is the
    // "scalar" or "klu_native" system, or for "block" its analysis. The counts are of cache fills:
    // the presence of a cache cannot tell a kept object from one made again, and a fill costs one
    // increment, so the counters stay in the production object.
    const std::optional<JacobianPattern>& pattern() const { return pattern_; }
    const std::optional<BlockAnalysis>& block_analysis() const { return block_analysis_; }
    bool has_backend_object() const {
        return scalar_system_.has_value() || block_analysis_.has_value() || klu_system_.has_value();
    }
    std::uint64_t pattern_builds() const { return pattern_builds_; }
    std::uint64_t backend_creations() const { return backend_creations_; }

  private:
    network::GuessCache guess_;
    NewtonWork work_;  // the lists of the last solve, kept for their room
    std::optional<std::vector<Classified>> classified_;  // the islands with their slack buses
    std::optional<JacobianPattern> pattern_;
    std::optional<RealSparseSystem> scalar_system_;
    std::optional<BlockAnalysis> block_analysis_;
    std::optional<KluNativeSystem> klu_system_;
    Backend backend_;
    std::uint64_t pattern_builds_ = 0;
    std::uint64_t backend_creations_ = 0;
};

}  // namespace quillmere
