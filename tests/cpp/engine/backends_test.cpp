// The three backends solve the same networks to the same voltages in the same number of passes,
// and keep their caches the same way.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "network/networks.hpp"
#include "solver.hpp"

namespace quillmere {
namespace {

using testing::bus;
using testing::Stamps;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr Backend kBackends[] = {Backend::Scalar, Backend::Block, Backend::KluNative};

struct Net {
    std::vector<Bus> buses;
    YBusSparse y;
};

enum class Source { One, None, Two };
struct IslandSpec {
    Source source;
    std::size_t size;
};

// Random islands whose buses are numbered in one shuffled sequence, so islands interleave in bus
// order. Each island is a tree of short lines to one of the few buses before it plus a quarter as
// many loop-closing lines; its first bus (and second, for Source::Two) is a slack, a fifth of the
// rest are PV generators, the others loads with one ZIP term of each kind spread among them, and
// some buses carry a shunt.
Net synthetic(const std::vector<IslandSpec>& islands, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::size_t n = 0;
    for (const IslandSpec& s : islands) n += s.size;
    std::vector<std::size_t> number(n);
    std::iota(number.begin(), number.end(), 0);
    std::shuffle(number.begin(), number.end(), rng);

    std::vector<Bus> buses(n);
    std::vector<Line> lines;
    std::vector<ShuntAdm> shunts;
    std::size_t next = 0;
    for (const IslandSpec& s : islands) {
        const std::size_t first = next;
        const std::size_t slacks = s.source == Source::One ? 1 : s.source == Source::Two ? 2 : 0;
        for (std::size_t k = 0; k < s.size; ++k) {
            const std::size_t b = number[next++];
            Bus& x = buses[b];
            if (k < slacks) {
                x = bus(b, BusType::Slack, 0, 0, 1.0 + 0.03 * u(rng), 0.05 * (u(rng) - 0.5));
            } else if (u(rng) < 0.2) {
                x = bus(b, BusType::PV, 0.04 * u(rng), 0, 0.99 + 0.03 * u(rng));
            } else {
                x = bus(b, BusType::PQ, -0.02 * u(rng), -0.008 * u(rng));
                const double pick = u(rng);
                if (pick < 0.45) {
                    const auto kind = static_cast<std::uint8_t>(static_cast<int>(pick * 10.0) % 3);
                    x.zip.push_back({{-0.01 * u(rng), -0.004 * u(rng)}, kind});
                }
            }
            if (u(rng) < 0.15) shunts.push_back({{0.0, 0.02 * u(rng)}, b});
            if (k == 0) continue;
            const std::size_t reach = std::min<std::size_t>(k, 6);
            const std::size_t to = k - 1 - static_cast<std::size_t>(u(rng) * reach);
            lines.push_back({number[first + to], b, 0.004 + 0.01 * u(rng), 0.01 + 0.03 * u(rng),
                             0.01 * u(rng), 0.0});
        }
        for (std::size_t k = 0; k < s.size / 4; ++k) {
            const std::size_t a = first + static_cast<std::size_t>(u(rng) * s.size);
            const std::size_t c = first + static_cast<std::size_t>(u(rng) * s.size);
            if (a != c) lines.push_back({number[a], number[c], 0.01, 0.04, 0.0, 0.0});
        }
    }
    YBus y = network::build_ybus(n, lines, {});
    network::stamp_shunts(y, shunts);
    return {std::move(buses), std::move(y).finish()};
}

struct Solved {
    std::vector<Bus> buses;
    std::vector<IslandReport> islands;
    SolveStats stats;
};

Solved solve(const Net& net, Backend backend, std::uint64_t max_iter, double tol) {
    Solved out{net.buses, {}, {}};
    network::linear_initial_guess(out.buses, net.y);
    PersistentSolver solver(backend);
    std::tie(out.islands, out.stats) = solver.solve_with_stats(out.buses, net.y, max_iter, tol);
    return out;
}

std::string name(Backend b) {
    return b == Backend::Scalar ? "scalar" : b == Backend::Block ? "block" : "klu_native";
}

struct AgreementCase {
    const char* what;
    std::vector<IslandSpec> islands;
    std::uint64_t max_iter;
    SolveOutcome outcome;
};

TEST(Backends, AgreeOnVoltagesPassesAndStatuses) {
    const std::vector<IslandSpec> small{
        {Source::One, 6}, {Source::None, 3}, {Source::Two, 5}, {Source::One, 1}};
    const std::vector<IslandSpec> medium{
        {Source::One, 250}, {Source::Two, 150}, {Source::None, 40}, {Source::One, 120}};
    const AgreementCase cases[] = {
        {"small", small, 20, SolveOutcome::Converged},
        {"medium", medium, 20, SolveOutcome::Converged},
        {"medium cut after two passes", medium, 2, SolveOutcome::MaxIterations},
    };
    for (const AgreementCase& c : cases) {
        for (std::uint64_t seed : {1u, 2u, 3u}) {
            SCOPED_TRACE(std::string(c.what) + ", seed " + std::to_string(seed));
            const Net net = synthetic(c.islands, seed);
            const Solved ref = solve(net, Backend::Scalar, c.max_iter, 1e-10);
            ASSERT_EQ(ref.stats.outcome, c.outcome);
            ASSERT_GE(ref.stats.history.size(), 2u);
            for (Backend backend : kBackends) {
                SCOPED_TRACE(name(backend));
                const Solved got = solve(net, backend, c.max_iter, 1e-10);
                EXPECT_EQ(got.stats.outcome, ref.stats.outcome);
                ASSERT_EQ(got.stats.history.size(), ref.stats.history.size());
                EXPECT_EQ(got.stats.history[0], ref.stats.history[0]);
                for (std::size_t k = 1; k < ref.stats.history.size(); ++k) {
                    EXPECT_NEAR(got.stats.history[k], ref.stats.history[k],
                                1e-9 + 1e-6 * ref.stats.history[k]);
                }
                ASSERT_EQ(got.islands.size(), ref.islands.size());
                for (std::size_t i = 0; i < ref.islands.size(); ++i) {
                    EXPECT_EQ(got.islands[i].status, ref.islands[i].status) << "island " << i;
                    EXPECT_EQ(got.islands[i].buses, ref.islands[i].buses);
                    EXPECT_EQ(got.islands[i].slacks, ref.islands[i].slacks);
                }
                for (std::size_t b = 0; b < net.buses.size(); ++b) {
                    const Bus& g = got.buses[b];
                    const Bus& r = ref.buses[b];
                    EXPECT_LT(std::abs(std::polar(g.vm, g.va) - std::polar(r.vm, r.va)), 1e-9)
                        << "bus " << b;
                    EXPECT_EQ(g.bus_type, r.bus_type);
                    if (g.bus_type == static_cast<std::uint8_t>(BusType::PV)) {
                        EXPECT_EQ(g.vm, net.buses[b].vm) << "PV bus " << b;
                    }
                }
            }
        }
    }
}

TEST(Backends, IslandsOfEveryKindAreReportedAlike) {
    const Net net = synthetic({{Source::One, 6}, {Source::None, 3}, {Source::Two, 5}}, 4);
    for (Backend backend : kBackends) {
        SCOPED_TRACE(name(backend));
        const Solved got = solve(net, backend, 20, 1e-10);
        ASSERT_EQ(got.islands.size(), 3u);
        std::vector<IslandStatus> statuses;
        for (const IslandReport& r : got.islands) statuses.push_back(r.status);
        std::vector<IslandStatus> want{IslandStatus::Converged, IslandStatus::Sourceless,
                                       IslandStatus::MultiSlack};
        std::vector<IslandStatus> sorted = statuses;
        std::sort(sorted.begin(), sorted.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(sorted, want);
        for (const IslandReport& r : got.islands) {
            if (r.status != IslandStatus::Sourceless) continue;
            EXPECT_TRUE(r.slacks.empty());
            for (std::size_t b : r.buses) {
                EXPECT_EQ(got.buses[b].bus_type, static_cast<std::uint8_t>(BusType::Slack));
                EXPECT_EQ(got.buses[b].vm, 0.0);
            }
        }
    }
}

// Cases that need no linear solve, or whose mismatch can never pass, end alike on every backend.
TEST(Backends, EdgeOutcomesAreTheSame) {
    struct Case {
        const char* what;
        Net net;
        std::uint64_t max_iter;
        double tol;
        SolveOutcome outcome;
        std::vector<IslandStatus> statuses;
        std::size_t history;
        bool backend_object;
    };
    const Net feeder{{bus(0, BusType::Slack), bus(1, BusType::PQ, -0.5, -0.1)},
                     Stamps{2}.branch(0, 1, {2, -6}).finish()};
    const Net all_slack{{bus(0, BusType::Slack), bus(1, BusType::Slack, 0, 0, 1.05)},
                        Stamps{2}.branch(0, 1, {1, -3}).finish()};
    using S = IslandStatus;
    const Case cases[] = {
        {"no pass allowed",
         feeder,
         0,
         1e-8,
         SolveOutcome::MaxIterations,
         {S::NotConverged},
         0,
         false},
        {"NaN tol", feeder, 4, kNaN, SolveOutcome::MaxIterations, {S::NotConverged}, 4, true},
        {"no unknowns", all_slack, 20, 1e-8, SolveOutcome::Converged, {S::MultiSlack}, 1, false},
    };
    for (const Case& c : cases) {
        for (Backend backend : kBackends) {
            SCOPED_TRACE(std::string(c.what) + ", " + name(backend));
            std::vector<Bus> buses = c.net.buses;
            PersistentSolver solver(backend);
            const auto [islands, stats] =
                solver.solve_with_stats(buses, c.net.y, c.max_iter, c.tol);
            EXPECT_EQ(stats.outcome, c.outcome);
            EXPECT_EQ(stats.history.size(), c.history);
            ASSERT_EQ(islands.size(), c.statuses.size());
            for (std::size_t i = 0; i < islands.size(); ++i) {
                EXPECT_EQ(islands[i].status, c.statuses[i]);
            }
            EXPECT_EQ(solver.has_backend_object(), c.backend_object);
            EXPECT_EQ(solver.pattern().has_value(), backend != Backend::Block);
        }
    }
}

// The analysed backend object serves every later solve; reset drops it and the next solve makes
// it again, with the same result. The block path never builds the Jacobian pattern.
TEST(Backends, CachesAreKeptAcrossSolvesAndRebuiltAfterReset) {
    const Net net = synthetic({{Source::One, 40}, {Source::None, 4}}, 5);
    for (Backend backend : kBackends) {
        SCOPED_TRACE(name(backend));
        PersistentSolver solver(backend);
        std::vector<std::vector<double>> histories;
        std::vector<std::vector<Bus>> results;
        auto run = [&] {
            std::vector<Bus> buses = net.buses;
            network::linear_initial_guess(buses, net.y);
            auto [islands, stats] = solver.solve_with_stats(buses, net.y, 20, 1e-10);
            EXPECT_EQ(stats.outcome, SolveOutcome::Converged);
            histories.push_back(stats.history);
            results.push_back(buses);
        };
        run();
        const std::size_t* order =
            solver.block_symbolic() ? solver.block_symbolic()->order.data() : nullptr;
        run();
        const std::uint64_t patterns = backend == Backend::Block ? 0 : 1;
        EXPECT_EQ(solver.backend_creations(), 1u);
        EXPECT_EQ(solver.pattern_builds(), patterns);
        EXPECT_EQ(solver.block_symbolic().has_value(), backend == Backend::Block);
        if (order != nullptr) {
            EXPECT_EQ(solver.block_symbolic()->order.data(), order);
        }

        solver.reset();
        EXPECT_FALSE(solver.has_backend_object());
        EXPECT_FALSE(solver.pattern().has_value());
        EXPECT_FALSE(solver.block_symbolic().has_value());
        EXPECT_EQ(solver.backend(), backend);
        run();
        EXPECT_EQ(solver.backend_creations(), 2u);
        EXPECT_EQ(solver.pattern_builds(), 2 * patterns);
        for (std::size_t k = 1; k < histories.size(); ++k) {
            EXPECT_EQ(histories[k], histories[0]);
            for (std::size_t b = 0; b < net.buses.size(); ++b) {
                EXPECT_EQ(results[k][b].vm, results[0][b].vm);
                EXPECT_EQ(results[k][b].va, results[0][b].va);
            }
        }
    }
}

}  // namespace
}  // namespace quillmere
