#pragma once
// Small hand-made networks shared by the network and engine tests.

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
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

// V2 of a feeder: slack at magnitude v1 (angle 0), series impedance z, constant-power load s_load
// drawn at the far end; the high-voltage root of v^4 + (2 Re(conj(z) s) - v1^2) v^2 + |z s|^2 = 0.
inline Complex feeder_voltage(double v1, Complex z, Complex s_load) {
    const double b = 2.0 * (std::conj(z) * s_load).real() - v1 * v1;
    const double c = std::norm(z) * std::norm(s_load);
    const double v2sq = (-b + std::sqrt(b * b - 4.0 * c)) / 2.0;
    return (v2sq + std::conj(z) * s_load) / v1;
}

}  // namespace quillmere::testing
