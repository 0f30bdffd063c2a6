// The batch solver against sequential single solves, its refusals, a stop inside a worker, and
// the worker pool it runs on.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstdint>
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
#include "network/networks.hpp"
#include "stop.hpp"
#include "thread_pool.hpp"

namespace quillmere {
namespace {

using std::nullopt;
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
             bus(4, BusType::PQ, -0.2, -0.05), bus(5, BusType::PQ)},
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

// A template one bus short of its Y-bus: any solve of it stops, so a batch on it that returns
// normally has solved nothing.
Net unsolvable() {
    Net net = grid();
    net.buses.pop_back();
    return net;
}

constexpr std::uint64_t kMaxIter = 15;
constexpr double kTol = 1e-10;

// The same case solved alone on a fresh solver, as a single solve does it.
PowerFlowReport solve_alone(const Net& net, std::span<const BusOverride> overrides) {
    std::vector<Bus> buses = net.buses;
    for (const BusOverride& o : overrides) {
        if (o.p_spec) buses[o.bus].p_spec = *o.p_spec;
        if (o.q_spec) buses[o.bus].q_spec = *o.q_spec;
        if (o.vm) buses[o.bus].vm = *o.vm;
    }
    network::linear_initial_guess(buses, net.y);
    PersistentSolver solver;
    auto [islands, stats] = solver.solve_with_stats(buses, net.y, kMaxIter, kTol);
    return {std::move(buses), std::move(islands), std::move(stats)};
}

// Everything a result says, as bits, so that NaN results compare too.
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

BatchSolver make_solver(std::size_t threads) {
    std::optional<BatchCache> cache;
    if (!std::holds_alternative<BatchSolver*>(
            fetch_batch_solver(cache, threads, Backend::Scalar))) {
        stop("pool could not be built");
    }
    return std::move(cache->solver);
}

std::vector<PowerFlowReport> solved(BatchSolver& solver, const Net& net,
                                    std::span<const Scenario> scenarios) {
    auto result = solver.solve(net.buses, net.y, scenarios, kMaxIter, kTol);
    if (auto* error = std::get_if<BatchError>(&result)) stop("batch refused: " + error->message());
    return std::get<std::vector<PowerFlowReport>>(std::move(result));
}

TEST(Batch, ResultsInScenarioOrderEqualSequentialSolvesForEveryThreadCount) {
    const Net net = grid();
    // Scenario 4 cannot converge; the cases after it on the same worker must not notice.
    std::vector<Scenario> scenarios;
    for (int k = 0; k < 12; ++k) {
        scenarios.push_back({uniform_load_scaling(net.buses, k == 4 ? 40.0 : 0.5 + 0.1 * k), {}});
    }
    std::vector<std::vector<std::uint64_t>> alone;
    for (const Scenario& s : scenarios) alone.push_back(fingerprint(solve_alone(net, s.overrides)));
    ASSERT_EQ(alone[0][0], static_cast<std::uint64_t>(SolveOutcome::Converged));
    ASSERT_NE(alone[4][0], static_cast<std::uint64_t>(SolveOutcome::Converged));

    for (std::size_t threads : {1u, 2u, 8u, 40u}) {
        BatchSolver solver = make_solver(threads);
        for (int round = 0; round < 2; ++round) {  // a reused pool gives the same results
            const std::vector<PowerFlowReport> got = solved(solver, net, scenarios);
            ASSERT_EQ(got.size(), scenarios.size());
            for (std::size_t s = 0; s < scenarios.size(); ++s) {
                EXPECT_EQ(fingerprint(got[s]), alone[s]) << threads << " threads, scenario " << s;
            }
        }
    }
}

TEST(Batch, OverridesApplyInOrderLaterOnesWinFieldByField) {
    const Net net = grid();
    const std::vector<Scenario> scenarios = {{{{-0.9, -0.2, nullopt, 2},
                                               {nullopt, nullopt, 1.03, 1},
                                               {-0.6, nullopt, nullopt, 2},
                                               {nullopt, -0.3, nullopt, 4}},
                                              {}},
                                             {}};
    const std::vector<BusOverride> merged = {
        {-0.6, -0.2, nullopt, 2}, {nullopt, nullopt, 1.03, 1}, {nullopt, -0.3, nullopt, 4}};
    BatchSolver solver = make_solver(2);
    const std::vector<PowerFlowReport> got = solved(solver, net, scenarios);
    EXPECT_EQ(got[0].buses[2].p_spec, -0.6);
    EXPECT_EQ(got[0].buses[2].q_spec, -0.2);
    EXPECT_EQ(got[0].buses[1].vm, 1.03);
    EXPECT_EQ(fingerprint(got[0]), fingerprint(solve_alone(net, merged)));
    // The empty scenario is the untouched template.
    EXPECT_EQ(fingerprint(got[1]), fingerprint(solve_alone(net, {})));
}

TEST(Batch, UniformLoadScalingCoversEveryBusWithAnInjection) {
    std::vector<Bus> buses = {bus(0, BusType::Slack, 0.2), bus(1, BusType::PV, 0.5, 0, 1.04),
                              bus(2, BusType::PQ), bus(3, BusType::PQ, 0, -0.1),
                              bus(4, BusType::PQ, std::numeric_limits<double>::quiet_NaN())};
    buses[2].zip.push_back({{-0.3, -0.1}, 0});  // ZIP terms are not scaled
    const std::vector<BusOverride> zero = uniform_load_scaling(buses, 0.0);
    ASSERT_EQ(zero.size(), 4u);
    const std::size_t want_bus[] = {0, 1, 3, 4};
    for (std::size_t k = 0; k < zero.size(); ++k) {
        EXPECT_EQ(zero[k].bus, want_bus[k]);
        EXPECT_EQ(*zero[k].q_spec, 0.0);
        EXPECT_FALSE(zero[k].vm.has_value());
    }
    const std::vector<BusOverride> doubled = uniform_load_scaling(buses, 2.0);
    EXPECT_EQ(*doubled[1].p_spec, 1.0);
    EXPECT_EQ(*doubled[2].q_spec, -0.2);
    EXPECT_TRUE(std::isnan(*doubled[3].p_spec));
}

TEST(Batch, InvalidScenariosRefuseTheWholeBatchBeforeAnyWork) {
    const Net net = unsolvable();  // five template buses
    const Scenario fine{{{-0.1, nullopt, nullopt, 4}}, {}};
    const Scenario bad_bus{{{-0.1, nullopt, nullopt, 2}, {-0.1, -0.1, 1.0, 999}}, {}};
    const Scenario outage{{{-0.1, nullopt, nullopt, 999}}, {7}};
    const std::string outage_text =
        " requests branch outages, which are not implemented yet (see "
        "batch::Scenario::branch_outages)";
    struct Case {
        std::vector<Scenario> scenarios;
        BatchError::Kind kind;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{fine, bad_bus, fine},
         BatchError::Kind::BusOutOfRange,
         "scenario 1 overrides bus 999, but the template has only 5 bus(es)"},
        {{fine, fine, {{{-0.1, nullopt, nullopt, 5}}, {}}},
         BatchError::Kind::BusOutOfRange,
         "scenario 2 overrides bus 5, but the template has only 5 bus(es)"},
        {{outage, bad_bus}, BatchError::Kind::BranchOutagesUnsupported, "scenario 0" + outage_text},
        {{fine, outage}, BatchError::Kind::BranchOutagesUnsupported, "scenario 1" + outage_text},
    };
    BatchSolver solver = make_solver(4);
    for (const Case& c : cases) {
        auto result = solver.solve(net.buses, net.y, c.scenarios, kMaxIter, kTol);
        ASSERT_TRUE(std::holds_alternative<BatchError>(result)) << c.message;
        EXPECT_EQ(std::get<BatchError>(result).kind, c.kind);
        EXPECT_EQ(std::get<BatchError>(result).message(), c.message);
    }
    EXPECT_TRUE(solved(solver, net, {}).empty());
}

