#pragma once
// Many injection scenarios over one network, solved in parallel on a model's own worker pool and
// returned in scenario order. A scenario that fails numerically is reported in its result; only an
// invalid request refuses the batch, before anything is solved.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "batch/thread_pool.hpp"
#include "common/types.hpp"
#include "engine/solver.hpp"
#include "network/network.hpp"

namespace quillmere {

// One change of one template bus; an absent value leaves the bus field as it is.
struct BusOverride {
    std::optional<double> p_spec;
    std::optional<double> q_spec;
    std::optional<double> vm;
    std::size_t bus = 0;
};

// One case: overrides applied in list order (later ones win field by field). Branch outages are
// not supported; a non-empty list refuses the batch.
struct Scenario {
    std::vector<BusOverride> overrides;
    std::vector<std::uint64_t> branch_outages;
};

// One case from the template, as solve() and every batch scenario solve it: `buses` becomes a copy
// of the template with the overrides applied (stops on a bus outside it), then the initial guess
// and the Newton solve run on `solver`.
std::pair<std::vector<IslandReport>, SolveStats> solve_case(
    PersistentSolver& solver, std::span<const Bus> template_buses,
    std::span<const BusOverride> overrides, const YBusSparse& ybus, std::vector<Bus>& buses,
    std::uint64_t max_iter, double tol, Interruption interrupted = {});

// Why a batch was refused or gave no results.
struct BatchError {
    enum class Kind : std::uint8_t {
        BranchOutagesUnsupported = 0,  // carries scenario
        BusOutOfRange = 1,             // carries scenario, bus, bus_count
        ThreadPoolBuild = 2,           // carries detail, the system's reason
        Interrupted = 3,               // the caller's Interruption asked to stop
        StartedBeforeFork = 4,         // the Interruption forked, and this is the child
    };
    Kind kind = Kind::BranchOutagesUnsupported;
    std::size_t scenario = 0;
    std::size_t bus = 0;
    std::size_t bus_count = 0;
    std::string detail;

    // The text the Python layer raises.
    std::string message() const;
};

// A model's worker pool and the backend its workers solve with.
struct BatchSolver {
    std::unique_ptr<ThreadPool> pool;
    Backend backend = Backend::Scalar;
    // One solver per worker, kept from batch to batch: the islands, the Jacobian pattern, the
    // backend analysis and the guess's analysis are made once per worker for the life of the pool
    // (every batch of a model solves copies of one template against one Y-bus).
    std::vector<PersistentSolver> solvers;

    // Solves every scenario from its own copy of the template: overrides, linear initial guess,
    // then a Newton solve on the solver of the worker that took it. Every scenario is
    // validated before any is solved. The template and the Y-bus are only read. A stop or a
    // std::bad_alloc inside a worker is raised here once every worker has ended. While the workers
    // run, `interrupted` is asked on the calling thread every few tens of milliseconds; once it
    // answers true the workers take no further scenario and end their solves at the next pass, and
    // the batch gives Interrupted without results once all have ended. When asking it forks the
    // process, the child ends the batch at once with StartedBeforeFork (Interrupted when it also
    // answered true) and leaves the workers' solvers and results behind: its next batch starts
    // with new ones.
    std::variant<std::vector<PowerFlowReport>, BatchError> solve(
        std::span<const Bus> template_buses, const YBusSparse& ybus,
        std::span<const Scenario> scenarios, std::uint64_t max_iter, double tol,
        Interruption interrupted = {});
};

// What a model keeps between batches: the pool and the thread count it was built for.
struct BatchCache {
    std::size_t threads = 0;
    BatchSolver solver;
};

// The batch solver for a request of `threads` workers (default_threads() when absent, 0 counting
// as 1): the cached one when it was built for that count in this process, else a new one that
// replaces it (a pool inherited by a forked process has no threads there). When the new pool cannot
// be built (a thread refused, or a count too large to hold) the cache is left as it was. The
// pointer is into `cache`.
std::variant<BatchSolver*, BatchError> fetch_batch_solver(std::optional<BatchCache>& cache,
                                                          std::optional<std::size_t> threads,
                                                          Backend backend);

// One override per bus with a non-zero p_spec or q_spec (NaN counts as non-zero), both multiplied
// by `scale`. ZIP terms and voltage set-points are left alone.
std::vector<BusOverride> uniform_load_scaling(std::span<const Bus> buses, double scale);

}  // namespace quillmere
