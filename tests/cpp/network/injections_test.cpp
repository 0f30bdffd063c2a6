#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "network.hpp"
#include "stop.hpp"

namespace quillmere {
namespace {

using C = Complex;

Bus make_bus(std::size_t index, BusType type, double vm, double va, double p = 0.0,
             double q = 0.0) {
    Bus b;
    b.index = index;
    b.bus_type = static_cast<std::uint8_t>(type);
    b.vm = vm;
    b.va = va;
    b.p_spec = p;
    b.q_spec = q;
    return b;
}

C phasor(const Bus& b) {
    return std::polar(b.vm, b.va);
}

TEST(EffectiveInjection, AddsZipTermsAtStoredMagnitude) {
    Bus b = make_bus(0, BusType::PQ, 0.9, 0.0, -0.5, -0.2);
    b.zip = {{C(-0.1, -0.05), 1}, {C(-0.2, 0.1), 2}, {C(0.3, 0.0), 0}};
    const C s = network::effective_injection(b);
    const C want = C(-0.5, -0.2) + C(-0.1, -0.05) * 0.9 + C(-0.2, 0.1) * 0.81 + C(0.3, 0.0);
    EXPECT_NEAR(s.real(), want.real(), 1e-15);
    EXPECT_NEAR(s.imag(), want.imag(), 1e-15);
}

TEST(PowerInjections, MatchesVConjYV) {
    const std::vector<Line> lines = {{0, 1, 0.03, 0.04, 0.1, 0.02}};
    YBus raw = network::build_ybus(2, lines, {});
    network::stamp_shunts(raw, std::vector<ShuntAdm>{{C(0.05, -0.3), 1}});
    const YBusSparse y = std::move(raw).finish();
    const std::vector<Bus> buses = {make_bus(0, BusType::Slack, 1.02, 0.05),
                                    make_bus(1, BusType::PQ, 0.97, -0.08)};
    const auto [p, q] = network::power_injections(buses, y);
    ASSERT_EQ(p.size(), 2u);
    const C y12 = -1.0 / C(0.03, 0.04), yd = -y12 + C(0.01, 0.05);
    const C v0 = phasor(buses[0]), v1 = phasor(buses[1]);
    const C s0 = v0 * std::conj(yd * v0 + y12 * v1);
    const C s1 = v1 * std::conj(y12 * v0 + (yd + C(0.05, -0.3)) * v1);
    EXPECT_NEAR(p[0], s0.real(), 1e-12);
    EXPECT_NEAR(q[0], s0.imag(), 1e-12);
    EXPECT_NEAR(p[1], s1.real(), 1e-12);
    EXPECT_NEAR(q[1], s1.imag(), 1e-12);

    EXPECT_THROW(network::power_injections(std::span(buses).first(1), y), Stop);
    std::vector<Bus> one = {buses[1]};
    EXPECT_THROW(network::linear_initial_guess(one, y), Stop);
}

TEST(PowerInjections, EmptyNetwork) {
    const YBusSparse y = network::build_ybus(0, {}, {}).finish();
    const auto [p, q] = network::power_injections({}, y);
    EXPECT_TRUE(p.empty());
    EXPECT_TRUE(q.empty());
    std::vector<Bus> none;
    network::linear_initial_guess(none, y);
}

// Slack 0 -- PQ 1 -- PV 2, with ZIP terms on the PQ bus.
TEST(LinearInitialGuess, HoldsSlackAndPvAndUsesZipTerms) {
    const std::vector<Line> lines = {{0, 1, 0.02, 0.06, 0.0, 0.0}, {1, 2, 0.01, 0.05, 0.0, 0.0}};
    const YBusSparse y = network::build_ybus(3, lines, {}).finish();
    std::vector<Bus> buses = {make_bus(0, BusType::Slack, 1.02, 0.1),
                              make_bus(1, BusType::PQ, 0.9, 0.3, -0.5, -0.2),
                              make_bus(2, BusType::PV, 1.01, -0.05, 0.4)};
    buses[1].zip = {{C(-0.1, -0.05), 1}, {C(-0.2, 0.1), 2}};
    const auto before = buses;

    network::linear_initial_guess(buses, y);

    const C y01 = 1.0 / C(0.02, 0.06), y12 = 1.0 / C(0.01, 0.05);
    const C s = C(-0.5, -0.2) + C(-0.1, -0.05) * 0.9 + C(-0.2, 0.1) * 0.81;
    const C x = (y01 * phasor(before[0]) + y12 * phasor(before[2])) / (y01 + y12 - std::conj(s));
    EXPECT_NEAR(buses[1].vm, std::abs(x), 1e-12);
    EXPECT_NEAR(buses[1].va, std::arg(x), 1e-12);
    for (std::size_t i : {0u, 2u}) {
        EXPECT_EQ(buses[i].vm, before[i].vm);
        EXPECT_EQ(buses[i].va, before[i].va);
    }
}

TEST(LinearInitialGuess, NoPqBusesChangesNothing) {
    const std::vector<Line> lines = {{0, 1, 0.02, 0.06, 0.0, 0.0}};
    const YBusSparse y = network::build_ybus(2, lines, {}).finish();
    std::vector<Bus> buses = {make_bus(0, BusType::Slack, 1.0, 0.0),
                              make_bus(1, BusType::PV, 0.5, 0.7, 1.0)};
    network::linear_initial_guess(buses, y);
    EXPECT_EQ(buses[1].vm, 0.5);
    EXPECT_EQ(buses[1].va, 0.7);
}

TEST(LinearInitialGuess, SingularSystemLeavesEveryBusUnchanged) {
    // Bus 1 would be solvable, but bus 2 has no Y-bus entry and no injection.
    const std::vector<Line> lines = {{0, 1, 0.02, 0.06, 0.0, 0.0}};
    const YBusSparse y = network::build_ybus(3, lines, {}).finish();
    std::vector<Bus> buses = {make_bus(0, BusType::Slack, 1.0, 0.0),
                              make_bus(1, BusType::PQ, 0.93, 0.2, -0.5, -0.1),
                              make_bus(2, BusType::PQ, 0.96, -0.4)};
    network::linear_initial_guess(buses, y);
    EXPECT_EQ(buses[1].vm, 0.93);
    EXPECT_EQ(buses[1].va, 0.2);
    EXPECT_EQ(buses[2].vm, 0.96);
    EXPECT_EQ(buses[2].va, -0.4);
}

TEST(LinearInitialGuess, SourcelessPqIslandComesOutAtZero) {
    // Slack 0 -- PQ 1, and a separate PQ pair 2 -- 3; PQ bus 4 has an empty row but a load.
    const std::vector<Line> lines = {{0, 1, 0.02, 0.06, 0.0, 0.0}, {2, 3, 0.01, 0.05, 0.0, 0.0}};
    const YBusSparse y = network::build_ybus(5, lines, {}).finish();
    std::vector<Bus> buses = {make_bus(0, BusType::Slack, 1.0, 0.0),
                              make_bus(1, BusType::PQ, 1.0, 0.0, -0.5, -0.1),
                              make_bus(2, BusType::PQ, 1.0, 0.0, -0.3, -0.1),
                              make_bus(3, BusType::PQ, 1.0, 0.0, -0.2, 0.05),
                              make_bus(4, BusType::PQ, 1.0, 0.0, -0.1, 0.0)};
    network::linear_initial_guess(buses, y);
    EXPECT_GT(buses[1].vm, 0.5);
    EXPECT_EQ(buses[2].vm, 0.0);
    EXPECT_EQ(buses[3].vm, 0.0);
    EXPECT_EQ(buses[4].vm, 0.0);
}

}  // namespace
}  // namespace quillmere
