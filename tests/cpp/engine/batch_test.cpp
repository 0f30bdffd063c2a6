// The batch solver against sequential single solves, its refusals, a stop inside a worker, and
// the worker pool it runs on.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "batch.hpp"
#include "engine/networks.hpp"
#include "stop.hpp"
#include "thread_pool.hpp"

namespace quillmere {
namespace {

using testing::bus;
using testing::Stamps;

struct Net {
    std::vector<Bus> buses;
    YBusSparse y;
};

// Slack 0, generator 1, loads 2 to 5 on a meshed grid.
Net grid() {
    return {{bus(0, BusType::Slack, 0, 0, 1.02), bus(1, BusType::PV, 0.5, 0, 1.01),
             bus(2, BusType::PQ, -0.4, -0.1), bus(3, BusType::PQ, -0.3, -0.15),
             bus(4, BusType::PQ, -0.2, -0.05), bus(5, BusType::PQ, 0.0, 0.0)},
            Stamps{6}
                .branch(0, 1, {3, -10})
                .branch(1, 2, {2, -8})
                .branch(2, 3, {3, -9})
                .branch(3, 4, {2, -7})
                .branch(4, 5, {4, -11})
                .branch(0, 5, {2, -6})
                .branch(1, 4, {1, -5})
                .finish()};
}

constexpr std::uint64_t kMaxIter = 15;
constexpr double kTol = 1e-10;

// The same case solved alone on a fresh solver, as a single solve does it.
PowerFlowReport solve_alone(const Net& net, const Scenario& scenario) {
    std::vector<Bus> buses = net.buses;
    for (const BusOverride& o : scenario.overrides) {
        if (o.p_spec) buses[o.bus].p_spec = *o.p_spec;
        if (o.q_spec) buses[o.bus].q_spec = *o.q_spec;
        if (o.vm) buses[o.bus].vm = *o.vm;
    }
    network::linear_initial_guess(buses, net.y);
    PersistentSolver solver;
    auto [islands, stats] = solver.solve_with_stats(buses, net.y, kMaxIter, kTol);
    return {std::move(buses), std::move(islands), std::move(stats)};
}

std::uint64_t bits(double x) {
    return std::bit_cast<std::uint64_t>(x);
}

void expect_same_report(const PowerFlowReport& got, const PowerFlowReport& want, std::size_t s) {
    SCOPED_TRACE("scenario " + std::to_string(s));
    ASSERT_EQ(got.buses.size(), want.buses.size());
    for (std::size_t b = 0; b < want.buses.size(); ++b) {
        EXPECT_EQ(bits(got.buses[b].vm), bits(want.buses[b].vm)) << "bus " << b;
        EXPECT_EQ(bits(got.buses[b].va), bits(want.buses[b].va)) << "bus " << b;
        EXPECT_EQ(bits(got.buses[b].p_spec), bits(want.buses[b].p_spec)) << "bus " << b;
    }
    EXPECT_EQ(got.stats.outcome, want.stats.outcome);
    ASSERT_EQ(got.stats.history.size(), want.stats.history.size());
    for (std::size_t k = 0; k < want.stats.history.size(); ++k) {
        EXPECT_EQ(bits(got.stats.history[k]), bits(want.stats.history[k]));
    }
    ASSERT_EQ(got.islands.size(), want.islands.size());
    for (std::size_t i = 0; i < want.islands.size(); ++i) {
        EXPECT_EQ(got.islands[i].status, want.islands[i].status);
    }
}

BatchSolver make_solver(std::size_t threads) {
    std::optional<BatchCache> cache;
    auto fetched = fetch_batch_solver(cache, threads, Backend::Scalar);
    if (!std::holds_alternative<BatchSolver*>(fetched)) stop("pool could not be built");
    return std::move(cache->solver);
}

std::vector<PowerFlowReport> reports_of(
    std::variant<std::vector<PowerFlowReport>, BatchError> result) {
    if (auto* error = std::get_if<BatchError>(&result)) stop("batch refused: " + error->message());
    return std::get<std::vector<PowerFlowReport>>(std::move(result));
}

// Twelve scaled cases, the fifth so heavy that the iteration cannot converge.
std::vector<Scenario> scaled_scenarios(const Net& net) {
    std::vector<Scenario> scenarios;
    for (int k = 0; k < 12; ++k) {
        const double scale = k == 4 ? 40.0 : 0.5 + 0.1 * k;
        scenarios.push_back({uniform_load_scaling(net.buses, scale), {}});
    }
    return scenarios;
}

TEST(Batch, ResultsInScenarioOrderEqualSequentialSolvesForEveryThreadCount) {
    const Net net = grid();
    const std::vector<Scenario> scenarios = scaled_scenarios(net);
    std::vector<PowerFlowReport> alone;
    for (const Scenario& s : scenarios) alone.push_back(solve_alone(net, s));
    ASSERT_EQ(alone[0].stats.outcome, SolveOutcome::Converged);
    ASSERT_NE(alone[4].stats.outcome, SolveOutcome::Converged);

    for (std::size_t threads : {1u, 2u, 8u, 40u}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        BatchSolver solver = make_solver(threads);
        // Twice on one pool: a reused pool gives the same results.
        for (int round = 0; round < 2; ++round) {
            const std::vector<PowerFlowReport> got =
                reports_of(solver.solve(net.buses, net.y, scenarios, kMaxIter, kTol));
            ASSERT_EQ(got.size(), scenarios.size());
            for (std::size_t s = 0; s < scenarios.size(); ++s) {
                expect_same_report(got[s], alone[s], s);
            }
        }
    }
}

TEST(Batch, NonConvergingScenarioIsReportedAndOthersAreUnaffected) {
    const Net net = grid();
    std::vector<Scenario> scenarios = {{uniform_load_scaling(net.buses, 1.0), {}},
                                       {uniform_load_scaling(net.buses, 40.0), {}},
                                       {uniform_load_scaling(net.buses, 1.0), {}}};
    BatchSolver solver = make_solver(1);  // one worker: the failure precedes a case on its solver
    const std::vector<PowerFlowReport> got =
        reports_of(solver.solve(net.buses, net.y, scenarios, kMaxIter, kTol));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_NE(got[1].stats.outcome, SolveOutcome::Converged);
    EXPECT_NE(got[1].islands[0].status, IslandStatus::Converged);
    EXPECT_EQ(got[0].stats.outcome, SolveOutcome::Converged);
    expect_same_report(got[2], got[0], 2);
}

TEST(Batch, OverridesApplyInOrderLaterOnesWinFieldByField) {
    const Net net = grid();
    const Scenario scenario{{{-0.9, -0.2, std::nullopt, 2},
                             {std::nullopt, std::nullopt, 1.03, 1},
                             {-0.6, std::nullopt, std::nullopt, 2},
                             {std::nullopt, -0.3, std::nullopt, 4}},
                            {}};
    const Scenario merged{{{-0.6, -0.2, std::nullopt, 2},
                           {std::nullopt, std::nullopt, 1.03, 1},
                           {std::nullopt, -0.3, std::nullopt, 4}},
                          {}};
    BatchSolver solver = make_solver(2);
    const std::vector<Scenario> scenarios = {scenario, {}};
    const std::vector<PowerFlowReport> got =
        reports_of(solver.solve(net.buses, net.y, scenarios, kMaxIter, kTol));
    ASSERT_EQ(got.size(), 2u);
    const Bus& b2 = got[0].buses[2];
    EXPECT_EQ(b2.p_spec, -0.6);
    EXPECT_EQ(b2.q_spec, -0.2);
    EXPECT_EQ(got[0].buses[1].vm, 1.03);  // a PV set-point is kept by the solve
    EXPECT_EQ(got[0].buses[4].q_spec, -0.3);
    EXPECT_EQ(got[0].buses[4].p_spec, net.buses[4].p_spec);
    expect_same_report(got[0], solve_alone(net, merged), 0);
    // An empty scenario is the template itself; the template is not touched by the first one.
    expect_same_report(got[1], solve_alone(net, {}), 1);
}

TEST(Batch, UniformLoadScalingCoversEveryBusWithAnInjection) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<Bus> buses = {bus(0, BusType::Slack, 0.2, 0), bus(1, BusType::PV, 0.5, 0, 1.04),
                              bus(2, BusType::PQ, 0, 0), bus(3, BusType::PQ, 0, -0.1),
                              bus(4, BusType::PQ, nan, 0)};
    buses[2].zip.push_back({{-0.3, -0.1}, 0});  // ZIP terms alone do not count as an injection

