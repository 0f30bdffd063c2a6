#pragma once
// Small hand-made networks for the engine tests: buses and a Y-bus stamped branch by branch.

#include <complex>
#include <cstddef>
#include <utility>
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

// V2 of a feeder: slack at magnitude v1 (angle 0), series impedance z, constant-power load s_load
// drawn at the far end; the high-voltage root of v^4 + (2 Re(conj(z) s) - v1^2) v^2 + |z s|^2 = 0.
inline Complex feeder_voltage(double v1, Complex z, Complex s_load) {
    const double b = 2.0 * (std::conj(z) * s_load).real() - v1 * v1;
    const double c = std::norm(z) * std::norm(s_load);
    const double v2sq = (-b + std::sqrt(b * b - 4.0 * c)) / 2.0;
    return (v2sq + std::conj(z) * s_load) / v1;
}

}  // namespace quillmere::testing
