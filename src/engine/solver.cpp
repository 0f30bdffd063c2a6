#include "engine/solver.hpp"

#include <string>
#include <utility>

#include "common/stop.hpp"

namespace quillmere {
namespace {

// A component without a source cannot be solved: fix its buses at zero voltage so they drop out
// of the unknowns.
void make_placeholder(Bus& bus) {
    bus.bus_type = BusType::Slack;
    bus.vm = 0.0;
    bus.va = 0.0;
    bus.p_spec = 0.0;
    bus.q_spec = 0.0;
}

// The component's own mismatch norm for the buses as measured in `at`, measured as the loop does.
double component_norm(std::span<const Bus> buses, std::span<const std::size_t> component,
                      const network::InjectionSpec& spec, std::span<const network::BusPower> at) {
    double norm = 0.0;
    for (std::size_t b : component) {
        check_index(b, buses.size());
        check_index(b, at.size());
        const Bus& bus = buses[b];
        if (is_slack(bus)) continue;
        const auto [dp, dq] = network::bus_mismatch(spec, b, at[b]);
        norm = fold_norm(norm, dp);
        if (is_pq(bus)) norm = fold_norm(norm, dq);
    }
    return norm;
}

// One report per component, in component order. Every component with a source is judged on its
// own mismatch at the final voltages, measured anew unless the solve's last measurement holds
// them; one with several sources reports MultiSlack where one with a single source reports
// Converged.
std::vector<IslandReport> island_reports(std::span<const Bus> buses, const YBusSparse& ybus,
                                         std::span<const Classified> classified,
                                         SolveOutcome outcome, double tol, NewtonWork& work) {
    std::vector<IslandReport> reports;
    reports.reserve(classified.size());
    bool have_injections = work.measured_last;
    if (!have_injections) work.spec.assign(buses);
    for (const Classified& c : classified) {
        IslandReport report{c.buses, c.slacks, IslandStatus::NotConverged};
        const auto kind = c.kind;
        if (kind == ComponentKind::NoSlack) {
            report.status = IslandStatus::Sourceless;
        } else if (kind == ComponentKind::SingleSlack || kind == ComponentKind::MultiSlack) {
            if (!have_injections) {
                network::power_injections(buses, ybus, work.injections);
                have_injections = true;
            }
            const double norm = component_norm(buses, c.buses, work.spec, work.injections.at);
            if (norm < tol) {
                report.status = kind == ComponentKind::SingleSlack ? IslandStatus::Converged
                                                                   : IslandStatus::MultiSlack;
            } else if (outcome == SolveOutcome::SingularJacobian) {
                report.status = IslandStatus::SingularJacobian;
            } else {
                report.status = IslandStatus::NotConverged;
            }
        } else {
            stop("every component classified exactly once");
        }
        reports.push_back(std::move(report));
    }
    return reports;
}

}  // namespace

std::pair<std::vector<IslandReport>, SolveStats> PersistentSolver::solve_with_stats(
    std::span<Bus> buses, const YBusSparse& ybus, std::uint64_t max_iter, double tol,
    Interruption interrupted) {
    if (buses.size() != ybus.n || ybus.rows.size() != ybus.n) {
        stop("the bus list holds " + std::to_string(buses.size()) + " buses but the Y-bus has " +
             std::to_string(ybus.n) + " rows");
    }
    // The islands depend on the Y-bus pattern and the bus types alone, the same for every call.
    if (!classified_) classified_ = network::classify(network::connected_components(ybus), buses);
    const std::vector<Classified>& classified = *classified_;
    for (const Classified& c : classified) {
        if (c.kind != ComponentKind::NoSlack) continue;
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
            stats = newton_raphson_cached(buses, ybus, max_iter, tol, pattern_, scalar_system_,
                                          work_, interrupted);
            break;
        case Backend::Block:
            stats = newton_raphson_block_cached(buses, ybus, max_iter, tol, block_analysis_, work_,
                                                interrupted);
            break;
        case Backend::KluNative:
            stats = newton_raphson_cached(buses, ybus, max_iter, tol, pattern_, klu_system_, work_,
                                          interrupted);
            break;
        default:
            stop("unknown backend code " + std::to_string(static_cast<unsigned>(backend_)));
    }
    if (!had_pattern && pattern_) ++pattern_builds_;
    if (!had_system && has_backend_object()) ++backend_creations_;
    if (stats.outcome == SolveOutcome::Interrupted) return {{}, std::move(stats)};

    std::vector<IslandReport> reports =
        island_reports(buses, ybus, classified, stats.outcome, tol, work_);
    return {std::move(reports), std::move(stats)};
}

void PersistentSolver::reset() {
    guess_ = {};
    work_ = {};
    classified_.reset();
    pattern_.reset();
    scalar_system_.reset();
    block_analysis_.reset();
    klu_system_.reset();
}

}  // namespace quillmere
