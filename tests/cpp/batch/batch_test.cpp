// The batch solver against sequential single solves, its refusals, a stop inside a worker, its
// interruption, and the worker pool it runs on, also in a forked process.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "batch/batch.hpp"
#include "batch/thread_pool.hpp"
#include "common/stop.hpp"
#include "support/networks.hpp"

namespace quillmere {
namespace {

using std::nullopt;
using test_support::grid;
using test_support::Net;
constexpr std::uint64_t kMaxIter = 15;
constexpr std::uint64_t kMaxIterUnbounded = std::numeric_limits<std::uint64_t>::max();
constexpr double kTol = 1e-10;

// Everything the case reports when solved alone on a fresh solver, as a single solve does it; as
// bits, so that NaN results compare too.
std::vector<std::uint64_t> fingerprint(const PowerFlowReport& r) {
    std::vector<std::uint64_t> out{static_cast<std::uint64_t>(r.stats.outcome)};
    for (const Bus& b : r.buses) {
        for (double x : {b.vm, b.va, b.p_spec, b.q_spec})
            out.push_back(std::bit_cast<std::uint64_t>(x));
    }
    for (double x : r.stats.history) out.push_back(std::bit_cast<std::uint64_t>(x));
    for (const IslandReport& i : r.islands) out.push_back(static_cast<std::uint64_t>(i.status));
    return out;
}

std::vector<std::uint64_t> alone(const Net& net, std::span<const BusOverride> overrides) {
    std::vector<Bus> buses = net.buses;
    for (const BusOverride& o : overrides) {
        buses[o.bus].p_spec = o.p_spec.value_or(buses[o.bus].p_spec);
        buses[o.bus].q_spec = o.q_spec.value_or(buses[o.bus].q_spec);
        buses[o.bus].vm = o.vm.value_or(buses[o.bus].vm);
    }
    network::linear_initial_guess(buses, net.y);
    auto [islands, stats] = PersistentSolver{}.solve_with_stats(buses, net.y, kMaxIter, kTol);
    return fingerprint({std::move(buses), std::move(islands), std::move(stats)});
}

BatchSolver* fetched(std::optional<BatchCache>& cache, std::optional<std::size_t> threads) {
    auto result = fetch_batch_solver(cache, threads, Backend::Scalar);
    return std::holds_alternative<BatchSolver*>(result) ? std::get<BatchSolver*>(result) : nullptr;
}

std::vector<PowerFlowReport> solved(BatchSolver& solver, const Net& net,
                                    std::span<const Scenario> scenarios) {
    auto result = solver.solve(net.buses, net.y, scenarios, kMaxIter, kTol);
    if (auto* error = std::get_if<BatchError>(&result)) stop("batch refused: " + error->message());
    return std::get<std::vector<PowerFlowReport>>(std::move(result));
}

// A load on bus 1 that the line carries, and scenarios of one far beyond it: without a pass limit
// those never end.
Net two_buses() {
    return {{test_support::bus(0, BusType::Slack), test_support::bus(1, BusType::PQ, -0.5, -0.1)},
            test_support::ybus_of(2, {{0, 1, {4, -12}}})};
}
const std::vector<Scenario> kEndless(40, Scenario{{{-1e3, -2e2, nullopt, 1}}, {}});

bool all_converge(BatchSolver& solver, const Net& net) {
    const std::vector<Scenario> fine(6);
    const auto reports = solved(solver, net, fine);
    return std::all_of(reports.begin(), reports.end(), [](const PowerFlowReport& r) {
        return r.stats.outcome == SolveOutcome::Converged;
    });
}

// The exit status of a forked child, or -1 when it has not ended within 30 s (it is killed then).
int status_of(pid_t child) {
    int status = 0;
    pid_t ended = 0;
    for (int k = 0; k < 3000 && (ended = waitpid(child, &status, WNOHANG)) == 0; ++k) usleep(10000);
    if (ended != 0) return status;
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return -1;
}

TEST(Batch, ResultsInScenarioOrderEqualSequentialSolvesForEveryThreadCount) {
    const Net net = grid();
    // Scenario 4 cannot converge; the cases after it on the same worker must not notice.
    std::vector<Scenario> scenarios;
    std::vector<std::vector<std::uint64_t>> want;
    for (int k = 0; k < 10; ++k) {
        scenarios.push_back({uniform_load_scaling(net.buses, k == 4 ? 40.0 : 0.5 + 0.1 * k), {}});
        want.push_back(alone(net, scenarios.back().overrides));
    }
    // Overrides apply in list order, later ones winning field by field; no override at all.
    // clang-format off
    scenarios.push_back({{{-0.9, -0.2, nullopt, 2}, {nullopt, nullopt, 1.03, 1},
                          {-0.6, nullopt, nullopt, 2}, {nullopt, -0.3, nullopt, 4}}, {}});
    want.push_back(alone(net, std::vector<BusOverride>{
        {-0.6, -0.2, nullopt, 2}, {nullopt, nullopt, 1.03, 1}, {nullopt, -0.3, nullopt, 4}}));
    // clang-format on
    scenarios.emplace_back();
    want.push_back(alone(net, {}));
    ASSERT_NE(want[4][0], static_cast<std::uint64_t>(SolveOutcome::Converged));
    for (std::size_t threads : {1u, 3u, 40u}) {
        std::optional<BatchCache> cache;
        for (int round = 0; round < 2; ++round) {  // a reused pool gives the same results
            const auto got = solved(*fetched(cache, threads), net, scenarios);
            ASSERT_EQ(got.size(), scenarios.size());
            for (std::size_t s = 0; s < scenarios.size(); ++s) {
                EXPECT_EQ(fingerprint(got[s]), want[s]) << threads << " threads, scenario " << s;
            }
        }
        // The workers' solvers outlive the batch: the second one made no pattern again.
        for (const PersistentSolver& kept : cache->solver.solvers) {
            EXPECT_LE(kept.pattern_builds(), 1u);
        }
    }
}

// The template is one bus short of its Y-bus, so any solve of it stops: invalid scenarios are
// refused before any work, and valid ones reach the workers, whose stop surfaces on the caller.
TEST(Batch, InvalidScenariosRefuseBeforeAnyWorkAndAStopInAWorkerSurfaces) {
    Net net = grid();
    net.buses.pop_back();
    const Scenario fine{{{-0.1, nullopt, nullopt, 4}}, {}};
    const Scenario at_n{{{-0.1, nullopt, nullopt, 2}, {-0.1, -0.1, 1.0, 5}}, {}};
    const Scenario outage{{{-0.1, nullopt, nullopt, 999}}, {7}};
    const std::pair<std::vector<Scenario>, std::string> cases[] = {
        {{fine, fine, at_n, fine},
         "scenario 2 overrides bus 5, but the template has only 5 bus(es)"},
        {{fine, outage, at_n},
         "scenario 1 requests branch outages, which are not implemented yet (see "
         "batch::Scenario::branch_outages)"},
    };
    std::optional<BatchCache> cache;
    BatchSolver& solver = *fetched(cache, 4);
    for (const auto& [scenarios, message] : cases) {
        auto result = solver.solve(net.buses, net.y, scenarios, kMaxIter, kTol);
        ASSERT_TRUE(std::holds_alternative<BatchError>(result)) << message;
        EXPECT_EQ(std::get<BatchError>(result).message(), message);
    }
    EXPECT_TRUE(solved(solver, net, {}).empty());
    const std::vector<Scenario> scenarios(9);
    EXPECT_THROW(solved(solver, net, scenarios), Stop);
    for (const PowerFlowReport& r : solved(solver, grid(), scenarios)) {
        EXPECT_EQ(r.stats.outcome, SolveOutcome::Converged);
    }
}

// The first failure reaches the caller only once every copy has ended, since the copies use the
// caller's data; a job that waits on its own pool is refused rather than deadlocked.
TEST(ThreadPool, FailureReachesTheCallerAfterEveryCopyEnded) {
    ThreadPool pool(3);
    std::atomic<int> ended{0};
    auto job = [&] {
        if (ended.fetch_add(1) == 0) throw std::runtime_error("first");
    };
    EXPECT_THROW(pool.run(6, job), std::runtime_error);
    EXPECT_EQ(ended.load(), 6);
    EXPECT_THROW(pool.run(1, [&] { pool.run(1, [] {}); }), Stop);
}

// The tick runs on the caller while the copies run, until they have all ended; an exception from
// it is rethrown ahead of the copies' own, yet only once they have ended.
TEST(ThreadPool, TickRunsOnTheCallerUntilEveryCopyEnded) {
    ThreadPool pool(2);
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> ticks{0}, ended{0};
    std::atomic<bool> go{false};
    auto job = [&] {
        while (!go.load()) std::this_thread::yield();
        ended.fetch_add(1);
        throw std::runtime_error("job");
    };
    auto tick = [&] {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        if (ticks.fetch_add(1) == 2) go.store(true);
    };
    EXPECT_THROW(static_cast<void>(pool.run(4, job, std::chrono::milliseconds(1), tick)),
                 std::runtime_error);
    EXPECT_EQ(ended.load(), 4);
    EXPECT_GE(ticks.load(), 3);
    go.store(false);
    ended.store(0);
    auto failing_tick = [&] {
        go.store(true);
        throw std::logic_error("tick");
    };
    EXPECT_THROW(static_cast<void>(pool.run(4, job, std::chrono::milliseconds(1), failing_tick)),
                 std::logic_error);
    EXPECT_EQ(ended.load(), 4);
}

// Scenarios that never end (a load far beyond what the line carries, no pass limit) end once the
// caller's interruption answers true: no results, the same solver serving the next batch.
TEST(Batch, AnInterruptionEndsScenariosThatNeverWouldAndGivesNoResults) {
    const Net net = two_buses();
    std::optional<BatchCache> cache;
    BatchSolver& solver = *fetched(cache, 4);
    struct Asked {
        mutable int count = 0;
        std::thread::id caller = std::this_thread::get_id();
        mutable bool elsewhere = false;
    } asked;
    const Interruption third_ask{[](const void* context) {
                                     const auto& a = *static_cast<const Asked*>(context);
                                     a.elsewhere |= std::this_thread::get_id() != a.caller;
                                     return ++a.count == 3;
                                 },
                                 &asked};
    auto result = solver.solve(net.buses, net.y, kEndless, kMaxIterUnbounded, kTol, third_ask);
    ASSERT_TRUE(std::holds_alternative<BatchError>(result));
    EXPECT_EQ(std::get<BatchError>(result).message(), "the batch was interrupted");
    EXPECT_EQ(asked.count, 3);
    EXPECT_FALSE(asked.elsewhere);
    EXPECT_TRUE(all_converge(solver, net));
}

// A forked process inherits the pool but none of its threads: there the inherited pool refuses
// to run, the cache builds a pool of the child's own for the same count, and dropping either
// neither hangs nor crashes. The parent's pool is untouched.
TEST(BatchCache, AForkedProcessBatchesOnAPoolOfItsOwn) {
    const Net net = grid();
    const std::vector<Scenario> scenarios(5);
    std::optional<BatchCache> cache;
    const ThreadPool* inherited = fetched(cache, 3)->pool.get();
    const auto want = fingerprint(solved(*fetched(cache, 3), net, scenarios)[4]);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool refused = false;
        try {
            cache->solver.pool->run(1, [] {});
        } catch (const Stop&) {
            refused = true;
        }
        BatchSolver& own = *fetched(cache, 3);
        const bool served = own.pool.get() != inherited && own.pool->started_in_this_process() &&
                            fingerprint(solved(own, net, scenarios)[4]) == want;
        cache.reset();
        std::_Exit(refused && served ? 0 : 1);
    }
    EXPECT_EQ(status_of(child), 0) << "-1: the child hung";
    EXPECT_EQ(fetched(cache, 3)->pool.get(), inherited);
    EXPECT_EQ(fingerprint(solved(*fetched(cache, 3), net, scenarios)[4]), want);
}

// The question asked while the caller waits may fork (a signal handler may): the child has none of
// the workers, so there the batch ends at once, saying why, and the next batch runs on a pool of
// the child's own. The parent's batch goes on as if nothing happened.
TEST(BatchCache, AForkWhileTheCallerWaitsEndsTheBatchInTheChildOnly) {
#ifdef __SANITIZE_ADDRESS__
    // Every Newton pass of a worker allocates its step, and this allocator, unlike the C
    // library's, does not hold its locks over a fork.
    GTEST_SKIP() << "AddressSanitizer's allocator does not hold its locks over a fork: a worker "
                    "allocating at that moment leaves the child's next allocation waiting for ever";
#endif
    const Net net = two_buses();
    std::optional<BatchCache> cache;
    BatchSolver& solver = *fetched(cache, 4);
    struct Forking {
        mutable int asks = 0;
        mutable pid_t child = -1;
    } forking;
    const Interruption fork_first{[](const void* context) {
                                      const auto& f = *static_cast<const Forking*>(context);
                                      if (++f.asks == 1) f.child = fork();
                                      return f.asks == 4;
                                  },
                                  &forking};
    auto result = solver.solve(net.buses, net.y, kEndless, kMaxIterUnbounded, kTol, fork_first);
    if (forking.child == 0) {
        const auto* error = std::get_if<BatchError>(&result);
        const bool ended = error != nullptr && forking.asks == 1 &&
                           error->message() ==
                               "the batch was started before a fork: this process, forked while "
                               "it ran, has none of its workers";
        BatchSolver& own = *fetched(cache, 4);
        const bool served = own.pool->started_in_this_process() && all_converge(own, net);
        std::_Exit(ended && served ? 0 : 1);
    }
    ASSERT_GT(forking.child, 0);
    EXPECT_EQ(status_of(forking.child), 0) << "-1: the child hung";
    ASSERT_TRUE(std::holds_alternative<BatchError>(result));
    EXPECT_EQ(std::get<BatchError>(result).message(), "the batch was interrupted");
    EXPECT_EQ(forking.asks, 4);
    EXPECT_TRUE(all_converge(solver, net));
}

// In a child whose address space is capped just above its use, the system refuses new thread
// stacks part way through a build: the threads already started are joined, the refusal is
// reported, and the pool cached before is kept for its count and serves on.
TEST(BatchCacheDeathTest, ARefusedBuildJoinsItsThreadsAndKeepsTheCachedPool) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer needs an uncapped address space";
#endif
    auto child = [] {
        std::optional<BatchCache> cache;
        const ThreadPool* pool = fetched(cache, 2)->pool.get();
        std::size_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlimit cap{pages * getpagesize() + (32u << 20), RLIM_INFINITY};
        if (setrlimit(RLIMIT_AS, &cap) != 0) std::_Exit(2);
        auto refused = fetch_batch_solver(cache, 64, Backend::Scalar);
        std::fprintf(stderr, "%s\n", std::get<BatchError>(refused).message().c_str());
        const std::vector<Scenario> scenarios(3);
        const auto served = solved(*fetched(cache, 2), grid(), scenarios);
        const bool kept = fetched(cache, 2)->pool.get() == pool;
        std::_Exit(kept && served[2].stats.outcome == SolveOutcome::Converged ? 0 : 1);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "building the rayon thread pool failed: ");
}

}  // namespace
}  // namespace quillmere
