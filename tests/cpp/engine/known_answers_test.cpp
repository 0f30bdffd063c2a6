// Newton solves of small networks against answers worked out independently of the engine.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/solver.hpp"
#include "support/networks.hpp"

namespace quillmere {
namespace {

using test_support::Branch;
using test_support::bus;
using test_support::phasor;

// V2 of a feeder: slack at magnitude v1 (angle 0), series impedance z, constant-power load s_load
// drawn at the far end; the high-voltage root of v^4 + (2 Re(conj(z) s) - v1^2) v^2 + |z s|^2 = 0.
Complex feeder_voltage(double v1, Complex z, Complex s_load) {
    const double b = 2.0 * (std::conj(z) * s_load).real() - v1 * v1;
    const double c = std::norm(z) * std::norm(s_load);
    const double v2sq = (-b + std::sqrt(b * b - 4.0 * c)) / 2.0;
    return (v2sq + std::conj(z) * s_load) / v1;
}

// A feeder from a slack at v1 to a PQ bus with the given power and ZIP terms.
std::vector<Bus> feeder(double v1, Complex s, std::vector<ZipTerm> zip = {}) {
    std::vector<Bus> buses{bus(0, BusType::Slack, 0, 0, v1),
                           bus(1, BusType::PQ, s.real(), s.imag())};
    buses[1].zip = std::move(zip);
    return buses;
}

// Each solve converges quadratically (linearly with ZIP terms, which the Jacobian leaves out) to
// voltages that balance, at every non-slack bus, the power drawn into its branches (from their
// admittances alone) against its specified power and ZIP terms at the solved magnitude; a PV bus
// holds its magnitude, and a plain feeder meets the closed form of its far-end voltage.
TEST(KnownAnswers, SolvedVoltagesBalanceEveryBus) {
    const std::pair<std::vector<Bus>, std::vector<Branch>> cases[] = {
        {feeder(1.0, {-0.8, -0.3}), {{0, 1, {4, -20}}}},
        {feeder(0.98, {1.0, -0.2}), {{0, 1, {4, -8}}}},
        {{bus(0, BusType::Slack, 0, 0, 1.02), bus(1, BusType::PV, 0.5, 0, 1.01),
          bus(2, BusType::PQ, -0.9, -0.35)},
         {{0, 1, {5, -15}}, {1, 2, {3, -10}}, {0, 2, {6, -24}}}},
        {feeder(1.0, {-0.2, 0.1},
                {{{-0.3, -0.1}, ZipKind::ConstantPower},
                 {{-0.4, -0.2}, ZipKind::ConstantCurrent},
                 {{-0.5, 0.1}, ZipKind::ConstantImpedance}}),
         {{0, 1, {3, -12}}}},
    };
    for (std::size_t n = 0; const auto& [start, branches] : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << n++);
        std::vector<Bus> buses = start;
        const YBusSparse y = test_support::ybus_of(buses.size(), branches);
        network::linear_initial_guess(buses, y);
        const auto [islands, stats] = PersistentSolver{}.solve_with_stats(buses, y, 100, 1e-12);
        ASSERT_EQ(stats.outcome, SolveOutcome::Converged);
        EXPECT_EQ(islands.at(0).status, IslandStatus::Converged);
        EXPECT_LE(stats.history.size(), buses[1].zip.empty() ? 6u : 40u);
        EXPECT_EQ(phasor(buses[0]), phasor(start[0]));
        for (std::size_t k = 1; k < buses.size(); ++k) {
            Complex drawn{0.0, 0.0}, wanted{buses[k].p_spec, buses[k].q_spec};
            for (const Branch& br : branches) {
                if (br.i != k && br.j != k) continue;
                const Complex other = phasor(buses[br.i == k ? br.j : br.i]);
                drawn += phasor(buses[k]) * std::conj((phasor(buses[k]) - other) * br.y);
            }
            // A term's kind is the power of vm it scales with.
            for (const ZipTerm& t : buses[k].zip) {
                wanted += t.s * std::pow(buses[k].vm, static_cast<int>(t.kind));
            }
            EXPECT_NEAR(drawn.real(), wanted.real(), 1e-9) << "bus " << k;
            EXPECT_TRUE(is_pq(buses[k]) ? std::abs(drawn.imag() - wanted.imag()) < 1e-9
                                        : buses[k].vm == start[k].vm)
                << "bus " << k;
        }
        if (buses.size() == 2 && buses[1].zip.empty()) {
            const Complex want = feeder_voltage(buses[0].vm, 1.0 / branches[0].y,
                                                -Complex(buses[1].p_spec, buses[1].q_spec));
            EXPECT_LT(std::abs(phasor(buses[1]) - want), 1e-10);
        }
    }
}

}  // namespace
}  // namespace quillmere
