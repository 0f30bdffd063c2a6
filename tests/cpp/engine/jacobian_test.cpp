#include "jacobian.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "newton_block.hpp"
#include "support/networks.hpp"

namespace quillmere {
namespace {

// The random meshed network of these tests (phase-shifting transformers, so an unsymmetric Y-bus;
// PV, PQ and slack buses) at random voltages, with its calculated injections.
struct AtRandomVoltages {
    std::vector<Bus> buses;
    YBusSparse y;
    std::vector<double> p, q;
};

AtRandomVoltages at_random_voltages() {
    auto [buses, y] = test_support::synthetic({{1, 60}}, 12345);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (Bus& b : buses) {
        b.vm = 0.9 + 0.2 * u(rng);
        b.va = -0.3 + 0.6 * u(rng);
    }
    auto [p, q] = network::power_injections(buses, y);
    return {std::move(buses), std::move(y), std::move(p), std::move(q)};
}

// The values of `fill` against central differences of the calculated injections, on a random
// meshed network with phase-shifting transformers (an unsymmetric Y-bus), PV and PQ buses, at
// random voltages; every nonzero derivative must lie in the pattern.
TEST(JacobianPattern, FillMatchesFiniteDifferences) {
    auto [buses, y, p, q] = at_random_voltages();
    const JacobianPattern pat = JacobianPattern::analyze(buses, y);
    std::vector<double> values;
    pat.fill(buses, p, q, values);

    std::vector<std::size_t> pvpq, pq;
    for (const Bus& b : buses) {
        if (b.bus_type != BusType::Slack) pvpq.push_back(b.index);
        if (b.bus_type == BusType::PQ) pq.push_back(b.index);
    }
    const std::size_t dim = pvpq.size() + pq.size();
    std::vector<double> jac(dim * dim, 0.0);
    ASSERT_EQ(values.size(), pat.size());
    for (std::size_t k = 0; k < values.size(); ++k) {  // repeated positions add up, as in a backend
        ASSERT_TRUE(pat.rows[k] < dim && pat.cols[k] < dim) << "entry " << k;
        jac[pat.rows[k] * dim + pat.cols[k]] += values[k];
    }

    const double h = 1e-6;
    for (std::size_t col = 0; col < dim; ++col) {
        const bool angle = col < pvpq.size();
        Bus& target = buses[angle ? pvpq[col] : pq[col - pvpq.size()]];
        double& var = angle ? target.va : target.vm;
        const double saved = var;
        var = saved + h;
        const auto [pp, qp] = network::power_injections(buses, y);
        var = saved - h;
        const auto [pm, qm] = network::power_injections(buses, y);
        var = saved;
        for (std::size_t row = 0; row < dim; ++row) {
            const bool active = row < pvpq.size();
            const std::size_t b = active ? pvpq[row] : pq[row - pvpq.size()];
            const double fd = active ? (pp[b] - pm[b]) / (2 * h) : (qp[b] - qm[b]) / (2 * h);
            EXPECT_NEAR(jac[row * dim + col], fd, 1e-6 * (1.0 + std::fabs(fd)))
                << "row " << row << " col " << col;
        }
    }
}

// The block Jacobian holds, bit for bit, every entry of the scalar one at the same place (the
// derivatives of coupling (i, j) in the block of (i, j)), and for a PV bus i the row "magnitude
// change = 0" instead of its reactive balance. The magnitude column of a PV bus j, absent from the
// scalar Jacobian, is the only part left unchecked.
TEST(JacobianPattern, BlockAssemblyHoldsTheScalarEntries) {
    const auto [buses, y, p, q] = at_random_voltages();
    const JacobianPattern pat = JacobianPattern::analyze(buses, y);
    std::vector<double> values;
    pat.fill(buses, p, q, values);
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::size_t> coupling_of;
    for (std::size_t t = 0; t < pat.couplings.size(); ++t) {
        coupling_of[{pat.couplings[t].i, pat.couplings[t].j}] = t;
    }

    BlockAnalysis block = BlockAnalysis::analyze(buses, y);
    block.assemble(buses, p, q);
    ASSERT_EQ(block.couplings.size(), pat.couplings.size());
    EXPECT_TRUE(std::ranges::is_sorted(block.slot));
    std::size_t matched = 0;
    for (std::size_t t = 0; t < block.couplings.size(); ++t) {
        const Coupling& c = block.couplings[t];
        const Block& got = block.lu.values()[block.slot[t]];
        const auto& entry = pat.entry_of.at(coupling_of.at({c.i, c.j}));
        for (std::size_t d = 0; d < 4; ++d) {
            SCOPED_TRACE(::testing::Message() << "coupling " << c.i << ", " << c.j << " d " << d);
            if (entry[d] != JacobianPattern::kNoEntry) {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(got[d]),
                          std::bit_cast<std::uint64_t>(values.at(entry[d])));
                ++matched;
            } else if (d >= 2 && !is_pq(buses[c.i])) {
                EXPECT_EQ(got[d], d == 3 && c.i == c.j ? 1.0 : 0.0);
            } else {
                EXPECT_TRUE(d % 2 == 1 && !is_pq(buses[c.j]));
            }
        }
    }
    EXPECT_EQ(matched, pat.size());
}

}  // namespace
}  // namespace quillmere
