#include "engine/newton.hpp"

#include <array>
#include <cmath>
#include <string>

namespace quillmere {

UnknownLayout unknown_layout(std::span<const Bus> buses) {
    UnknownLayout layout;
    unknown_layout(buses, layout);
    return layout;
}

void unknown_layout(std::span<const Bus> buses, UnknownLayout& layout) {
    layout.pvpq.clear();
    layout.pq.clear();
    for (std::size_t k = 0; k < buses.size(); ++k) {
        const Bus& bus = buses[k];
        // The loops address the list by index and walk pq as the PQ subsequence of pvpq; a
        // repeated index would make them write past the mismatch vector.
        if (bus.index != k) {
            stop("the bus at position " + std::to_string(k) + " carries index " +
                 std::to_string(bus.index));
        }
        if (!is_slack(bus)) layout.pvpq.push_back(k);
        if (is_pq(bus)) layout.pq.push_back(k);
    }
}

namespace {

double folded_norm(std::span<const double> m) {
    double norm = 0.0;
    for (double v : m) norm = fold_norm(norm, v);
    return norm;
}

}  // namespace

double mismatch_norm(std::span<const double> m) {
    // Four maxima side by side instead of one chain of comparisons. Without a NaN the largest
    // magnitude is the same in any order (a magnitude is never -0.0); a NaN, which the fold keeps
    // (the last one, payload and all), sends the list through the fold itself. The sum of the
    // magnitudes is NaN exactly when one of them is.
    std::array<double, 4> most{0.0, 0.0, 0.0, 0.0};
    double sum = 0.0;
    std::size_t k = 0;
    for (; k + 4 <= m.size(); k += 4) {
        for (std::size_t l = 0; l < 4; ++l) {
            const double a = std::fabs(m[k + l]);
            most[l] = a > most[l] ? a : most[l];
            sum += a;
        }
    }
    double norm = 0.0;
    for (; k < m.size(); ++k) {
        const double a = std::fabs(m[k]);
        norm = a > norm ? a : norm;
        sum += a;
    }
    if (std::isnan(sum)) return folded_norm(m);
    for (const double a : most) norm = a > norm ? a : norm;
    return norm;
}

void compute_mismatch(const UnknownLayout& layout, const network::InjectionSpec& spec,
                      std::span<const network::BusPower> at, std::span<double> m) {
    const std::size_t npvpq = layout.pvpq.size();
    const std::size_t npq = layout.pq.size();
    check_len(m.size(), layout.dim(), "the mismatch vector");
    check_len(spec.specified.size(), at.size(), "the injection list");
    check_len(spec.first.size(), at.size() + 1, "the injection list");
    // pq is the PQ subsequence of pvpq (both in bus order), so one walk fills both halves.
    std::size_t next_pq = 0;
    for (std::size_t k = 0; k < npvpq; ++k) {
        const std::size_t b = layout.pvpq[k];
        check_index(b, at.size());
        const auto [dp, dq] = network::bus_mismatch(spec, b, at[b]);
        m[k] = dp;
        if (next_pq < npq && layout.pq[next_pq] == b) {
            m[npvpq + next_pq] = dq;
            ++next_pq;
        }
    }
}

}  // namespace quillmere
