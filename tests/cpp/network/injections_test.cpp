#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "network.hpp"
#include "network/networks.hpp"
#include "stop.hpp"

namespace quillmere {
namespace {

using C = Complex;
using testing::bus;
using testing::phasor;

// Slack 0 -- PQ 1 -- PV 2, with ZIP terms on the PQ bus.
TEST(LinearInitialGuess, HoldsSlackAndPvAndUsesZipTerms) {
    const std::vector<Line> lines = {{0, 1, 0.02, 0.06, 0.0, 0.0}, {1, 2, 0.01, 0.05, 0.0, 0.0}};
    const YBusSparse y = network::build_ybus(3, lines, {}).finish();
    std::vector<Bus> buses = {bus(0, BusType::Slack, 0, 0, 1.02, 0.1),
                              bus(1, BusType::PQ, -0.5, -0.2, 0.9, 0.3),
                              bus(2, BusType::PV, 0.4, 0, 1.01, -0.05)};
    buses[1].zip = {{C(-0.1, -0.05), 1}, {C(-0.2, 0.1), 2}};
    const auto before = buses;
    network::linear_initial_guess(buses, y);

    const C y01 = 1.0 / C(0.02, 0.06), y12 = 1.0 / C(0.01, 0.05);
    const C s = C(-0.5, -0.2) + C(-0.1, -0.05) * 0.9 + C(-0.2, 0.1) * 0.81;
    const C x = (y01 * phasor(before[0]) + y12 * phasor(before[2])) / (y01 + y12 - std::conj(s));
    EXPECT_LT(std::abs(phasor(buses[1]) - x), 1e-12);
    for (std::size_t i : {0u, 2u}) EXPECT_EQ(phasor(buses[i]), phasor(before[i]));

    std::vector<Bus> short_list = {buses[0]};
    EXPECT_THROW(network::linear_initial_guess(short_list, y), Stop);
    EXPECT_THROW(network::power_injections(short_list, y), Stop);
}

TEST(LinearInitialGuess, SingularSystemLeavesEveryBusUnchanged) {
    // Bus 1 alone would be solvable, but bus 2 has no Y-bus entry and no injection.
    const std::vector<Line> lines = {{0, 1, 0.02, 0.06, 0.0, 0.0}};
    const YBusSparse y = network::build_ybus(3, lines, {}).finish();
    std::vector<Bus> buses = {bus(0, BusType::Slack), bus(1, BusType::PQ, -0.5, -0.1, 0.93, 0.2),
                              bus(2, BusType::PQ, 0, 0, 0.96, -0.4)};
    const auto before = buses;
    network::linear_initial_guess(buses, y);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(phasor(buses[i]), phasor(before[i])) << i;
}

}  // namespace
}  // namespace quillmere