TEST(Batch, StopInsideWorkersSurfacesOnTheCallerAndThePoolSurvives) {
    const std::vector<Scenario> scenarios(9);
    BatchSolver solver = make_solver(4);
    EXPECT_THROW(solved(solver, unsolvable(), scenarios), Stop);
    const std::vector<PowerFlowReport> after = solved(solver, grid(), scenarios);
    ASSERT_EQ(after.size(), 9u);
    for (const PowerFlowReport& r : after) EXPECT_EQ(r.stats.outcome, SolveOutcome::Converged);
}

TEST(ThreadPool, RunsEveryCopyOnItsOwnThreadAtOnce) {
    ThreadPool pool(4);
    for (std::size_t copies : {4u, 3u, 1u}) {
        std::mutex m;
        std::condition_variable all_in;
        std::size_t arrived = 0;
        std::set<std::thread::id> ids;
        // Every copy waits for all the others, so they can only end if they run at once.
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
    auto job = [&] {
        if (ended.fetch_add(1) == 0) throw std::runtime_error("first");
    };
    EXPECT_THROW(pool.run(6, job), std::runtime_error);
    EXPECT_EQ(ended.load(), 6);
    // A job that waits on its own pool is refused rather than deadlocked.
    EXPECT_THROW(pool.run(1, [&] { pool.run(1, [] {}); }), Stop);
    pool.run(2, [&] { ended.fetch_add(1); });
    EXPECT_EQ(ended.load(), 8);
}

// A field of /proc/self/status, such as the kernel's count of this process's threads.
std::uint64_t proc_status(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0) return std::stoull(line.substr(field.size()));
    }
    stop("no " + field + " in /proc/self/status");
}

