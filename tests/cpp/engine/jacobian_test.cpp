#include "jacobian.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "network/networks.hpp"

namespace quillmere {
namespace {

// The values of `fill` against central differences of the calculated injections, on a random
// meshed network with phase-shifting transformers (an unsymmetric Y-bus), PV and PQ buses, at
// random voltages; every nonzero derivative must lie in the pattern.
TEST(JacobianPattern, FillMatchesFiniteDifferences) {
    auto [buses, y] = testing::synthetic({{1, 60}}, 12345);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (Bus& b : buses) {
        b.vm = 0.9 + 0.2 * u(rng);
        b.va = -0.3 + 0.6 * u(rng);
    }
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
    ASSERT_EQ(values.size(), pat.entries.size());
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

}  // namespace
}  // namespace quillmere
