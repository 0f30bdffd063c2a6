#include "engine/jacobian.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace quillmere {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kMax32 = std::numeric_limits<std::uint32_t>::max();

// Entries and positions are stored in 32 bits; a larger network would wrap silently.
void check_fits_32(std::size_t count, const char* what) {
    if (count >= kMax32) {
        stop(std::string("the Jacobian needs ") + std::to_string(count) + " " + what +
             ", more than 32-bit indices can address");
    }
}

// `in` stably sorted by key(t) < n; start[k] becomes where key k begins, start[n] the count.
template <class Key>
std::vector<std::uint32_t> bucket_by(std::size_t n, const std::vector<std::uint32_t>& in, Key key,
                                     std::vector<std::uint32_t>& start) {
    start.assign(n + 1, 0);
    for (const std::uint32_t t : in) ++start[key(t) + 1];
    for (std::size_t k = 0; k < n; ++k) start[k + 1] += start[k];
    std::vector<std::uint32_t> out(in.size());
    std::vector<std::uint32_t> next(start.begin(), start.end() - 1);
    for (const std::uint32_t t : in) out[next[key(t)]++] = t;
    return out;
}

}  // namespace

std::vector<Coupling> list_couplings(std::span<const Bus> buses, const YBusSparse& ybus) {
    const std::size_t n = buses.size();
    if (ybus.rows.size() != n) {
        stop("the bus list holds " + std::to_string(n) + " buses but the Y-bus has " +
             std::to_string(ybus.rows.size()) + " rows");
    }
    check_fits_32(n, "bus indices");
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (buses[i].index != i) {
            stop("the bus at position " + std::to_string(i) + " carries index " +
                 std::to_string(buses[i].index));
        }
        if (is_slack(buses[i])) continue;
        for (const auto& [j, y] : ybus.rows[i]) {
            check_index(j, n);
            count += (j == i || !is_slack(buses[j])) ? 1 : 0;
        }
    }
    check_fits_32(count, "couplings");

    std::vector<Coupling> couplings;
    couplings.reserve(count);
    for (std::size_t i = 0; i < n; ++i) {
        if (is_slack(buses[i])) continue;
        for (const auto& [j, y] : ybus.rows[i]) {
            if (j == i || !is_slack(buses[j])) {
                couplings.push_back(Coupling{y.real(), y.imag(), static_cast<std::uint32_t>(i),
                                             static_cast<std::uint32_t>(j), Coupling::kNoReverse,
                                             is_pq(buses[i])});
            }
        }
    }
    return couplings;
}

void link_reverses(std::span<Coupling> couplings) {
    check_fits_32(couplings.size(), "couplings");
    std::size_t n = 0;
    for (const Coupling& c : couplings) n = std::max<std::size_t>(n, std::max(c.i, c.j) + 1);
    // The positions in (i, j) order, bucketed by j and then stably by i: row i of the list is
    // order[row[i] .. row[i + 1]), its columns ascending.
    std::vector<std::uint32_t> order(couplings.size());
    for (std::size_t t = 0; t < order.size(); ++t) order[t] = static_cast<std::uint32_t>(t);
    std::vector<std::uint32_t> row;
    order = bucket_by(
        n, order, [&](std::uint32_t t) { return couplings[t].j; }, row);
    order = bucket_by(
        n, order, [&](std::uint32_t t) { return couplings[t].i; }, row);
    for (std::size_t k = 0; k + 1 < order.size(); ++k) {
        const Coupling& a = couplings[order[k]];
        const Coupling& b = couplings[order[k + 1]];
        if (a.i == b.i && a.j == b.j) {
            stop("the couplings list the bus pair (" + std::to_string(a.i) + ", " +
                 std::to_string(a.j) + ") twice");
        }
    }
    for (Coupling& c : couplings) {
        c.reverse = Coupling::kNoReverse;
        if (c.i == c.j) continue;
        const auto first = order.begin() + row[c.j];
        const auto last = order.begin() + row[c.j + 1];
        const auto found = std::lower_bound(
            first, last, c.i, [&](std::uint32_t t, std::uint32_t i) { return couplings[t].j < i; });
        if (found != last && couplings[*found].j == c.i) c.reverse = *found;
    }
}

JacobianPattern JacobianPattern::analyze(std::span<const Bus> buses, const YBusSparse& ybus) {
    JacobianPattern pattern;
    pattern.couplings = list_couplings(buses, ybus);
    const std::vector<Coupling>& couplings = pattern.couplings;

    const std::size_t n = buses.size();
    std::size_t npvpq = 0;
    std::size_t npq = 0;
    std::vector<std::size_t> pvpq_pos(n, kNone);
    std::vector<std::size_t> pq_pos(n, kNone);
    for (std::size_t i = 0; i < n; ++i) {
        if (!is_slack(buses[i])) pvpq_pos[i] = npvpq++;
        if (is_pq(buses[i])) pq_pos[i] = npq++;
    }
    check_fits_32(npvpq + npq, "unknowns");

    // Every coupling has its angle entry in the active row of i; a magnitude entry needs j to be
    // PQ, and the reactive row needs i to be PQ.
    std::size_t count = 0;
    for (const Coupling& c : couplings) {
        const std::size_t per_row = 1 + (pq_pos[c.j] != kNone ? 1 : 0);
        count += per_row * (pq_pos[c.i] != kNone ? 2 : 1);
    }
    check_fits_32(count, "entries");

    pattern.rows.reserve(count);
    pattern.cols.reserve(count);
    pattern.entry_of.assign(couplings.size(), {kNoEntry, kNoEntry, kNoEntry, kNoEntry});
    auto emit = [&](std::size_t t, std::size_t derivative, std::size_t row, std::size_t col) {
        pattern.entry_of[t][derivative] = static_cast<std::uint32_t>(pattern.rows.size());
        pattern.rows.push_back(static_cast<std::uint32_t>(row));
        pattern.cols.push_back(static_cast<std::uint32_t>(col));
    };
    // The couplings come row by row in bus order, as the active rows and then the reactive rows
    // (the PQ subsequence) are laid out.
    for (std::size_t t = 0; t < couplings.size(); ++t) {
        const Coupling& c = couplings[t];
        const std::size_t row = pvpq_pos[c.i];
        emit(t, 0, row, pvpq_pos[c.j]);
        if (pq_pos[c.j] != kNone) emit(t, 1, row, npvpq + pq_pos[c.j]);
    }
    for (std::size_t t = 0; t < couplings.size(); ++t) {
        const Coupling& c = couplings[t];
        if (pq_pos[c.i] == kNone) continue;
        const std::size_t row = npvpq + pq_pos[c.i];
        emit(t, 2, row, pvpq_pos[c.j]);
        if (pq_pos[c.j] != kNone) emit(t, 3, row, npvpq + pq_pos[c.j]);
    }
    return pattern;
}

void JacobianPattern::fill(std::span<const network::BusPower> at,
                           std::vector<double>& values) const {
    check_len(entry_of.size(), couplings.size(), "the entry map");
    values.resize(rows.size());
    double* out = values.data();
    const std::size_t count = values.size();
    // In bus order the couplings share no trigonometry (for_each_derivatives says why).
    for_each_derivatives(couplings, at, {}, [&](std::size_t t, const Derivatives& d) {
        const std::array<std::uint32_t, 4>& entry = entry_of[t];
        for (std::size_t k = 0; k < 4; ++k) {
            if (entry[k] == kNoEntry) continue;
            check_index(entry[k], count);
            out[entry[k]] = d[k];
        }
    });
}

}  // namespace quillmere
