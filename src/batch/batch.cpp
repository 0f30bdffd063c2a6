#include "batch/batch.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "common/stop.hpp"

namespace quillmere {
namespace {

// How often the calling thread asks whether the batch is interrupted: well under the tenth of a
// second a person notices, at no cost the workers see.
constexpr std::chrono::milliseconds kInterruptionPoll{20};

using Indexed = std::pair<std::size_t, PowerFlowReport>;

// The finished scenarios, shared by the workers. A worker that fails while holding the lock marks
// the list poisoned, since it may be half-written.
struct ResultList {
    std::mutex mutex;
    std::vector<Indexed> entries;
    bool poisoned = false;

    void append(std::size_t scenario, PowerFlowReport report) {
        std::lock_guard lock(mutex);
        if (poisoned) stop("batch result mutex poisoned by a panicking worker");
        try {
            entries.emplace_back(scenario, std::move(report));
        } catch (...) {
            poisoned = true;
            throw;
        }
    }

    std::vector<Indexed> take() {
        std::lock_guard lock(mutex);
        if (poisoned) stop("batch result mutex poisoned");
        return std::move(entries);
    }
};

std::optional<BatchError> validate(std::span<const Scenario> scenarios, std::size_t bus_count) {
    for (std::size_t s = 0; s < scenarios.size(); ++s) {
        if (!scenarios[s].branch_outages.empty()) {
            return BatchError{BatchError::Kind::BranchOutagesUnsupported, s, 0, 0, {}};
        }
        for (const BusOverride& o : scenarios[s].overrides) {
            if (o.bus >= bus_count) {
                return BatchError{BatchError::Kind::BusOutOfRange, s, o.bus, bus_count, {}};
            }
        }
    }
    return std::nullopt;
}

void apply_overrides(std::span<Bus> buses, std::span<const BusOverride> overrides) {
    for (const BusOverride& o : overrides) {
        check_index(o.bus, buses.size());
        Bus& bus = buses[o.bus];
        if (o.p_spec) bus.p_spec = *o.p_spec;
        if (o.q_spec) bus.q_spec = *o.q_spec;
        if (o.vm) bus.vm = *o.vm;
    }
}

}  // namespace

std::pair<std::vector<IslandReport>, SolveStats> solve_case(
    PersistentSolver& solver, std::span<const Bus> template_buses,
    std::span<const BusOverride> overrides, const YBusSparse& ybus, std::vector<Bus>& buses,
    std::uint64_t max_iter, double tol, Interruption interrupted) {
    buses.assign(template_buses.begin(), template_buses.end());
    apply_overrides(buses, overrides);
    solver.initial_guess(buses, ybus);
    return solver.solve_with_stats(buses, ybus, max_iter, tol, interrupted);
}

std::string BatchError::message() const {
    switch (kind) {
        case Kind::BranchOutagesUnsupported:
            return "scenario " + std::to_string(scenario) +
                   " requests branch outages, which are not implemented yet (see "
                   "batch::Scenario::branch_outages)";
        case Kind::BusOutOfRange:
            return "scenario " + std::to_string(scenario) + " overrides bus " +
                   std::to_string(bus) + ", but the template has only " +
                   std::to_string(bus_count) + " bus(es)";
        case Kind::ThreadPoolBuild:
            return "building the rayon thread pool failed: " + detail;
        case Kind::Interrupted:
            return "the batch was interrupted";
        case Kind::StartedBeforeFork:
            return "the batch was started before a fork: this process, forked while it ran, has "
                   "none of its workers";
    }
    stop("unknown batch error kind " + std::to_string(static_cast<int>(kind)));
}

std::variant<std::vector<PowerFlowReport>, BatchError> BatchSolver::solve(
    std::span<const Bus> template_buses, const YBusSparse& ybus,
    std::span<const Scenario> scenarios, std::uint64_t max_iter, double tol,
    Interruption interrupted) {
    if (std::optional<BatchError> error = validate(scenarios, template_buses.size())) {
        return *std::move(error);
    }
    if (scenarios.empty()) return std::vector<PowerFlowReport>{};
    if (!pool) stop("batch solver without a worker pool");

    // On the heap, so that a process forked while the workers write it can leave it behind.
    auto results_owner = std::make_unique<ResultList>();
    ResultList& results = *results_owner;
    results.entries.reserve(scenarios.size());
    std::atomic<std::size_t> next{0};
    // Set once by the calling thread; the workers only read it, and the pool's end orders the rest.
    std::atomic<bool> cancelled{false};
    const Interruption cancelled_check{
        [](const void* flag) {
            return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed);
        },
        &cancelled};
    const std::size_t workers = std::min(scenarios.size(), std::max<std::size_t>(pool->size(), 1));
    while (solvers.size() < workers) solvers.emplace_back(backend);
    std::atomic<std::size_t> next_solver{0};
    const std::function<void()> worker = [&] {
        const std::size_t w = next_solver.fetch_add(1, std::memory_order_relaxed);
        check_index(w, solvers.size());
        PersistentSolver& solver = solvers[w];
        while (!cancelled_check()) {
            const std::size_t s = next.fetch_add(1, std::memory_order_relaxed);
            if (s >= scenarios.size()) return;
            std::vector<Bus> buses;
            auto [islands, stats] = solve_case(solver, template_buses, scenarios[s].overrides, ybus,
                                               buses, max_iter, tol, cancelled_check);
            if (stats.outcome == SolveOutcome::Interrupted) return;
            results.append(s,
                           PowerFlowReport{std::move(buses), std::move(islands), std::move(stats)});
        }
    };
    const auto ask = [&] {
        if (!cancelled.load(std::memory_order_relaxed) && interrupted()) {
            cancelled.store(true, std::memory_order_relaxed);
        }
    };
    ThreadPool::RunEnd end = ThreadPool::RunEnd::AllEnded;
    try {
        end = pool->run(workers, worker, kInterruptionPoll, ask);
    } catch (const Stop&) {
        throw;
    } catch (const std::bad_alloc&) {
        // Exhausted memory stays std::bad_alloc, as in a single solve.
        throw;
    } catch (const std::exception& e) {
        stop(std::string("batch worker failed: ") + e.what());
    } catch (...) {
        stop("batch worker failed with an unknown exception");
    }
    if (end == ThreadPool::RunEnd::ForkedDuringTick) {
        // The results and the worker solvers may be half-written by threads this process does
        // not have: both are left behind, never read or freed, and the next batch starts afresh.
        static_cast<void>(results_owner.release());
        static_cast<void>(new std::vector<PersistentSolver>(std::move(solvers)));
        if (!cancelled.load(std::memory_order_relaxed)) {
            return BatchError{BatchError::Kind::StartedBeforeFork, 0, 0, 0, {}};
        }
    }
    if (cancelled.load(std::memory_order_relaxed)) {
        return BatchError{BatchError::Kind::Interrupted, 0, 0, 0, {}};
    }

