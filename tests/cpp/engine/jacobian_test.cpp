#include "jacobian.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "network/networks.hpp"

namespace quillmere {
namespace {

using testing::bus;
using testing::Stamps;
using K = EntryKind;

struct Expected {
    std::uint32_t row, col;
    EntryKind kind;
    std::uint32_t i, j;
};

void expect_pattern(const JacobianPattern& pat, const std::vector<Expected>& want) {
    ASSERT_EQ(pat.entries.size(), want.size());
    ASSERT_EQ(pat.rows.size(), want.size());
    ASSERT_EQ(pat.cols.size(), want.size());
    for (std::size_t k = 0; k < want.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(pat.rows[k], want[k].row);
        EXPECT_EQ(pat.cols[k], want[k].col);
        EXPECT_EQ(pat.entries[k].kind, want[k].kind);
        EXPECT_EQ(pat.entries[k].i, want[k].i);
        EXPECT_EQ(pat.entries[k].j, want[k].j);
    }
}

// Slack 0, PV 1, PQ 2 and 3 on a ring 0-1-2-3-0: pvpq = [1, 2, 3], pq = [2, 3].
TEST(JacobianPattern, EmissionOrderWithSlackPvAndPqNeighbours) {
    std::vector<Bus> buses{bus(0, BusType::Slack), bus(1, BusType::PV), bus(2, BusType::PQ),
                           bus(3, BusType::PQ)};
    const YBusSparse y = Stamps{4}
                             .branch(0, 1, {1, -4})
                             .branch(1, 2, {2, -6})
                             .branch(2, 3, {3, -7})
                             .branch(0, 3, {4, -8})
                             .finish();
    const JacobianPattern pat = JacobianPattern::analyze(buses, y);
    expect_pattern(pat, {
                            {0, 0, K::DpDthetaDiag, 1, 1},  // P of bus 1: slack 0 gives nothing
                            {0, 1, K::DpDthetaOff, 1, 2},  {0, 3, K::DpDvOff, 1, 2},
                            {1, 0, K::DpDthetaOff, 2, 1},  // P of bus 2: PV 1 has no V column
                            {1, 1, K::DpDthetaDiag, 2, 2}, {1, 3, K::DpDvDiag, 2, 2},
                            {1, 2, K::DpDthetaOff, 2, 3},  {1, 4, K::DpDvOff, 2, 3},
                            {2, 1, K::DpDthetaOff, 3, 2},  {2, 3, K::DpDvOff, 3, 2},
                            {2, 2, K::DpDthetaDiag, 3, 3}, {2, 4, K::DpDvDiag, 3, 3},
                            {3, 0, K::DqDthetaOff, 2, 1},  // Q of bus 2
                            {3, 1, K::DqDthetaDiag, 2, 2}, {3, 3, K::DqDvDiag, 2, 2},
                            {3, 2, K::DqDthetaOff, 2, 3},  {3, 4, K::DqDvOff, 2, 3},
                            {4, 1, K::DqDthetaOff, 3, 2},  // Q of bus 3
                            {4, 3, K::DqDvOff, 3, 2},      {4, 2, K::DqDthetaDiag, 3, 3},
                            {4, 4, K::DqDvDiag, 3, 3},
                        });
    // At a flat start the off-diagonal values reduce to -B, G, -G, -B.
    std::vector<double> p(4, 0.3), q(4, -0.2), values;
    pat.fill(buses, p, q, values);
    ASSERT_EQ(values.size(), pat.entries.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
        const Entry& e = pat.entries[k];
        switch (e.kind) {
            case K::DpDthetaOff:
                EXPECT_EQ(values[k], -e.b);
                break;
            case K::DpDvOff:
                EXPECT_EQ(values[k], e.g);
                break;
            case K::DqDthetaOff:
                EXPECT_EQ(values[k], -e.g);
                break;
            case K::DqDvOff:
                EXPECT_EQ(values[k], -e.b);
                break;
            default:
                break;
        }
    }
}

// The values of `fill` against central differences of the calculated injections, on a random
// meshed network with an unsymmetric Y-bus (as phase-shifting transformers give), PV and PQ buses
// and random voltages. Also checks that every nonzero derivative lies in the pattern.
TEST(JacobianPattern, FillMatchesFiniteDifferences) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const std::size_t n = 40;
    std::vector<Bus> buses;
    for (std::size_t i = 0; i < n; ++i) {
        const BusType type = i == 0 ? BusType::Slack : (u(rng) < 0.3 ? BusType::PV : BusType::PQ);
        buses.push_back(bus(i, type, 0.0, 0.0, 0.9 + 0.2 * u(rng), -0.3 + 0.6 * u(rng)));
    }
    Stamps s{n};
    auto add_edge = [&](std::size_t a, std::size_t b) {
        const Complex y{0.5 + 2.5 * u(rng), -1.0 - 9.0 * u(rng)};
        s.add(a, a, y).add(b, b, y);
        s.add(a, b, -y + Complex{0.3 * u(rng), 0.3 * u(rng)});
        s.add(b, a, -y - Complex{0.3 * u(rng), 0.3 * u(rng)});
    };
    for (std::size_t i = 0; i < n; ++i) add_edge(i, (i + 1) % n);
    for (int c = 0; c < 30; ++c) {
        const auto a = static_cast<std::size_t>(u(rng) * n);
        const auto b = static_cast<std::size_t>(u(rng) * n);
        if (a != b) add_edge(a, b);
    }
    for (std::size_t i = 0; i < n; ++i) s.add(i, i, {0.05 * u(rng), 0.2 * u(rng)});
    const YBusSparse y = s.finish();

    const JacobianPattern pat = JacobianPattern::analyze(buses, y);
    const auto [p, q] = network::power_injections(buses, y);
    std::vector<double> values;
    pat.fill(buses, p, q, values);

    std::vector<std::size_t> pvpq, pq;
    for (const Bus& b : buses) {
        if (b.bus_type != 0) pvpq.push_back(b.index);
        if (b.bus_type == 2) pq.push_back(b.index);
    }
    const std::size_t dim = pvpq.size() + pq.size();
    std::vector<double> jac(dim * dim, 0.0);
    std::set<std::pair<std::uint32_t, std::uint32_t>> positions;
    for (std::size_t k = 0; k < values.size(); ++k) {
        ASSERT_LT(pat.rows[k], dim);
        ASSERT_LT(pat.cols[k], dim);
        ASSERT_TRUE(positions.insert({pat.rows[k], pat.cols[k]}).second) << "repeated position";
        jac[pat.rows[k] * dim + pat.cols[k]] = values[k];
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
            const double got = jac[row * dim + col];
            EXPECT_NEAR(got, fd, 1e-6 * (1.0 + std::fabs(fd))) << "row " << row << " col " << col;
        }
    }

    std::vector<double> again;
    pat.fill(buses, p, q, again);
    EXPECT_EQ(0, std::memcmp(values.data(), again.data(), values.size() * sizeof(double)));
}

}  // namespace
}  // namespace quillmere