BatchSolver* fetched(std::optional<BatchCache>& cache, std::optional<std::size_t> threads) {
    auto result = fetch_batch_solver(cache, threads, Backend::Scalar);
    return std::holds_alternative<BatchSolver*>(result) ? std::get<BatchSolver*>(result) : nullptr;
}

TEST(BatchCache, ReusesThePoolForOneCountAndReplacesItForAnother) {
    const std::uint64_t base = proc_status("Threads:");
    std::optional<BatchCache> cache;
    const ThreadPool* four = fetched(cache, 4)->pool.get();
    EXPECT_EQ(four->size(), 4u);
    EXPECT_EQ(fetched(cache, 4)->pool.get(), four);
    EXPECT_EQ(proc_status("Threads:"), base + 4);
    EXPECT_EQ(fetched(cache, 2)->pool->size(), 2u);
    EXPECT_EQ(proc_status("Threads:"), base + 2);  // the replaced pool's threads have ended
    EXPECT_EQ(fetched(cache, 0)->pool->size(), 1u);
    EXPECT_EQ(cache->threads, 1u);
    EXPECT_EQ(fetched(cache, nullopt)->pool->size(), default_threads());
    // A count no pool can hold is refused like a thread the system refuses; the cache stays.
    auto huge = fetch_batch_solver(cache, std::numeric_limits<std::size_t>::max(), Backend::Scalar);
    ASSERT_TRUE(std::holds_alternative<BatchError>(huge));
    EXPECT_EQ(std::get<BatchError>(huge).kind, BatchError::Kind::ThreadPoolBuild);
    EXPECT_EQ(cache->threads, default_threads());
    cache.reset();
    EXPECT_EQ(proc_status("Threads:"), base);
}

// Run in a child whose address space is capped just above its use, so that the system refuses
// new thread stacks: the build fails, and the pool cached before serves on.
void refused_pool_keeps_the_old_one() {
    const Net net = grid();
    const std::vector<Scenario> scenarios(3);
    std::optional<BatchCache> cache;
    auto require = [](bool ok) {
        if (!ok) std::_Exit(1);
    };
    require(fetched(cache, 2) != nullptr);
    solved(cache->solver, net, scenarios);
    const ThreadPool* pool = cache->solver.pool.get();
    const rlimit cap{proc_status("VmSize:") * 1024 + (32u << 20), RLIM_INFINITY};
    require(setrlimit(RLIMIT_AS, &cap) == 0);
    auto refused = fetch_batch_solver(cache, 64, Backend::Scalar);
    require(std::holds_alternative<BatchError>(refused));
    const BatchError& error = std::get<BatchError>(refused);
    require(error.kind == BatchError::Kind::ThreadPoolBuild && !error.detail.empty());
    require(cache->threads == 2 && fetched(cache, 2)->pool.get() == pool);
    require(solved(cache->solver, net, scenarios)[2].stats.outcome == SolveOutcome::Converged);
    std::fprintf(stderr, "%s\n", error.message().c_str());
    std::_Exit(0);
}

#if defined(__SANITIZE_ADDRESS__)
#define QM_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QM_ADDRESS_SANITIZER 1
#endif
#endif

TEST(BatchCacheDeathTest, RefusedThreadsReportThreadPoolBuildAndKeepTheOldPool) {
#ifdef QM_ADDRESS_SANITIZER
    GTEST_SKIP() << "AddressSanitizer needs an uncapped address space";
#endif
    EXPECT_EXIT(refused_pool_keeps_the_old_one(), ::testing::ExitedWithCode(0),
                "building the rayon thread pool failed: ");
}

}  // namespace
}  // namespace quillmere
