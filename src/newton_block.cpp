#include "newton_block.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "newton.hpp"
#include "stop.hpp"

namespace quillmere {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// The Jacobian entries of the polar formulation, written as the Jacobian pattern fills them so
// that both paths round alike. A PV bus's reactive row becomes "magnitude change = 0".
Block diagonal_block(const Bus& bus, Complex y, double p, double q) {
    const double vi = bus.vm;
    const double g = y.real();
    const double b = y.imag();
    if (!is_pq(bus)) return Block{(-q) - (vi * vi) * b, vi * g + p / vi, 0.0, 1.0};
    return Block{(-q) - (vi * vi) * b, vi * g + p / vi, p - (vi * vi) * g, q / vi - vi * b};
}

Block off_diagonal_block(const Bus& bi, const Bus& bj, Complex y) {
    const double vi = bi.vm;
    const double vivj = vi * bj.vm;
    const double g = y.real();
    const double b = y.imag();
    const double theta = bi.va - bj.va;
    const double s = std::sin(theta);
    const double c = std::cos(theta);
    const double t1 = g * s - b * c;
    const double t2 = g * c + b * s;
    if (!is_pq(bi)) return Block{vivj * t1, vi * t2, 0.0, 0.0};
    return Block{vivj * t1, vi * t2, (-vivj) * t2, vi * t1};
}

}  // namespace

SolveStats newton_raphson_block_cached(std::span<Bus> buses, const YBusSparse& ybus,
                                       std::uint64_t max_iter, double tol,
                                       std::optional<BlockSymbolic>& symbolic,
                                       Interruption interrupted) {
    const UnknownLayout layout = unknown_layout(buses);
    const std::vector<std::size_t>& pvpq = layout.pvpq;
    const std::size_t n = pvpq.size();
    check_len(ybus.rows.size(), buses.size(), "the Y-bus row list");

    std::vector<std::size_t> pos(buses.size(), kNone);
    for (std::size_t k = 0; k < n; ++k) pos[pvpq[k]] = k;
    // Every block is pushed whatever its value, so the count is the same on every pass and each
    // pass's entry list is allocated once.
    std::size_t block_count = 0;
    for (std::size_t i : pvpq) {
        for (const auto& [j, y] : ybus.rows[i]) {
            check_index(j, buses.size());
            if (j == i || pos[j] != kNone) ++block_count;
        }
    }

    std::vector<BlockVector> rhs(n);
    auto step = [&](std::span<const double> p, std::span<const double> q,
                    std::span<const double> mismatch) {
        // The mismatch lists the active rows of pvpq, then the reactive rows of pq (the PQ
        // subsequence of pvpq); a PV bus's second equation has nothing to balance.
        std::size_t next_pq = n;
        for (std::size_t k = 0; k < n; ++k) {
            rhs[k] = BlockVector{mismatch[k], is_pq(buses[pvpq[k]]) ? mismatch[next_pq++] : 0.0};
        }

        BlockMatrix matrix;
        matrix.n = n;
        matrix.entries.reserve(block_count);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t i = pvpq[k];
            const Bus& bi = buses[i];
            for (const auto& [j, y] : ybus.rows[i]) {
                if (j == i) {
                    matrix.entries.push_back({k, k, diagonal_block(bi, y, p[i], q[i])});
                } else if (pos[j] != kNone) {
                    matrix.entries.push_back({k, pos[j], off_diagonal_block(bi, buses[j], y)});
                }
            }
        }
        const BlockAdjacency adjacency = std::move(matrix).finish();
        if (!symbolic) symbolic.emplace(BlockSymbolic::analyze(adjacency));
        const std::optional<BlockLu> lu = BlockLu::refactor(*symbolic, adjacency);
        if (!lu) return false;

        const std::vector<BlockVector> x = lu->solve(rhs);
        check_len(x.size(), n, "the Newton step");
        for (std::size_t k = 0; k < n; ++k) {
            Bus& bus = buses[pvpq[k]];
            bus.va += x[k][0];
            bus.vm += x[k][1];
        }
        return true;
    };
    return newton_iterate(buses, ybus, layout, max_iter, tol, interrupted, step);
}

}  // namespace quillmere
