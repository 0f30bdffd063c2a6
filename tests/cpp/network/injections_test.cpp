#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/stop.hpp"
#include "network/network.hpp"
#include "support/networks.hpp"

namespace quillmere {
namespace {

using C = Complex;
using test_support::bus;
using test_support::phasor;

// Slack 0 -- PQ 1 -- PV 2, with ZIP terms on the PQ bus; then the same with a fourth bus that has
// neither a Y-bus entry nor an injection, which makes the whole system singular: the guess is then
// made without it. Last, a PQ load that cancels its own diagonal: nothing can be solved.
TEST(LinearInitialGuess, SolvesThePqBusesLeavingSourcelessOnesOutOrLeavesEveryBusAlone) {
    const std::vector<Line> lines = {{0, 1, 0.02, 0.06, 0.0, 0.0}, {1, 2, 0.01, 0.05, 0.0, 0.0}};
    std::vector<Bus> buses = {bus(0, BusType::Slack, 0, 0, 1.02, 0.1),
                              bus(1, BusType::PQ, -0.5, -0.2, 0.9, 0.3),
                              bus(2, BusType::PV, 0.4, 0, 1.01, -0.05)};
    buses[1].zip = {{C(-0.1, -0.05), ZipKind::ConstantCurrent},
                    {C(-0.2, 0.1), ZipKind::ConstantImpedance}};
    std::vector<Bus> isolated = buses;
    isolated.push_back(bus(3, BusType::PQ, 0, 0, 0.96, -0.4));
    const auto before = isolated;

    network::linear_initial_guess(buses, network::build_ybus(3, lines, {}).finish());
    const C y01 = 1.0 / C(0.02, 0.06), y12 = 1.0 / C(0.01, 0.05);
    const C s = C(-0.5, -0.2) + C(-0.1, -0.05) * 0.9 + C(-0.2, 0.1) * 0.81;
    const C x = (y01 * phasor(before[0]) + y12 * phasor(before[2])) / (y01 + y12 - std::conj(s));
    EXPECT_LT(std::abs(phasor(buses[1]) - x), 1e-12);
    EXPECT_EQ(phasor(buses[0]), phasor(before[0]));
    EXPECT_EQ(phasor(buses[2]), phasor(before[2]));

    const YBusSparse y4 = network::build_ybus(4, lines, {}).finish();
    network::linear_initial_guess(isolated, y4);
    EXPECT_EQ(phasor(isolated[1]), phasor(buses[1]));
    EXPECT_EQ(phasor(isolated[3]), phasor(before[3]));

    std::vector<Bus> cancelled = before;
    cancelled[1].zip.clear();
    cancelled[1].p_spec = std::conj(y01 + y12).real();
    cancelled[1].q_spec = std::conj(y01 + y12).imag();
    const auto unchanged = cancelled;
    network::linear_initial_guess(cancelled, y4);
    EXPECT_EQ(test_support::largest_shift(cancelled, unchanged), 0.0);

    EXPECT_THROW(network::linear_initial_guess(buses, y4), Stop);
    EXPECT_THROW(network::power_injections(buses, y4), Stop);
}

// A kept cache gives every later guess bit for bit what a fresh one gives, also on the retry
// without a sourceless component (an unloaded bus of its own in a random network).
TEST(LinearInitialGuess, KeptAnalysisChangesNoBit) {
    test_support::Net net = test_support::synthetic({{1, 300}, {2, 80}, {0, 1}}, 5);
    for (Bus& b : net.buses) {
        if (!net.y.rows[b.index].empty()) continue;
        b.p_spec = b.q_spec = 0.0;
        b.zip.clear();
    }
    network::GuessCache cache;
    for (double scale : {1.0, 0.5, 1.7}) {
        std::vector<Bus> fresh = net.buses;
        for (Bus& b : fresh) b.p_spec *= scale, b.q_spec *= scale;
        std::vector<Bus> kept = fresh;
        network::linear_initial_guess(fresh, net.y);
        network::linear_initial_guess(kept, net.y, cache);
        ASSERT_NE(test_support::largest_shift(fresh, net.buses), 0.0);
        for (std::size_t b = 0; b < fresh.size(); ++b) {
            EXPECT_EQ(kept[b].vm, fresh[b].vm) << b;
            EXPECT_EQ(kept[b].va, fresh[b].va) << b;
        }
    }
    ASSERT_TRUE(cache.whole && cache.sourced);
    // The later guesses refactor along the first one's pivots.
    EXPECT_EQ(cache.sourced->system.refactorizations(), 2u);
}

// The flat injections and the compact measurement give, bit for bit, what the bus records give:
// ZIP terms of every kind, several on one bus, at magnitudes away from 1; refilled for a bus list
// with fewer terms.
TEST(Injections, FlatSpecAndMeasurementMatchTheBusRecords) {
    test_support::Net net = test_support::synthetic({{1, 200}, {2, 60}}, 9);
    net.buses[7].zip = {{C(-0.1, 0.02), ZipKind::ConstantPower},
                        {C(0.3, -0.1), ZipKind::ConstantCurrent},
                        {C(-0.05, -0.2), ZipKind::ConstantImpedance},
                        {C(0.01, 0.01), ZipKind::ConstantCurrent}};
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (Bus& b : net.buses) {
        b.vm = 0.85 + 0.3 * u(rng);
        b.va = u(rng) - 0.5;
    }
    network::InjectionSpec spec;
    network::InjectionWork work;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        spec.assign(net.buses);
        network::power_injections(net.buses, net.y, work);
        const auto [p, q] = network::power_injections(net.buses, net.y);
        ASSERT_EQ(work.at.size(), net.buses.size());
        for (std::size_t b = 0; b < net.buses.size(); ++b) {
            const Bus& bus = net.buses[b];
            const network::BusPower& at = work.at[b];
            EXPECT_TRUE(at.vm == bus.vm && at.va == bus.va && at.p == p[b] && at.q == q[b]) << b;
            const C s = network::effective_injection(bus);
            EXPECT_EQ(spec.effective(b, bus.vm), s) << b;
            const auto [dp, dq] = network::bus_mismatch(spec, b, at);
            EXPECT_TRUE(dp == s.real() - p[b] && dq == s.imag() - q[b]) << b;
        }
        for (Bus& b : net.buses) {
            if (!b.zip.empty()) b.zip.pop_back();
        }
    }
}

}  // namespace
}  // namespace quillmere
