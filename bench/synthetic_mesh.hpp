#pragma once
// The synthetic transmission-like network the engine benchmarks solve.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "common/types.hpp"
#include "network/network.hpp"

namespace quillmere::bench {

struct Network {
    std::vector<Bus> buses;
    YBusSparse ybus;
};

// A transmission-like mesh: every bus hangs off a random one of the few buses before it (a tree of
// local links), and a third as many extra lines close loops between nearby buses, for an average
// degree near 2.7 as in real grids. One slack at bus 0, a tenth of the buses PV generators, the
// rest loads, roughly balanced so that every bus stays near nominal voltage.
inline Network synthetic_mesh(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Bus> buses(n);
    for (std::size_t i = 0; i < n; ++i) {
        Bus& b = buses[i];
        b.index = i;
        if (i == 0) {
            b.bus_type = BusType::Slack;
        } else if (u(rng) < 0.1) {
            b.bus_type = BusType::PV;
            b.p_spec = 0.08;
            b.vm = 1.0 + 0.02 * u(rng);
        } else {
            b.bus_type = BusType::PQ;
            b.p_spec = -0.005 - 0.01 * u(rng);
            b.q_spec = -0.003 * u(rng);
        }
    }
    std::vector<Line> lines;
    auto line = [&](std::size_t a, std::size_t b) {
        lines.push_back(Line{a, b, 0.001 + 0.002 * u(rng), 0.005 + 0.01 * u(rng), 0.001, 0.0});
    };
    auto near_before = [&](std::size_t i) {
        const std::size_t reach = std::min<std::size_t>(i, 50);
        return i - 1 - static_cast<std::size_t>(u(rng) * static_cast<double>(reach));
    };
    for (std::size_t i = 1; i < n; ++i) line(near_before(i), i);
    for (std::size_t k = 0; k < n / 3; ++k) {
        const std::size_t i = 2 + static_cast<std::size_t>(u(rng) * static_cast<double>(n - 2));
        line(near_before(i), i);
    }
    YBus y = network::build_ybus(n, lines, {});
    return {std::move(buses), std::move(y).finish()};
}

}  // namespace quillmere::bench
