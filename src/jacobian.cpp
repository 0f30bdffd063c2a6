#include "jacobian.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>

#include "stop.hpp"

namespace quillmere {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kMax32 = std::numeric_limits<std::uint32_t>::max();

// Entries and positions are stored in 32 bits; a larger network would wrap silently.
void check_fits_32(std::size_t count, const char* what) {
    if (count > kMax32) {
        stop(std::string("the Jacobian needs ") + std::to_string(count) + " " + what +
             ", more than 32-bit indices can address");
    }
}

struct Emitter {
    JacobianPattern& pattern;

    void emit(std::size_t row, std::size_t col, Complex y, std::size_t i, std::size_t j,
              EntryKind kind) {
        pattern.rows.push_back(static_cast<std::uint32_t>(row));
        pattern.cols.push_back(static_cast<std::uint32_t>(col));
        pattern.entries.push_back(Entry{y.real(), y.imag(), static_cast<std::uint32_t>(i),
                                        static_cast<std::uint32_t>(j), kind});
    }
};

}  // namespace

JacobianPattern JacobianPattern::analyze(std::span<const Bus> buses, const YBusSparse& ybus) {
    const std::size_t n = buses.size();
    if (ybus.rows.size() != n) {
        stop("the bus list holds " + std::to_string(n) + " buses but the Y-bus has " +
             std::to_string(ybus.rows.size()) + " rows");
    }
    check_fits_32(n, "bus indices");

    std::vector<std::size_t> pvpq;
    std::vector<std::size_t> pq;
    std::vector<std::size_t> pvpq_pos(n, kNone);
    std::vector<std::size_t> pq_pos(n, kNone);
    for (const Bus& bus : buses) {
        check_index(bus.index, n);
        if (!is_slack(bus)) {
            pvpq_pos[bus.index] = pvpq.size();
            pvpq.push_back(bus.index);
        }
        if (is_pq(bus)) {
            pq_pos[bus.index] = pq.size();
            pq.push_back(bus.index);
        }
    }
    const std::size_t npvpq = pvpq.size();
    check_fits_32(npvpq + pq.size(), "unknowns");

    // Exact entry count, so the three lists are allocated once.
    std::size_t count = 0;
    auto count_row = [&](std::size_t i) {
        for (const auto& [j, y] : ybus.rows[i]) {
            check_index(j, n);
            count += (pvpq_pos[j] != kNone ? 1 : 0) + (pq_pos[j] != kNone ? 1 : 0);
        }
    };
    for (std::size_t i : pvpq) count_row(i);
    for (std::size_t i : pq) count_row(i);
    check_fits_32(count, "entries");

    JacobianPattern pattern;
    pattern.rows.reserve(count);
    pattern.cols.reserve(count);
    pattern.entries.reserve(count);
    Emitter out{pattern};

    for (std::size_t r = 0; r < npvpq; ++r) {
        const std::size_t i = pvpq[r];
        for (const auto& [j, y] : ybus.rows[i]) {
            if (j == i) {
                out.emit(r, r, y, i, i, EntryKind::DpDthetaDiag);
                if (pq_pos[i] != kNone) {
                    out.emit(r, npvpq + pq_pos[i], y, i, i, EntryKind::DpDvDiag);
                }
            } else {
                if (pvpq_pos[j] != kNone) out.emit(r, pvpq_pos[j], y, i, j, EntryKind::DpDthetaOff);
                if (pq_pos[j] != kNone) {
                    out.emit(r, npvpq + pq_pos[j], y, i, j, EntryKind::DpDvOff);
                }
            }
        }
    }
    for (std::size_t qi = 0; qi < pq.size(); ++qi) {
        const std::size_t i = pq[qi];
        const std::size_t row = npvpq + qi;
        for (const auto& [j, y] : ybus.rows[i]) {
            if (j == i) {
                if (pvpq_pos[i] == kNone) stop("a PQ bus is always non-slack");
                out.emit(row, pvpq_pos[i], y, i, i, EntryKind::DqDthetaDiag);
                out.emit(row, row, y, i, i, EntryKind::DqDvDiag);
            } else {
                if (pvpq_pos[j] != kNone) {
                    out.emit(row, pvpq_pos[j], y, i, j, EntryKind::DqDthetaOff);
                }
                if (pq_pos[j] != kNone) {
                    out.emit(row, npvpq + pq_pos[j], y, i, j, EntryKind::DqDvOff);
                }
            }
        }
    }
    return pattern;
}

void JacobianPattern::fill(std::span<const Bus> buses, std::span<const double> p,
                           std::span<const double> q, std::vector<double>& values) const {
    const std::size_t n = buses.size();
    check_len(p.size(), n, "the active injection list");
    check_len(q.size(), n, "the reactive injection list");
    values.resize(entries.size());

    for (std::size_t k = 0; k < entries.size(); ++k) {
        const Entry& e = entries[k];
        check_index(e.i, n);
        check_index(e.j, n);
        const double vi = buses[e.i].vm;
        const double g = e.g;
        const double b = e.b;
        switch (e.kind) {
            case EntryKind::DpDthetaDiag:
                values[k] = (-q[e.i]) - (vi * vi) * b;
                continue;
            case EntryKind::DpDvDiag:
                values[k] = vi * g + p[e.i] / vi;
                continue;
            case EntryKind::DqDthetaDiag:
                values[k] = p[e.i] - (vi * vi) * g;
                continue;
            case EntryKind::DqDvDiag:
                values[k] = q[e.i] / vi - vi * b;
                continue;
            default:
                break;
        }
        const Bus& bj = buses[e.j];
        const double vj = bj.vm;
        const double theta = buses[e.i].va - bj.va;
        const double s = std::sin(theta);
        const double c = std::cos(theta);
        switch (e.kind) {
            case EntryKind::DpDthetaOff:
                values[k] = (vi * vj) * (g * s - b * c);
                break;
            case EntryKind::DpDvOff:
                values[k] = vi * (g * c + b * s);
                break;
            case EntryKind::DqDthetaOff:
                values[k] = (-(vi * vj)) * (g * c + b * s);
                break;
            case EntryKind::DqDvOff:
                values[k] = vi * (g * s - b * c);
                break;
            default:
                stop("internal error: entered unreachable code: diagonal kinds handled above");
        }
    }
}

}  // namespace quillmere
