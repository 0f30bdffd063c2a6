#include "engine/jacobian.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "engine/newton_block.hpp"
#include "support/networks.hpp"

namespace quillmere {
namespace {

// The random meshed network of these tests (phase-shifting transformers, so an unsymmetric Y-bus;
// PV, PQ and slack buses) at random voltages, with its calculated injections.
struct AtRandomVoltages {
    std::vector<Bus> buses;
    YBusSparse y;
    std::vector<network::BusPower> at;
};

AtRandomVoltages at_random_voltages() {
    auto [buses, y] = test_support::synthetic({{1, 60}}, 12345);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (Bus& b : buses) {
        b.vm = 0.9 + 0.2 * u(rng);
        b.va = -0.3 + 0.6 * u(rng);
    }
    network::InjectionWork work;
    network::power_injections(buses, y, work);
    return {std::move(buses), std::move(y), std::move(work.at)};
}

// The values of `fill` against central differences of the calculated injections, on a random
// meshed network with phase-shifting transformers (an unsymmetric Y-bus), PV and PQ buses, at
// random voltages; every nonzero derivative must lie in the pattern.
TEST(JacobianPattern, FillMatchesFiniteDifferences) {
    auto [buses, y, at] = at_random_voltages();
    const JacobianPattern pat = JacobianPattern::analyze(buses, y);
    std::vector<double> values;
    pat.fill(at, values);

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
    const auto [buses, y, at] = at_random_voltages();
    const JacobianPattern pat = JacobianPattern::analyze(buses, y);
    std::vector<double> values;
    pat.fill(at, values);
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::size_t> coupling_of;
    for (std::size_t t = 0; t < pat.couplings.size(); ++t) {
        coupling_of[{pat.couplings[t].i, pat.couplings[t].j}] = t;
    }

    BlockAnalysis block = BlockAnalysis::analyze(buses, y);
    block.assemble(at);
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

std::array<std::uint64_t, 4> bits(const Derivatives& d) {
    return {std::bit_cast<std::uint64_t>(d[0]), std::bit_cast<std::uint64_t>(d[1]),
            std::bit_cast<std::uint64_t>(d[2]), std::bit_cast<std::uint64_t>(d[3])};
}

// The derivatives of coupling c with a sine and cosine of its own: the expressions of
// for_each_derivatives before couplings shared them, kept here as the oracle.
Derivatives own_derivatives(const Coupling& c, std::span<const network::BusPower> at) {
    const network::BusPower& bi = at[c.i];
    const double vi = bi.vm, g = c.g, b = c.b;
    if (c.i == c.j) {
        return {(-bi.q) - (vi * vi) * b, vi * g + bi.p / vi, bi.p - (vi * vi) * g,
                bi.q / vi - vi * b};
    }
    const double vivj = vi * at[c.j].vm;
    const double theta = bi.va - at[c.j].va;
    const double s = std::sin(theta), cs = std::cos(theta);
    const double t1 = g * s - b * cs, t2 = g * cs + b * s;
    return {vivj * t1, vi * t2, (-vivj) * t2, vi * t1};
}

// Every coupling's derivatives equal, bit for bit, those from a sine and cosine of its own, in bus
// order and in the block order, at angles that make the shared values and the fallbacks meet:
// equal angles (a zero difference), +0.0 against -0.0, a NaN and an infinite angle, large angles;
// and a reverse is always the mirrored pair.
TEST(Couplings, ReversesShareTheirTrigonometryBitForBit) {
    auto [buses, y, at] = at_random_voltages();
    std::mt19937_64 rng(3);
    for (std::size_t k = 0; k < at.size(); ++k) {
        switch (k % 7) {
            case 0:
                at[k].va = 0.25;
                break;
            case 1:
                at[k].va = 0.0;
                break;
            case 2:
                at[k].va = -0.0;
                break;
            case 3:
                at[k].va = 1e6 * static_cast<double>(rng() % 1000);
                break;
            default:
                break;
        }
    }
    at[5].va = std::numeric_limits<double>::quiet_NaN();
    at[11].va = std::numeric_limits<double>::infinity();
    const JacobianPattern pat = JacobianPattern::analyze(buses, y);
    const BlockAnalysis block = BlockAnalysis::analyze(buses, y);
    // The bus-order list comes unlinked and needs no room for angles; linked, it shares as well.
    for (const Coupling& c : pat.couplings) EXPECT_EQ(c.reverse, Coupling::kNoReverse);
    for_each_derivatives(pat.couplings, at, {}, [&](std::size_t t, const Derivatives& d) {
        EXPECT_EQ(bits(d), bits(own_derivatives(pat.couplings[t], at))) << "coupling " << t;
    });
    std::vector<Coupling> linked = pat.couplings;
    link_reverses(linked);
    const std::vector<Coupling>* lists[] = {&linked, &block.couplings};
    for (const std::vector<Coupling>* list : lists) {
        std::size_t reversed = 0;
        for (std::size_t t = 0; t < list->size(); ++t) {
            const Coupling& c = (*list)[t];
            if (c.reverse == Coupling::kNoReverse) {
                EXPECT_EQ(c.i, c.j) << "coupling " << t;  // every branch stamps both directions
                continue;
            }
            ASSERT_LT(c.reverse, list->size());
            const Coupling& r = (*list)[c.reverse];
            EXPECT_TRUE(r.i == c.j && r.j == c.i && r.reverse == t) << "coupling " << t;
            ++reversed;
        }
        EXPECT_GT(reversed, list->size() / 2);
        std::vector<AngleTrig> trig(list->size());
        for_each_derivatives(*list, at, trig, [&](std::size_t t, const Derivatives& d) {
            EXPECT_EQ(bits(d), bits(own_derivatives((*list)[t], at))) << "coupling " << t;
        });
    }
}

}  // namespace
}  // namespace quillmere
