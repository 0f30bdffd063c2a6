#include "newton.hpp"

#include <string>

namespace quillmere {

UnknownLayout unknown_layout(std::span<const Bus> buses) {
    UnknownLayout layout;
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
    return layout;
}

double mismatch_norm(std::span<const double> m) {
    double norm = 0.0;
    for (double v : m) norm = fold_norm(norm, v);
    return norm;
}

void compute_mismatch(std::span<const Bus> buses, const UnknownLayout& layout,
                      std::span<const double> p, std::span<const double> q, std::span<double> m) {
    const std::size_t npvpq = layout.pvpq.size();
    check_len(m.size(), layout.dim(), "the mismatch vector");
    check_len(p.size(), buses.size(), "the active injection list");
    check_len(q.size(), buses.size(), "the reactive injection list");
    // pq is the PQ subsequence of pvpq (both in bus order), so one walk fills both halves.
    std::size_t next_pq = 0;
    for (std::size_t k = 0; k < npvpq; ++k) {
        const std::size_t b = layout.pvpq[k];
        const Bus& bus = buses[b];
        const auto [dp, dq] = network::bus_mismatch(bus, p[b], q[b]);
        m[k] = dp;
        if (is_pq(bus)) {
            m[npvpq + next_pq] = dq;
            ++next_pq;
        }
    }
}

}  // namespace quillmere
