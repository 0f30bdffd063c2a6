#pragma once
// Networks shared by the network and engine tests: hand-made ones and random multi-island ones.

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "network.hpp"
#include "types.hpp"

namespace quillmere::testing {

inline Bus bus(std::size_t index, BusType type, double p = 0.0, double q = 0.0, double vm = 1.0,
               double va = 0.0) {
    Bus b;
    b.index = index;
    b.bus_type = static_cast<std::uint8_t>(type);
    b.p_spec = p;
    b.q_spec = q;
    b.vm = vm;
    b.va = va;
    return b;
}

inline Complex phasor(const Bus& b) {
    return std::polar(b.vm, b.va);
}

struct Net {
    std::vector<Bus> buses;
    YBusSparse y;
};

// A Y-bus stamped entry by entry.
struct Stamps {
    std::size_t n = 0;
    std::vector<Triplet<Complex>> entries;

    explicit Stamps(std::size_t size) : n(size) {}

    // A series branch of admittance y between i and j.
    Stamps& branch(std::size_t i, std::size_t j, Complex y) {
        return add(i, i, y).add(j, j, y).add(i, j, -y).add(j, i, -y);
    }
    Stamps& add(std::size_t i, std::size_t j, Complex y) {
        entries.push_back({i, j, y});
        return *this;
    }
    YBusSparse finish() const { return YBus{entries, n}.finish(); }
};

// Slack 0, generator 1 and loads 2 to 5 on a meshed grid.
inline Net grid() {
    Stamps s{6};
    s.branch(0, 1, {3, -10}).branch(1, 2, {2, -8}).branch(2, 3, {3, -9}).branch(3, 4, {2, -7});
    s.branch(4, 5, {4, -11}).branch(0, 5, {2, -6}).branch(1, 4, {1, -5});
    return {{bus(0, BusType::Slack, 0, 0, 1.02), bus(1, BusType::PV, 0.5, 0, 1.01),
             bus(2, BusType::PQ, -0.4, -0.1), bus(3, BusType::PQ, -0.3, -0.15),
             bus(4, BusType::PQ, -0.2, -0.05), bus(5, BusType::PQ)},
            s.finish()};
}

struct IslandShape {
    std::size_t slacks;
    std::size_t size;
};

// Random islands whose buses are numbered in one shuffled sequence, so islands interleave in bus
// order. Each island is a tree of short lines to one of the few buses before it plus a quarter as
// many loop-closing branches, a third of them phase-shifting transformers; its first `slacks` buses
// are slacks, a fifth of the rest PV generators, the others loads with ZIP terms of every kind
// spread among them, and some buses carry a shunt.
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
    std::vector<ShuntAdm> shunts;
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
                const auto kind = static_cast<std::uint8_t>(static_cast<int>(pick * 10.0) % 3);
                if (pick < 0.45) x.zip.push_back({{-0.01 * u(rng), -0.004 * u(rng)}, kind});
            }
            if (u(rng) < 0.15) shunts.push_back({{0.0, 0.02 * u(rng)}, b});
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
    YBus y = network::build_ybus(n, lines, trs);
    network::stamp_shunts(y, shunts);
    return {std::move(buses), std::move(y).finish()};
}

}  // namespace quillmere::testing
