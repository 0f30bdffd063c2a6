#pragma once
// Networks shared by the network and engine tests: hand-made ones and random multi-island ones.

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <span>
#include <vector>

#include "common/types.hpp"
#include "network/network.hpp"

namespace quillmere::test_support {

inline Bus bus(std::size_t index, BusType type, double p = 0.0, double q = 0.0, double vm = 1.0,
               double va = 0.0) {
    Bus b{.zip = {}, .index = index, .vm = vm, .va = va, .p_spec = p, .q_spec = q};
    b.bus_type = type;
    return b;
}

inline Complex phasor(const Bus& b) {
    return std::polar(b.vm, b.va);
}

// The largest distance between the voltages of two bus lists, bus by bus; NaN beats any number and
// a difference in length is infinite.
inline double largest_shift(std::span<const Bus> a, std::span<const Bus> b) {
    double most = a.size() == b.size() ? 0.0 : std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < std::min(a.size(), b.size()); ++k) {
        const double d = std::abs(phasor(a[k]) - phasor(b[k]));
        if (!(d <= most)) most = d;
    }
    return most;
}

struct Net {
    std::vector<Bus> buses;
    YBusSparse y;
};

// A series branch of admittance y between buses i and j.
struct Branch {
    std::size_t i, j;
    Complex y;
};

// The Y-bus of n buses joined by series branches alone.
inline YBusSparse ybus_of(std::size_t n, const std::vector<Branch>& branches) {
    std::vector<Triplet<Complex>> e;
    for (const auto& [i, j, y] : branches) {
        e.insert(e.end(), {{i, i, y}, {j, j, y}, {i, j, -y}, {j, i, -y}});
    }
    return YBus{std::move(e), n}.finish();
}

// Slack 0, generator 1 and loads 2 to 5 on a meshed grid.
inline Net grid() {
    const std::vector<Branch> branches = {{0, 1, {3, -10}}, {1, 2, {2, -8}},  {2, 3, {3, -9}},
                                          {3, 4, {2, -7}},  {4, 5, {4, -11}}, {0, 5, {2, -6}},
                                          {1, 4, {1, -5}}};
    return {{bus(0, BusType::Slack, 0, 0, 1.02), bus(1, BusType::PV, 0.5, 0, 1.01),
             bus(2, BusType::PQ, -0.4, -0.1), bus(3, BusType::PQ, -0.3, -0.15),
             bus(4, BusType::PQ, -0.2, -0.05), bus(5, BusType::PQ)},
            ybus_of(6, branches)};
}

struct IslandShape {
    std::size_t slacks, size;
};

// Random islands whose buses are numbered in one shuffled sequence, so islands interleave in bus
// order. Each island is a tree of short lines to one of the few buses before it plus a quarter as
// many loop-closing branches, a third of them phase-shifting transformers; its first `slacks` buses
// are slacks, a fifth of the rest PV generators, the others loads with ZIP terms of every kind
// spread among them.
inline Net synthetic(const std::vector<IslandShape>& islands, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::size_t n = 0;
    for (const IslandShape& s : islands) n += s.size;
    std::vector<std::size_t> number(n);
    std::iota(number.begin(), number.end(), 0);
    std::shuffle(number.begin(), number.end(), rng);

    std::vector<Bus> buses(n);
    std::vector<Line> lines;
    std::vector<Transformer> trs;
    for (std::size_t first = 0, next = 0; const IslandShape& s : islands) {
        for (std::size_t k = 0; k < s.size; ++k) {
            const std::size_t b = number[next++];
            Bus& x = buses[b];
            if (k < s.slacks) {
                x = bus(b, BusType::Slack, 0, 0, 1.0 + 0.03 * u(rng), 0.05 * (u(rng) - 0.5));
            } else if (u(rng) < 0.2) {
                x = bus(b, BusType::PV, 0.04 * u(rng), 0, 0.99 + 0.03 * u(rng));
            } else {
                x = bus(b, BusType::PQ, -0.02 * u(rng), -0.008 * u(rng));
                const double pick = u(rng);
                const auto kind = static_cast<ZipKind>(static_cast<int>(pick * 10.0) % 3);
                if (pick < 0.45) x.zip.push_back({{-0.01 * u(rng), -0.004 * u(rng)}, kind});
            }
            if (k == 0) continue;
            const std::size_t to =
                k - 1 - static_cast<std::size_t>(u(rng) * std::min<std::size_t>(k, 6));
            lines.push_back({number[first + to], b, 0.004 + 0.01 * u(rng), 0.01 + 0.03 * u(rng),
                             0.01 * u(rng), 0.0});
        }
        for (std::size_t k = 0; k < s.size / 4; ++k) {
            const std::size_t a = number[first + static_cast<std::size_t>(u(rng) * s.size)];
            const std::size_t c = number[first + static_cast<std::size_t>(u(rng) * s.size)];
            if (a == c) continue;
            if (k % 3 == 0) {
                const Complex tap = std::polar(0.95 + 0.1 * u(rng), 0.1 * (u(rng) - 0.5));
                trs.push_back({{2.0, -20.0}, {0.0, -0.01}, tap, a, c, 1, 1});
            } else {
                lines.push_back({a, c, 0.01, 0.04, 0.0, 0.0});
            }
        }
        first = next;
    }
    return {std::move(buses), network::build_ybus(n, lines, trs).finish()};
}

}  // namespace quillmere::test_support
