// A small PGM file with every supported component, loaded and solved by the Newton engine.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "engine/solver.hpp"
#include "network/network.hpp"
#include "pgm/load.hpp"
#include "support/temp_files.hpp"

namespace quillmere {
namespace {

// Nodes 1..6 are buses 0..5; the star bus is 6 and the slack bus 7. Node 6 has no source.
constexpr const char* kNetwork = R"({"data": {
  "node": [[1, 10000], [2, 400], [3, 10000], [4, 400], [5, 400], [6, 20000]],
  "line": [[10, 1, 3, 1, 1, 0.5, 1, 1e-8, 0, 0, 0], [11, 3, 1, 0, 1, 0.5, 1, 1e-7, 0, 0, 0]],
  "source": [[20, 1, 1, 1.03, 1e9, 0.1], [21, 6, 0, 1.0, 1e9, 0.1]],
  "sym_load": [[30, 2, 1, 0, 2e5, 5e4], [31, 6, 1, 0, 2e5, 5e4], [32, 5, 1, 2, 1e5, 2e4],
               [34, 4, 1, 1, 1e5, 0]],
  "asym_load": [[33, 4, 1, 0, [5e4, 5e4, 5e4], [1e4, 1e4, 1e4]]],
  "sym_gen": [[40, 5, 1, 0, 5e4, 0]],
  "voltage_regulator": [[41, 40, 1, 1.0]],
  "shunt": [[50, 2, 1, 0, 0.01, 0, 0]],
  "transformer": [[60, 1, 2, 1, 1, 10000, 400, 1e6, 0.06, 5000, 0.01, 1000, 0, 0, 1, 0, 1, -2, 2,
                   0, 250]],
  "three_winding_transformer": [[70, 3, 4, 5, 1, 1, 1, 10000, 400, 400, 1e6, 1e6, 1e6, 0.1, 0.1,
    0.1, 1000, 1000, 1000, 0.005, 500, 0, 12, 0, 0, -2, 2, 0, 100]]
}})";

TEST(EndToEnd, EveryComponentKindSolvesToPlausibleVoltages) {
    test_support::TempDir dir;
    auto loaded = pgm::load_network(dir.write("net.json", kNetwork), 1e6, 50.0);
    ASSERT_TRUE(std::holds_alternative<pgm::LoadedNetwork>(loaded))
        << std::get<pgm::LoadError>(loaded).message;
    const auto& net = std::get<pgm::LoadedNetwork>(loaded);
    std::vector<Bus> buses = net.buses;
    ASSERT_EQ(buses.size(), 8u);
    network::linear_initial_guess(buses, net.ybus);
    const auto [islands, stats] =
        PersistentSolver(Backend::Scalar).solve_with_stats(buses, net.ybus, 20, 1e-8);
    EXPECT_EQ(stats.outcome, SolveOutcome::Converged);
    ASSERT_EQ(islands.size(), 2u);
    EXPECT_EQ(std::ranges::count(islands, IslandStatus::Sourceless, &IslandReport::status), 1);
    for (std::size_t b = 0; b < 8; ++b) {
        EXPECT_TRUE(b == 5 ? buses[b].vm == 0.0 : std::abs(buses[b].vm - 1.0) < 0.1) << b;
    }
    // The regulated bus holds its set-point.
    EXPECT_EQ(std::tuple(buses[4].bus_type, buses[4].vm), std::tuple(BusType::PV, 1.0));
    // Clock 1 puts the low-voltage side 30 degrees behind; the three-winding legs shift nothing.
    EXPECT_NEAR(buses[1].va - buses[0].va, -3.141592653589793 / 6.0, 0.05);
    EXPECT_NEAR(std::abs(buses[3].va - buses[2].va) + std::abs(buses[4].va - buses[2].va), 0.0,
                0.05);
    // The load buses draw what was specified: constant power, impedance at vm^2, current at vm,
    // per phase summed; the slack feeds the rest and the losses.
    const auto [p, q] = network::power_injections(buses, net.ybus);
    const double vm3 = buses[3].vm, drawn = 0.2 + 0.15 + 0.1 * vm3 * vm3 + 0.1 - 0.05;
    EXPECT_NEAR(std::abs(Complex(p[1], q[1]) - Complex(-0.2, -0.05)), 0.0, 1e-7);
    EXPECT_NEAR(std::abs(Complex(p[3], q[3]) - Complex(-0.15 - 0.1 * vm3 * vm3, -0.03)), 0.0, 1e-7);
    EXPECT_NEAR(p[4], 0.05 - 0.1, 1e-7);
    EXPECT_NEAR(p[7], drawn + 0.025, 0.025);
}

}  // namespace
}  // namespace quillmere
