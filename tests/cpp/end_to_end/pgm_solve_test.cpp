// Small PGM files written here, loaded and solved by the Newton engine.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "network.hpp"
#include "pgm/load.hpp"
#include "pgm_convert/temp_files.hpp"
#include "solver.hpp"

namespace quillmere {
namespace {

using testing_support::TempDir;

struct Solved {
    std::vector<Bus> buses;
    YBusSparse ybus;
    std::vector<IslandReport> islands;
    SolveStats stats;
};

Solved load_and_solve(const std::string& json) {
    TempDir dir;
    auto loaded = pgm::load_network(dir.write("net.json", json), 1e6, 50.0);
    if (auto* e = std::get_if<pgm::LoadError>(&loaded)) {
        ADD_FAILURE() << e->message;
        return {};
    }
    auto& net = std::get<pgm::LoadedNetwork>(loaded);
    Solved out{net.buses, std::move(net.ybus), {}, {}};
    network::linear_initial_guess(out.buses, out.ybus);
    PersistentSolver solver(Backend::Scalar);
    std::tie(out.islands, out.stats) = solver.solve_with_stats(out.buses, out.ybus, 20, 1e-8);
    return out;
}

// Buses: node 1 = 0, node 2 = 1, the source's slack bus = 2.
constexpr const char* kFeeder = R"({"data": {
  "node": [{"id": 2, "u_rated": 10000}, {"id": 1, "u_rated": 10000}],
  "line": [{"id": 3, "from_node": 1, "to_node": 2, "from_status": 1, "to_status": 1,
            "r1": 1, "x1": 2, "c1": 1e-7, "r0": 0, "x0": 0, "c0": 0}],
  "source": [{"id": 4, "node": 1, "status": 1, "u_ref": 1.0, "sk": 1e15, "rx_ratio": 0.1}],
  "sym_load": [
    {"id": 5, "node": 2, "status": 1, "p_specified": 1e6, "q_specified": 5e5},
    {"id": 6, "node": 2, "status": 1, "type": 1, "p_specified": 5e5, "q_specified": 0}]
}})";

TEST(EndToEnd, FeederWithConstantPowerAndImpedanceLoad) {
    const Solved s = load_and_solve(kFeeder);
    ASSERT_EQ(s.buses.size(), 3u);
    EXPECT_EQ(s.stats.outcome, SolveOutcome::Converged);
    ASSERT_EQ(s.islands.size(), 1u);
    EXPECT_EQ(s.islands[0].status, IslandStatus::Converged);

    // About r*P + x*Q = 0.01 * 1.5 + 0.02 * 0.5 below the source.
    const double vm = s.buses[1].vm;
    EXPECT_GT(vm, 0.97);
    EXPECT_LT(vm, 0.98);
    EXPECT_LT(s.buses[1].va, 0.0);
    EXPECT_NEAR(s.buses[2].vm, 1.0, 1e-12);
    EXPECT_NEAR(s.buses[0].vm, 1.0, 1e-6);

    // The load bus draws what was specified, the impedance load at vm squared; the slack feeds it
    // and the losses.
    const auto [p, q] = network::power_injections(s.buses, s.ybus);
    EXPECT_NEAR(p[1], -1.0 - 0.5 * vm * vm, 1e-7);
    EXPECT_NEAR(q[1], -0.5, 1e-7);
    EXPECT_GT(p[2], 1.0 + 0.5 * vm * vm);
    EXPECT_LT(p[2], 1.0 + 0.5 * vm * vm + 0.05);
}

