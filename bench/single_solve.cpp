// One model's solve() in C++ alone, as the Python method runs it: a fresh copy of the template
// buses, the linear initial guess, then the Newton solve with the model's cached solver.
//
//   bench_single_solve [network.json] [repeats]
//
// Prints the load time, the first (cold) solve and the median and mean of the later solves.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <string>
#include <variant>
#include <vector>

#include "engine/solver.hpp"
#include "network/network.hpp"
#include "pgm/load.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quillmere;
    const std::string path = argc > 1 ? argv[1] : "../shared/data/networks/case_ACTIVSg10k.json";
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;
    if (!std::filesystem::exists(path)) {
        std::printf("skipped: %s not found\n", path.c_str());
        return 0;
    }

    auto start = Clock::now();
    auto loaded = pgm::load_network(path, 1e6, 50.0);
    if (auto* error = std::get_if<pgm::LoadError>(&loaded)) {
        std::fprintf(stderr, "%s\n", error->message.c_str());
        return 1;
    }
    const double load_ms = ms_since(start);
    const auto& network = std::get<pgm::LoadedNetwork>(loaded);

    PersistentSolver solver(Backend::Scalar);
    std::vector<Bus> state;
    std::vector<double> times;
    std::size_t passes = 0;
    for (int i = 0; i <= repeats; ++i) {
        start = Clock::now();
        state = network.buses;
        solver.initial_guess(state, network.ybus);
        auto [islands, stats] = solver.solve_with_stats(state, network.ybus, 20, 1e-6);
        times.push_back(ms_since(start));
        passes = stats.history.size();
    }
    const double cold = times.front();
    std::vector<double> warm(times.begin() + 1, times.end());
    std::sort(warm.begin(), warm.end());
    const double mean = std::accumulate(warm.begin(), warm.end(), 0.0) / warm.size();
    std::printf("network %s: %zu buses, load %.1f ms\n", path.c_str(), state.size(), load_ms);
    std::printf("solve: cold %.3f ms, %zu Newton passes\n", cold, passes);
    std::printf("solve_median_ms %.4f\nsolve_mean_ms %.4f\nrepeats %d\n", warm[warm.size() / 2],
                mean, repeats);
    return 0;
}
