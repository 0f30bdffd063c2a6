#pragma once
// The polar Newton Jacobian split in two: the structure, listed once per network with the Y-bus
// elements (couplings) its entries come from, and the values, recomputed every pass from one
// evaluation of each coupling. The entry order is also the triplet order handed to every linear
// backend, so it never changes for the life of a pattern. The couplings and their derivatives are
// shared with the block Jacobian of newton_block.hpp.
//
// Layout: pvpq holds the non-slack buses and pq the PQ buses, both in bus order. Row r < npvpq is
// the active-power balance of pvpq[r], row npvpq + q the reactive balance of pq[q]; column k <
// npvpq is the angle of pvpq[k], column npvpq + q the magnitude of pq[q].

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "common/stop.hpp"
#include "common/types.hpp"
#include "network/network.hpp"

namespace quillmere {

// One Y-bus element (i, j) that the Newton equations differentiate: bus i is not a slack, and j is
// i or not a slack either. g + jb is the element's value, copied when the list is made.
struct Coupling {
    // The reverse of a coupling that has none in its list.
    static constexpr std::uint32_t kNoReverse = std::numeric_limits<std::uint32_t>::max();

    double g = 0.0;
    double b = 0.0;
    std::uint32_t i = 0;
    std::uint32_t j = 0;  // equal to i for the bus's own element
    // The position of the coupling (j, i) in the same list once link_reverses has run, else
    // kNoReverse (also for the bus's own element, or a Y-bus without the element (j, i)).
    std::uint32_t reverse = kNoReverse;
    bool pq = false;  // bus i is a PQ bus: its reactive balance is an equation
};

// The couplings of a network: the non-slack buses in bus order, each with its Y-bus row in row
// order, no reverse linked. Every Jacobian entry and every Jacobian block belongs to exactly one
// coupling. Stops when a bus's index is not its position, the Y-bus does not match the bus list or
// names a bus outside it, or the network needs indices of 32 bits or more.
std::vector<Coupling> list_couplings(std::span<const Bus> buses, const YBusSparse& ybus);

// Sets every coupling's reverse for the list's present order, so that for_each_derivatives shares
// the trigonometry of the two. Stops when the list holds a bus pair twice.
void link_reverses(std::span<Coupling> couplings);

// The sine and cosine of one coupling's angle difference, kept for one pass so that its reverse
// coupling needs no trigonometry of its own.
struct AngleTrig {
    double sin = 0.0;
    double cos = 0.0;
};

// The derivatives of bus i's calculated active and reactive injection (P_i, Q_i) with respect to
// bus j's angle and magnitude: dP/dtheta, dP/dV, dQ/dtheta, dQ/dV.
using Derivatives = std::array<double, 4>;

// Calls sink(t, d) for every coupling t, in list order, with its derivatives at the buses as
// measured in `at` (voltage and calculated injection). One sine and one cosine serve a linked pair
// (i, j) and (j, i): the later one takes the earlier one's values, kept in `trig` (one AngleTrig
// per coupling, needed only for a linked list), with the sine negated. That is bit for bit what a
// call of its own gives: the angle differences are exact negatives (b - a is -(a - b) in IEEE
// arithmetic), the sine is odd and the cosine even (the Jacobian tests check the library). A
// zero or non-finite difference, whose negative may differ in the sign of a zero or a NaN, gets
// its own call. Sharing pays where the couplings come in an order that reads the buses at random
// anyway (the block Jacobian's); in bus order the fetch of the kept values costs about what the
// call does. The expressions fix every rounding of both Jacobians, whose results are pinned bit
// for bit: neither the operations nor their order may change. Stops when a coupling names a bus
// outside `at`, or a linked coupling lies beyond `trig`.
template <class Sink>
void for_each_derivatives(std::span<const Coupling> couplings,
                          std::span<const network::BusPower> at, std::span<AngleTrig> trig,
                          Sink&& sink) {
    const std::size_t n = at.size();
    // The buses of a coupling are scattered over the bus list; fetching them a few couplings ahead
    // hides the wait behind the trigonometry of the couplings between.
    constexpr std::size_t kAhead = 8;
    for (std::size_t t = 0; t < couplings.size(); ++t) {
        if (t + kAhead < couplings.size()) {
            const Coupling& next = couplings[t + kAhead];
            if (next.i < n) __builtin_prefetch(&at[next.i]);
            if (next.j < n) __builtin_prefetch(&at[next.j]);
        }
        const Coupling& c = couplings[t];
        check_index(c.i, n);
        check_index(c.j, n);
        const network::BusPower& bi = at[c.i];
        const double vi = bi.vm;
        const double g = c.g;
        const double b = c.b;
        if (c.i == c.j) {
            const double pi = bi.p;
            const double qi = bi.q;
            sink(t, Derivatives{(-qi) - (vi * vi) * b, vi * g + pi / vi, pi - (vi * vi) * g,
                                qi / vi - vi * b});
            continue;
        }
        const network::BusPower& bj = at[c.j];
        const double vivj = vi * bj.vm;
        const double theta = bi.va - bj.va;
        const bool linked = c.reverse != Coupling::kNoReverse;
        if (linked) check_index(t, trig.size());
        double s, cs;
        if (linked && c.reverse < t && std::isfinite(theta) && theta != 0.0) {
            s = -trig[c.reverse].sin;
            cs = trig[c.reverse].cos;
        } else {
            s = std::sin(theta);
            cs = std::cos(theta);
            if (linked) trig[t] = {s, cs};
        }
        const double t1 = g * s - b * cs;
        const double t2 = g * cs + b * s;
        sink(t, Derivatives{vivj * t1, vi * t2, (-vivj) * t2, vi * t1});
    }
}

// Parallel lists, one element per nonzero, in emission order, and the couplings they come from.
struct JacobianPattern {
    // The entry of a derivative that lies outside the Jacobian.
    static constexpr std::uint32_t kNoEntry = std::numeric_limits<std::uint32_t>::max();

    std::vector<std::uint32_t> rows;
    std::vector<std::uint32_t> cols;
    std::vector<Coupling> couplings;
    // entry_of[t][d]: the nonzero that derivative d (in Derivatives order) of coupling t fills, or
    // kNoEntry. Every nonzero is filled by exactly one derivative.
    std::vector<std::array<std::uint32_t, 4>> entry_of;

    std::size_t size() const { return rows.size(); }

    // Lists the nonzeros row by row (active rows, then reactive rows), each row in Y-bus column
    // order with the angle entry before the magnitude entry. Stops as list_couplings does.
    static JacobianPattern analyze(std::span<const Bus> buses, const YBusSparse& ybus);

    // Rewrites `values` with one value per nonzero, in emission order, at the buses as measured
    // in `at`. Allocates only when `values` lacks room for every nonzero. Stops as
    // for_each_derivatives does.
    void fill(std::span<const network::BusPower> at, std::vector<double>& values) const;
};

}  // namespace quillmere
