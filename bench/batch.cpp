// A batch of 64 load-scaled scenarios on a synthetic meshed network of about 2,000 buses, on one
// worker and on as many workers as the machine has hardware threads: wall time of each and the
// speed-up. Pools are built before timing, as a model keeps them between batches.

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <variant>
#include <vector>

#include "batch/batch.hpp"
#include "quillmere.hpp"
#include "synthetic_mesh.hpp"

using namespace quillmere;
using bench::Network;
using bench::synthetic_mesh;

namespace {

using Clock = std::chrono::steady_clock;

struct Timed {
    double ms = 0.0;
    std::vector<PowerFlowReport> reports;
};

Timed run(std::size_t threads, const Network& net, const std::vector<Scenario>& scenarios) {
    std::optional<BatchCache> cache;
    auto fetched = fetch_batch_solver(cache, threads, Backend::Scalar);
    if (!std::holds_alternative<BatchSolver*>(fetched)) {
        std::printf("%s\n", std::get<BatchError>(fetched).message().c_str());
        std::exit(1);
    }
    const auto start = Clock::now();
    auto result = cache->solver.solve(net.buses, net.ybus, scenarios, 20, 1e-8);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return {ms, std::get<std::vector<PowerFlowReport>>(std::move(result))};
}

bool same_bits(const std::vector<PowerFlowReport>& a, const std::vector<PowerFlowReport>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t s = 0; s < a.size(); ++s) {
        for (std::size_t i = 0; i < a[s].buses.size(); ++i) {
            if (std::bit_cast<std::uint64_t>(a[s].buses[i].vm) !=
                    std::bit_cast<std::uint64_t>(b[s].buses[i].vm) ||
                std::bit_cast<std::uint64_t>(a[s].buses[i].va) !=
                    std::bit_cast<std::uint64_t>(b[s].buses[i].va)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

int main() {
    const Network net = synthetic_mesh(2000, 11);
    std::vector<Scenario> scenarios;
    for (int k = 0; k < 64; ++k) {
        scenarios.push_back({uniform_load_scaling(net.buses, 0.7 + 0.01 * k), {}});
    }
    const std::size_t many = std::max(1u, std::thread::hardware_concurrency());

    const Timed one = run(1, net, scenarios);
    const Timed all = run(many, net, scenarios);
    std::size_t converged = 0;
    std::size_t passes = 0;
    for (const PowerFlowReport& r : one.reports) {
        converged += r.stats.outcome == SolveOutcome::Converged;
        passes += r.stats.history.size();
    }
    std::printf("network: %zu buses, %zu scenarios, %zu converged, %.1f passes per scenario\n",
                net.buses.size(), scenarios.size(), converged,
                static_cast<double>(passes) / static_cast<double>(scenarios.size()));
    std::printf("1 thread:   %8.1f ms (%.2f ms per scenario)\n", one.ms,
                one.ms / static_cast<double>(scenarios.size()));
    std::printf("%zu threads: %8.1f ms (%.2f ms per scenario)\n", many, all.ms,
                all.ms / static_cast<double>(scenarios.size()));
    std::printf("speed-up:   %8.2fx\n", one.ms / all.ms);
    std::printf("results identical bit for bit: %s\n",
                same_bits(one.reports, all.reports) ? "yes" : "no");
    return 0;
}
