// Newton solves of small networks against answers worked out independently of the engine.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "network/networks.hpp"
#include "solver.hpp"

namespace quillmere {
namespace {

using testing::bus;
using testing::Stamps;

Complex phasor(const Bus& b) {
    return std::polar(b.vm, b.va);
}

struct FeederCase {
    const char* name;
    double v1;
    Complex z;
    Complex load;  // drawn at bus 1
};

TEST(KnownAnswers, TwoBusFeederMatchesClosedForm) {
    const FeederCase cases[] = {
        {"resistive-inductive load", 1.0, {0.01, 0.05}, {0.8, 0.3}},
        {"raised slack, heavy load", 1.05, {0.02, 0.08}, {2.0, 1.0}},
        {"capacitive load", 1.0, {0.03, 0.04}, {0.5, -0.4}},
        {"generation fed back", 0.98, {0.05, 0.1}, {-1.0, 0.2}},
    };
    for (const FeederCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bus> buses{bus(0, BusType::Slack, 0, 0, c.v1),
                               bus(1, BusType::PQ, -c.load.real(), -c.load.imag())};
        const YBusSparse y = Stamps{2}.branch(0, 1, 1.0 / c.z).finish();
        network::linear_initial_guess(buses, y);
        PersistentSolver solver;
        const auto [islands, stats] = solver.solve_with_stats(buses, y, 20, 1e-12);
        ASSERT_EQ(stats.outcome, SolveOutcome::Converged);
        const Complex want = testing::feeder_voltage(c.v1, c.z, c.load);
        EXPECT_NEAR(buses[1].vm, std::abs(want), 1e-10);
        EXPECT_NEAR(buses[1].va, std::arg(want), 1e-10);
        EXPECT_EQ(buses[0].vm, c.v1);
        EXPECT_EQ(buses[0].va, 0.0);
        ASSERT_EQ(islands.size(), 1u);
        EXPECT_EQ(islands[0].status, IslandStatus::Converged);
        EXPECT_LE(stats.history.size(), 6u);  // quadratic convergence
    }
}

// Ring 0-1-2 with a PV generator at 1 and a load at 2; the answer is checked against the power
// balance computed here from the line data alone.
TEST(KnownAnswers, ThreeBusRingWithPvBus) {
    const Complex z01{0.02, 0.06}, z12{0.03, 0.09}, z02{0.01, 0.04};
    std::vector<Bus> buses{bus(0, BusType::Slack, 0, 0, 1.02), bus(1, BusType::PV, 0.5, 0, 1.01),
                           bus(2, BusType::PQ, -0.9, -0.35)};
    const YBusSparse y =
        Stamps{3}.branch(0, 1, 1.0 / z01).branch(1, 2, 1.0 / z12).branch(0, 2, 1.0 / z02).finish();
    network::linear_initial_guess(buses, y);
    PersistentSolver solver;
    const auto [islands, stats] = solver.solve_with_stats(buses, y, 20, 1e-10);
    ASSERT_EQ(stats.outcome, SolveOutcome::Converged);
    EXPECT_LE(stats.history.size(), 6u);
    EXPECT_EQ(buses[1].vm, 1.01);  // a PV magnitude is held
    EXPECT_EQ(buses[0].vm, 1.02);
    EXPECT_EQ(buses[0].va, 0.0);

    const Complex v0 = phasor(buses[0]), v1 = phasor(buses[1]), v2 = phasor(buses[2]);
    const Complex s1 = v1 * std::conj((v1 - v0) / z01 + (v1 - v2) / z12);
    const Complex s2 = v2 * std::conj((v2 - v1) / z12 + (v2 - v0) / z02);
    EXPECT_NEAR(s1.real(), 0.5, 1e-9);
    EXPECT_NEAR(s2.real(), -0.9, 1e-9);
    EXPECT_NEAR(s2.imag(), -0.35, 1e-9);
    EXPECT_EQ(islands[0].status, IslandStatus::Converged);
}

// Voltage-dependent terms enter the mismatch at the current magnitude (but not the Jacobian, so
// convergence is only linear). A pure constant-impedance load has a linear closed form; the
// others are checked against the power balance at the far end of the feeder.
TEST(KnownAnswers, ZipTermsEnterTheMismatch) {
    const Complex z{0.02, 0.08};
    const double v1 = 1.0;
    struct ZipCase {
        const char* name;
        double p, q;
        std::vector<ZipTerm> zip;
    };
    const ZipCase cases[] = {
        {"constant impedance", 0, 0, {{{-1.0, -0.5}, 2}}},
        {"constant current", 0, 0, {{{-1.0, -0.5}, 1}}},
        {"all kinds with a specified part",
         -0.2,
         0.1,
         {{{-0.3, -0.1}, 0}, {{-0.4, -0.2}, 1}, {{-0.5, 0.1}, 2}}},
    };
    for (const ZipCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bus> buses{bus(0, BusType::Slack, 0, 0, v1), bus(1, BusType::PQ, c.p, c.q)};
        buses[1].zip = c.zip;
        const YBusSparse y = Stamps{2}.branch(0, 1, 1.0 / z).finish();
        PersistentSolver solver;
        const auto [islands, stats] = solver.solve_with_stats(buses, y, 100, 1e-12);
        ASSERT_EQ(stats.outcome, SolveOutcome::Converged);

        const Complex v2 = phasor(buses[1]);
        const double vm = buses[1].vm;
        Complex wanted{c.p, c.q};
        for (const ZipTerm& t : c.zip) wanted += t.s * std::pow(vm, t.kind);
        const Complex drawn_by_line = v2 * std::conj((v2 - v1) / z);
        EXPECT_NEAR(drawn_by_line.real(), wanted.real(), 1e-10);
        EXPECT_NEAR(drawn_by_line.imag(), wanted.imag(), 1e-10);
        if (c.zip.size() == 1 && c.zip[0].kind == 2) {
            const Complex y_load = -std::conj(c.zip[0].s);
            const Complex want = v1 / (1.0 + z * y_load);
            EXPECT_NEAR(buses[1].vm, std::abs(want), 1e-10);
            EXPECT_NEAR(buses[1].va, std::arg(want), 1e-10);
        }
        // The same load held at its nominal power settles elsewhere: the terms were scaled.
        Complex nominal{c.p, c.q};
        for (const ZipTerm& t : c.zip) nominal += t.s;
        const Complex fixed = testing::feeder_voltage(v1, z, -nominal);
        EXPECT_GT(std::fabs(buses[1].vm - std::abs(fixed)), 1e-4);
    }
}

}  // namespace
}  // namespace quillmere