    std::vector<Indexed> entries = results.take();
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Indexed& a, const Indexed& b) { return a.first < b.first; });
    std::vector<PowerFlowReport> reports;
    reports.reserve(entries.size());
    for (Indexed& entry : entries) reports.push_back(std::move(entry.second));
    return reports;
}

std::variant<BatchSolver*, BatchError> fetch_batch_solver(std::optional<BatchCache>& cache,
                                                          std::optional<std::size_t> threads,
                                                          Backend backend) {
    // The default is looked up only when no count is given, so the environment is read at the
    // first request that needs it.
    const std::size_t count = std::max<std::size_t>(threads ? *threads : default_threads(), 1);
    if (cache && cache->threads == count && cache->solver.pool &&
        cache->solver.pool->started_in_this_process()) {
        return &cache->solver;
    }
    std::unique_ptr<ThreadPool> pool;
    try {
        pool = std::make_unique<ThreadPool>(count);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        // Mostly the system refusing a thread; a count too large to hold lands here as well.
        return BatchError{BatchError::Kind::ThreadPoolBuild, 0, 0, 0, e.what()};
    }
    // Assigning drops the old pool, whose threads are joined here (or left behind when it came
    // from the parent of a forked process).
    cache = BatchCache{count, BatchSolver{std::move(pool), backend, {}}};
    return &cache->solver;
}

std::vector<BusOverride> uniform_load_scaling(std::span<const Bus> buses, double scale) {
    std::vector<BusOverride> overrides;
    for (const Bus& bus : buses) {
        if (bus.p_spec != 0.0 || bus.q_spec != 0.0) {
            overrides.push_back({bus.p_spec * scale, bus.q_spec * scale, std::nullopt, bus.index});
        }
    }
    return overrides;
}

}  // namespace quillmere
