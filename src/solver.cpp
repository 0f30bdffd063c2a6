#include "solver.hpp"

#include <string>
#include <tuple>
#include <utility>

#include "newton.hpp"
#include "newton_block.hpp"
#include "stop.hpp"

namespace quillmere {
namespace {

// A component without a source cannot be solved: fix its buses at zero voltage so they drop out
// of the unknowns.
void make_placeholder(Bus& bus) {
    bus.bus_type = static_cast<std::uint8_t>(BusType::Slack);
    bus.vm = 0.0;
    bus.va = 0.0;
    bus.p_spec = 0.0;
    bus.q_spec = 0.0;
}

// The component's own mismatch norm at the buses' current voltages, measured as the loop does.
double component_norm(std::span<const Bus> buses, std::span<const std::size_t> component,
                      std::span<const double> p, std::span<const double> q) {
    double norm = 0.0;
    for (std::size_t b : component) {
        check_index(b, buses.size());
        const Bus& bus = buses[b];
        if (is_slack(bus)) continue;
        const Complex s = network::effective_injection(bus);
        norm = fold_norm(norm, s.real() - p[b]);
        if (is_pq(bus)) norm = fold_norm(norm, s.imag() - q[b]);
    }
    return norm;
}

// One report per component, in component order; one-slack components are judged on their own
// mismatch at the final voltages.
std::vector<IslandReport> island_reports(std::span<const Bus> buses, const YBusSparse& ybus,
                                         std::span<const Classified> classified,
                                         SolveOutcome outcome, double tol) {
    std::vector<IslandReport> reports;
    reports.reserve(classified.size());
    std::vector<double> p;
    std::vector<double> q;
    bool have_injections = false;
    for (const Classified& c : classified) {
        IslandReport report{c.buses, c.slacks, IslandStatus::NotConverged};
        switch (static_cast<ComponentKind>(c.kind)) {
            case ComponentKind::NoSlack:
                report.status = IslandStatus::Sourceless;
                break;
            case ComponentKind::MultiSlack:
                report.status = IslandStatus::MultiSlack;
                break;
            case ComponentKind::SingleSlack: {
                if (!have_injections) {
                    std::tie(p, q) = network::power_injections(buses, ybus);
                    have_injections = true;
                }
                const double norm = component_norm(buses, c.buses, p, q);
                if (norm < tol) {
                    report.status = IslandStatus::Converged;
                } else if (outcome == SolveOutcome::SingularJacobian) {
                    report.status = IslandStatus::SingularJacobian;
                } else {
                    report.status = IslandStatus::NotConverged;
                }
                break;
            }
            default:
                stop("every component classified exactly once");
        }
        reports.push_back(std::move(report));
    }
    return reports;
}

}  // namespace

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
        const Complex s = network::effective_injection(bus);
        m[k] = s.real() - p[b];
        if (is_pq(bus)) {
            m[npvpq + next_pq] = s.imag() - q[b];
            ++next_pq;
        }
    }
}

std::pair<std::vector<IslandReport>, SolveStats> PersistentSolver::solve_with_stats(
    std::span<Bus> buses, const YBusSparse& ybus, std::uint64_t max_iter, double tol) {
    if (buses.size() != ybus.n || ybus.rows.size() != ybus.n) {
        stop("the bus list holds " + std::to_string(buses.size()) + " buses but the Y-bus has " +
             std::to_string(ybus.n) + " rows");
    }
    const std::vector<std::vector<std::size_t>> components = network::connected_components(ybus);
    const std::vector<Classified> classified = network::classify(components, buses);
    for (const Classified& c : classified) {
        if (c.kind != static_cast<std::uint8_t>(ComponentKind::NoSlack)) continue;
        for (std::size_t b : c.buses) {
            check_index(b, buses.size());
            make_placeholder(buses[b]);
        }
    }

    const bool had_pattern = pattern_.has_value();
    const bool had_system = has_backend_object();
    SolveStats stats;
    switch (backend_) {
        case Backend::Scalar:
            stats = newton_raphson_cached(buses, ybus, max_iter, tol, pattern_, scalar_system_);
            break;
        case Backend::Block:
            stats = newton_raphson_block_cached(buses, ybus, max_iter, tol, block_analysis_);
            break;
        case Backend::KluNative:
            stats = newton_raphson_cached(buses, ybus, max_iter, tol, pattern_, klu_system_);
            break;
        default:
            stop("unknown backend code " + std::to_string(static_cast<unsigned>(backend_)));
    }
    if (!had_pattern && pattern_) ++pattern_builds_;
    if (!had_system && has_backend_object()) ++backend_creations_;

    std::vector<IslandReport> reports = island_reports(buses, ybus, classified, stats.outcome, tol);
    return {std::move(reports), std::move(stats)};
}

void PersistentSolver::reset() {
    pattern_.reset();
    scalar_system_.reset();
    block_analysis_.reset();
    klu_system_.reset();
}

}  // namespace quillmere