// Nodes 1..5 and 6 are buses 0..5; the star bus is 6 and the slack bus 7.
constexpr const char* kTransformers = R"({"data": {
  "node": [{"id": 1, "u_rated": 10000}, {"id": 2, "u_rated": 400}, {"id": 3, "u_rated": 10000},
           {"id": 4, "u_rated": 400}, {"id": 5, "u_rated": 400}, {"id": 6, "u_rated": 20000}],
  "line": [{"id": 10, "from_node": 1, "to_node": 3, "from_status": 1, "to_status": 1,
            "r1": 0.5, "x1": 1, "c1": 1e-8, "r0": 0, "x0": 0, "c0": 0},
           {"id": 11, "from_node": 3, "to_node": 1, "from_status": 0, "to_status": 1,
            "r1": 0.5, "x1": 1, "c1": 1e-7, "r0": 0, "x0": 0, "c0": 0}],
  "source": [{"id": 20, "node": 1, "status": 1, "u_ref": 1.03, "sk": 1e9, "rx_ratio": 0.1},
             {"id": 21, "node": 6, "status": 0, "u_ref": 1.0, "sk": 1e9, "rx_ratio": 0.1}],
  "sym_load": [{"id": 30, "node": 2, "status": 1, "p_specified": 2e5, "q_specified": 5e4},
               {"id": 31, "node": 6, "status": 1, "p_specified": 2e5, "q_specified": 5e4},
               {"id": 32, "node": 5, "status": 1, "type": 2, "p_specified": 1e5,
                "q_specified": 2e4}],
  "asym_load": [{"id": 33, "node": 4, "status": 1, "p_specified": [5e4, 5e4, 5e4],
                 "q_specified": [1e4, 1e4, 1e4]}],
  "sym_gen": [{"id": 40, "node": 5, "status": 1, "p_specified": 5e4, "q_specified": 0}],
  "voltage_regulator": [{"id": 41, "regulated_object": 40, "status": 1, "u_ref": 1.0}],
  "shunt": [{"id": 50, "node": 2, "status": 1, "g1": 0, "b1": 0.01, "g0": 0, "b0": 0}],
  "transformer": [{"id": 60, "from_node": 1, "to_node": 2, "from_status": 1, "to_status": 1,
    "u1": 10000, "u2": 400, "sn": 1e6, "uk": 0.06, "pk": 5000, "i0": 0.01, "p0": 1000,
    "clock": 1, "tap_side": 0, "tap_pos": 1, "tap_min": -2, "tap_max": 2, "tap_nom": 0,
    "tap_size": 250}],
  "three_winding_transformer": [{"id": 70, "node_1": 3, "node_2": 4, "node_3": 5,
    "status_1": 1, "status_2": 1, "status_3": 1, "u1": 10000, "u2": 400, "u3": 400,
    "sn_1": 1e6, "sn_2": 1e6, "sn_3": 1e6, "uk_12": 0.1, "uk_13": 0.1, "uk_23": 0.1,
    "pk_12": 1000, "pk_13": 1000, "pk_23": 1000, "i0": 0.005, "p0": 500,
    "clock_12": 0, "clock_13": 12, "tap_side": 0, "tap_pos": 0, "tap_min": -2, "tap_max": 2,
    "tap_nom": 0, "tap_size": 100}]
}})";

TEST(EndToEnd, TransformersRegulatorAndSourcelessIsland) {
    const Solved s = load_and_solve(kTransformers);
    ASSERT_EQ(s.buses.size(), 8u);
    EXPECT_EQ(s.stats.outcome, SolveOutcome::Converged);
    ASSERT_EQ(s.islands.size(), 2u);
    for (const IslandReport& island : s.islands) {
        if (island.buses == std::vector<std::size_t>{5}) {
            EXPECT_EQ(island.status, IslandStatus::Sourceless);
        } else {
            EXPECT_EQ(island.status, IslandStatus::Converged);
            EXPECT_EQ(island.buses.size(), 7u);
        }
    }
    for (std::size_t b : {0, 1, 2, 3, 4, 6, 7}) {
        SCOPED_TRACE(b);
        EXPECT_GT(s.buses[b].vm, 0.9);
        EXPECT_LT(s.buses[b].vm, 1.1);
    }
    EXPECT_EQ(s.buses[5].vm, 0.0);
    // The regulated bus holds its set-point.
    EXPECT_EQ(s.buses[4].bus_type, static_cast<std::uint8_t>(BusType::PV));
    EXPECT_EQ(s.buses[4].vm, 1.0);
    // Clock 1 puts the low-voltage side 30 degrees behind the high-voltage side.
    EXPECT_NEAR(s.buses[1].va - s.buses[0].va, -3.141592653589793 / 6.0, 0.05);
    // The three-winding legs carry no net shift (0 and 12 o'clock).
    EXPECT_NEAR(s.buses[3].va - s.buses[2].va, 0.0, 0.05);
    EXPECT_NEAR(s.buses[4].va - s.buses[2].va, 0.0, 0.05);
}

}  // namespace
}  // namespace quillmere
