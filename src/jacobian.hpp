#pragma once
// The polar Newton Jacobian split in two: the structure, listed once per network with the Y-bus
// values each entry needs, and the values, recomputed every pass in exactly that list order. The
// list order is also the triplet order handed to every linear backend, so it never changes for the
// life of a pattern.
//
// Layout: pvpq holds the non-slack buses and pq the PQ buses, both in bus order. Row r < npvpq is
// the active-power balance of pvpq[r], row npvpq + q the reactive balance of pq[q]; column k <
// npvpq is the angle of pvpq[k], column npvpq + q the magnitude of pq[q].

#include <cstdint>
#include <span>
#include <vector>

#include "network.hpp"
#include "types.hpp"

namespace quillmere {

// Which derivative an entry is (V magnitude, theta angle; i the equation's bus, j the unknown's).
enum class EntryKind : std::uint8_t {
    DpDthetaDiag = 0,
    DpDvDiag = 1,
    DpDthetaOff = 2,
    DpDvOff = 3,
    DqDthetaDiag = 4,
    DqDvDiag = 5,
    DqDthetaOff = 6,
    DqDvOff = 7,
};

// One structural nonzero: the Y-bus value G + jB of (i, j), copied when the pattern is built.
struct Entry {
    double g = 0.0;
    double b = 0.0;
    std::uint32_t i = 0;
    std::uint32_t j = 0;  // equal to i for the diagonal kinds
    EntryKind kind = EntryKind::DpDthetaDiag;
};

// Parallel lists, one element per nonzero, in emission order.
struct JacobianPattern {
    std::vector<std::uint32_t> rows;
    std::vector<std::uint32_t> cols;
    std::vector<Entry> entries;

    // Lists the nonzeros row by row (active rows, then reactive rows), each row in Y-bus column
    // order with the angle entry before the magnitude entry. Stops when a bus index falls outside
    // the bus list or the network needs indices of 32 bits or more.
    static JacobianPattern analyze(std::span<const Bus> buses, const YBusSparse& ybus);

    // Rewrites `values` with one value per entry, in entry order, at the buses' current voltages;
    // p and q are the calculated injections per bus at those voltages. Allocates only when
    // `values` lacks room for every entry.
    void fill(std::span<const Bus> buses, std::span<const double> p, std::span<const double> q,
              std::vector<double>& values) const;
};

}  // namespace quillmere