    const std::vector<BusOverride> zero = uniform_load_scaling(buses, 0.0);
    ASSERT_EQ(zero.size(), 4u);
    const std::size_t want_bus[] = {0, 1, 3, 4};
    for (std::size_t k = 0; k < zero.size(); ++k) {
        EXPECT_EQ(zero[k].bus, want_bus[k]);
        EXPECT_FALSE(zero[k].vm.has_value());
    }
    EXPECT_EQ(*zero[0].p_spec, 0.0);
    EXPECT_EQ(*zero[2].q_spec, 0.0);

    const std::vector<BusOverride> doubled = uniform_load_scaling(buses, 2.0);
    EXPECT_EQ(*doubled[1].p_spec, 1.0);
    EXPECT_EQ(*doubled[1].q_spec, 0.0);
    EXPECT_EQ(*doubled[2].q_spec, -0.2);
    EXPECT_TRUE(std::isnan(*doubled[3].p_spec));
}

// A template one bus short of its Y-bus: any solve of it stops, so a refusal that returns
// normally shows that nothing was solved.
Net unsolvable() {
    Net net = grid();
    net.buses.pop_back();
    return net;
}

TEST(Batch, InvalidScenariosRefuseTheWholeBatchBeforeAnyWork) {
    const Net net = unsolvable();  // five template buses
    const Scenario fine{{{-0.1, std::nullopt, std::nullopt, 4}}, {}};
    const Scenario bad_bus{{{-0.1, std::nullopt, std::nullopt, 2}, {-0.1, -0.1, 1.0, 999}}, {}};
    const Scenario at_count{{{-0.1, std::nullopt, std::nullopt, 5}}, {}};
    const Scenario outage{{}, {7}};
    struct Case {
        std::vector<Scenario> scenarios;
        BatchError::Kind kind;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{fine, bad_bus, fine},
         BatchError::Kind::BusOutOfRange,
         "scenario 1 overrides bus 999, but the template has only 5 bus(es)"},
        {{fine, fine, at_count},
         BatchError::Kind::BusOutOfRange,
         "scenario 2 overrides bus 5, but the template has only 5 bus(es)"},
        {{outage, bad_bus},
         BatchError::Kind::BranchOutagesUnsupported,
         "scenario 0 requests branch outages, which are not implemented yet (see "
         "batch::Scenario::branch_outages)"},
        {{Scenario{{{-0.1, std::nullopt, std::nullopt, 999}}, {3}}},
         BatchError::Kind::BranchOutagesUnsupported,
         "scenario 0 requests branch outages, which are not implemented yet (see "
         "batch::Scenario::branch_outages)"},
    };
    BatchSolver solver = make_solver(4);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        auto result = solver.solve(net.buses, net.y, c.scenarios, kMaxIter, kTol);
        const BatchError* error = std::get_if<BatchError>(&result);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->kind, c.kind);
        EXPECT_EQ(error->message(), c.message);
    }
}

