// The batch solver against sequential single solves, its refusals, a stop inside a worker, and
// the worker pool it runs on.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <limits>
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
using testing::grid;
using testing::Net;
constexpr std::uint64_t kMaxIter = 15;
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
    ASSERT_EQ(want[0][0], static_cast<std::uint64_t>(SolveOutcome::Converged));
    ASSERT_NE(want[4][0], static_cast<std::uint64_t>(SolveOutcome::Converged));
    for (std::size_t threads : {1u, 2u, 8u, 40u}) {
        std::optional<BatchCache> cache;
        for (int round = 0; round < 2; ++round) {  // a reused pool gives the same results
            const auto got = solved(*fetched(cache, threads), net, scenarios);
            ASSERT_EQ(got.size(), scenarios.size());
            for (std::size_t s = 0; s < scenarios.size(); ++s) {
                EXPECT_EQ(fingerprint(got[s]), want[s]) << threads << " threads, scenario " << s;
            }
        }
    }
}

// The template is one bus short of its Y-bus, so any solve of it stops: invalid scenarios are
// refused before any work, and valid ones reach the workers, whose stop surfaces on the caller.
TEST(Batch, InvalidScenariosRefuseBeforeAnyWorkAndAStopInAWorkerSurfaces) {
    Net net = grid();
    net.buses.pop_back();
    const Scenario fine{{{-0.1, nullopt, nullopt, 4}}, {}};
    const Scenario bad_bus{{{-0.1, nullopt, nullopt, 2}, {-0.1, -0.1, 1.0, 999}}, {}};
    const Scenario at_n{{{-0.1, nullopt, nullopt, 5}}, {}};
    const Scenario outage{{{-0.1, nullopt, nullopt, 999}}, {7}};
    const std::string buses_text = ", but the template has only 5 bus(es)";
    const std::string outage_text =
        " requests branch outages, which are not implemented yet (see "
        "batch::Scenario::branch_outages)";
    using K = BatchError::Kind;
    struct Case {
        std::vector<Scenario> scenarios;
        K kind;
        std::string message;
    };
    const Case cases[] = {
        {{fine, bad_bus, fine}, K::BusOutOfRange, "scenario 1 overrides bus 999" + buses_text},
        {{fine, fine, at_n}, K::BusOutOfRange, "scenario 2 overrides bus 5" + buses_text},
        {{outage, bad_bus}, K::BranchOutagesUnsupported, "scenario 0" + outage_text},
        {{fine, outage}, K::BranchOutagesUnsupported, "scenario 1" + outage_text},
    };
    std::optional<BatchCache> cache;
    BatchSolver& solver = *fetched(cache, 4);
    for (const Case& c : cases) {
        auto result = solver.solve(net.buses, net.y, c.scenarios, kMaxIter, kTol);
        ASSERT_TRUE(std::holds_alternative<BatchError>(result)) << c.message;
        EXPECT_EQ(std::get<BatchError>(result).kind, c.kind);
        EXPECT_EQ(std::get<BatchError>(result).message(), c.message);
    }
    EXPECT_TRUE(solved(solver, net, {}).empty());
    const std::vector<Scenario> scenarios(9);
    EXPECT_THROW(solved(solver, net, scenarios), Stop);
    const std::vector<PowerFlowReport> after = solved(solver, grid(), scenarios);
    ASSERT_EQ(after.size(), 9u);
    for (const PowerFlowReport& r : after) EXPECT_EQ(r.stats.outcome, SolveOutcome::Converged);
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

// A field of /proc/self/status, such as the kernel's count of this process's threads.
std::uint64_t proc_status(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0) return std::stoull(line.substr(field.size()));
    }
    stop("no " + field + " in /proc/self/status");
}

// The kernel still counts a joined thread for a moment after its join returned, so a count is
// read once it has reached `want` (or held still for 10 ms when no count is wanted), waiting at
// most five seconds.
std::uint64_t threads_settled(std::optional<std::uint64_t> want = nullopt) {
    std::uint64_t last = proc_status("Threads:");
    for (int k = 0; k < 500 && last != want.value_or(last + 1); ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::uint64_t now = proc_status("Threads:");
        if (!want && now == last) break;
        last = now;
    }
    return last;
}

TEST(BatchCache, ReusesThePoolForOneCountAndReplacesItForAnother) {
    const std::uint64_t base = threads_settled();
    std::optional<BatchCache> cache;
    const ThreadPool* four = fetched(cache, 4)->pool.get();
    EXPECT_EQ(fetched(cache, 4)->pool.get(), four);
    EXPECT_EQ(threads_settled(base + 4), base + 4);
    EXPECT_EQ(fetched(cache, 2)->pool->size(), 2u);
    EXPECT_EQ(threads_settled(base + 2), base + 2);  // the replaced pool's threads have ended
    EXPECT_EQ(fetched(cache, 0)->pool->size(), 1u);
    EXPECT_EQ(fetched(cache, nullopt)->pool->size(), default_threads());
    // A count no pool can hold is refused like a thread the system refuses; the cache stays.
    auto huge = fetch_batch_solver(cache, std::numeric_limits<std::size_t>::max(), Backend::Scalar);
    ASSERT_TRUE(std::holds_alternative<BatchError>(huge));
    EXPECT_EQ(std::get<BatchError>(huge).kind, BatchError::Kind::ThreadPoolBuild);
    EXPECT_EQ(cache->threads, default_threads());
    cache.reset();
    EXPECT_EQ(threads_settled(base), base);
}

// In a child whose address space is capped just above its use, the system refuses new thread
// stacks: the build fails, the threads it started are joined, and the pool cached before serves on.
void refused_pool_keeps_the_old_one() {
    std::optional<BatchCache> cache;
    const std::vector<Scenario> scenarios(3);
    solved(*fetched(cache, 2), grid(), scenarios);
    const ThreadPool* pool = cache->solver.pool.get();
    const rlimit cap{proc_status("VmSize:") * 1024 + (32u << 20), RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &cap) != 0) std::_Exit(1);
    auto refused = fetch_batch_solver(cache, 64, Backend::Scalar);
    const BatchError* error = std::get_if<BatchError>(&refused);
    if (error == nullptr || error->kind != BatchError::Kind::ThreadPoolBuild ||
        error->detail.empty() || cache->threads != 2 || fetched(cache, 2)->pool.get() != pool ||
        solved(cache->solver, grid(), scenarios)[2].stats.outcome != SolveOutcome::Converged) {
        std::_Exit(1);
    }
    std::fprintf(stderr, "%s\n", error->message().c_str());
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