TEST(Batch, EmptyScenarioListGivesEmptyResultWithoutWork) {
    const Net net = unsolvable();
    BatchSolver solver = make_solver(3);
    EXPECT_TRUE(reports_of(solver.solve(net.buses, net.y, {}, kMaxIter, kTol)).empty());
}

TEST(Batch, StopInsideWorkersSurfacesOnTheCallerAndThePoolSurvives) {
    const Net broken = unsolvable();
    const Net net = grid();
    const std::vector<Scenario> scenarios(9);
    BatchSolver solver = make_solver(4);
    try {
        solver.solve(broken.buses, broken.y, scenarios, kMaxIter, kTol);
        FAIL() << "expected a stop";
    } catch (const Stop& s) {
        EXPECT_FALSE(s.message.empty());
    }
    const std::vector<PowerFlowReport> after =
        reports_of(solver.solve(net.buses, net.y, scenarios, kMaxIter, kTol));
    ASSERT_EQ(after.size(), 9u);
    for (const PowerFlowReport& r : after) EXPECT_EQ(r.stats.outcome, SolveOutcome::Converged);
}

// The number of threads of this process, as the kernel counts them.
std::size_t process_threads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoul(line.substr(8));
    }
    stop("no thread count in /proc/self/status");
}

TEST(ThreadPool, StartsExactlyTheCountAndJoinsOnDrop) {
    const std::size_t before = process_threads();
    {
        ThreadPool pool(5);
        EXPECT_EQ(pool.size(), 5u);
        EXPECT_EQ(process_threads(), before + 5);
    }
    EXPECT_EQ(process_threads(), before);
}

TEST(ThreadPool, RunsEveryCopyOnItsOwnThreadAtOnce) {
    ThreadPool pool(4);
    for (std::size_t copies : {4u, 3u, 1u}) {
        std::mutex m;
        std::condition_variable all_in;
        std::size_t arrived = 0;
        std::set<std::thread::id> ids;
        // Every copy waits for all the others, so they can only finish if they run at once.
        pool.run(copies, [&] {
            std::unique_lock lock(m);
            ids.insert(std::this_thread::get_id());
            if (++arrived == copies) all_in.notify_all();
            all_in.wait(lock, [&] { return arrived == copies; });
        });
        EXPECT_EQ(ids.size(), copies);
        EXPECT_EQ(ids.count(std::this_thread::get_id()), 0u);
    }
}

TEST(ThreadPool, FailureInAJobReachesTheCallerAfterEveryCopyEnded) {
    ThreadPool pool(3);
    std::atomic<int> ended{0};
    EXPECT_THROW(pool.run(6,
                          [&] {
                              const int k = ended.fetch_add(1);
                              if (k == 0) throw std::runtime_error("first");
                          }),
                 std::runtime_error);
    EXPECT_EQ(ended.load(), 6);
    // A job that waits on its own pool is refused rather than deadlocked.
    EXPECT_THROW(pool.run(1, [&] { pool.run(1, [] {}); }), Stop);
    pool.run(2, [&] { ended.fetch_add(1); });
    EXPECT_EQ(ended.load(), 8);
}

TEST(BatchCache, ReusesThePoolForOneCountAndReplacesItForAnother) {
    const std::size_t base = process_threads();
    std::optional<BatchCache> cache;
    auto fetch = [&](std::optional<std::size_t> threads) {
        auto fetched = fetch_batch_solver(cache, threads, Backend::Scalar);
        EXPECT_TRUE(std::holds_alternative<BatchSolver*>(fetched));
        return std::get<BatchSolver*>(fetched);
    };
    BatchSolver* four = fetch(4);
    const ThreadPool* pool = four->pool.get();
    EXPECT_EQ(cache->threads, 4u);
    EXPECT_EQ(pool->size(), 4u);
    EXPECT_EQ(fetch(4)->pool.get(), pool);
    EXPECT_EQ(process_threads(), base + 4);

    EXPECT_EQ(fetch(2)->pool->size(), 2u);
    EXPECT_EQ(cache->threads, 2u);
    EXPECT_EQ(process_threads(), base + 2);  // the old pool's threads have ended

    EXPECT_EQ(fetch(0)->pool->size(), 1u);
    EXPECT_EQ(cache->threads, 1u);
    EXPECT_EQ(fetch(std::nullopt)->pool->size(), default_threads());
    EXPECT_EQ(cache->solver.backend, Backend::Scalar);
    cache.reset();
    EXPECT_EQ(process_threads(), base);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// Address space of this process in bytes.
std::uint64_t address_space() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
    }
    stop("no VmSize in /proc/self/status");
}

// In a child process whose address space is capped just above its use, so that the system
// refuses new thread stacks: the build fails, and the pool cached before serves on.
void refused_pool_keeps_the_old_one() {
    const Net net = grid();
    const std::vector<Scenario> scenarios(3);
    std::optional<BatchCache> cache;
    auto first = fetch_batch_solver(cache, 2, Backend::Scalar);
    if (!std::holds_alternative<BatchSolver*>(first)) std::_Exit(2);
    reports_of(cache->solver.solve(net.buses, net.y, scenarios, kMaxIter, kTol));
    const ThreadPool* pool = cache->solver.pool.get();

    const rlimit cap{address_space() + (32u << 20), RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &cap) != 0) std::_Exit(3);
    auto refused = fetch_batch_solver(cache, 64, Backend::Scalar);
    const BatchError* error = std::get_if<BatchError>(&refused);
    if (error == nullptr) std::_Exit(4);
    if (error->kind != BatchError::Kind::ThreadPoolBuild) std::_Exit(5);
    const std::string prefix = "building the rayon thread pool failed: ";
    if (error->message().rfind(prefix, 0) != 0 || error->message().size() == prefix.size()) {
        std::_Exit(6);
    }
    if (cache->threads != 2 || cache->solver.pool.get() != pool) std::_Exit(7);
    auto again = fetch_batch_solver(cache, 2, Backend::Scalar);
    if (std::get<BatchSolver*>(again)->pool.get() != pool) std::_Exit(8);
    const std::vector<PowerFlowReport> got =
        reports_of(cache->solver.solve(net.buses, net.y, scenarios, kMaxIter, kTol));
    if (got.size() != 3 || got[2].stats.outcome != SolveOutcome::Converged) std::_Exit(9);
    std::fprintf(stderr, "%s\n", error->message().c_str());
    std::_Exit(0);
}

TEST(BatchCacheDeathTest, RefusedThreadsReportThreadPoolBuildAndKeepTheOldPool) {
    if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer needs an uncapped address space";
    EXPECT_EXIT(refused_pool_keeps_the_old_one(), ::testing::ExitedWithCode(0),
                "building the rayon thread pool failed: ");
}

}  // namespace
}  // namespace quillmere
