// How far each backend drives the mismatch on each data network: from the linear initial guess,
// 20 Newton passes with tol 0 (so none stops early), and the smallest mismatch norm of those
// passes, with the smallest power of ten below it (the smallest tol a solve reaches).
//
//   bench_smallest_mismatch [network.json ...]
//
// Without networks it takes every .json file in $QM_DATA_DIR/networks, else
// ../shared/data/networks.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "quillmere.hpp"

using namespace quillmere;

int main(int argc, char** argv) {
    std::vector<std::string> paths(argv + 1, argv + argc);
    if (paths.empty()) {
        const char* data = std::getenv("QM_DATA_DIR");
        const std::filesystem::path dir =
            std::filesystem::path(data ? data : "../shared/data") / "networks";
        if (!std::filesystem::is_directory(dir)) {
            std::printf("skipped: %s not found\n", dir.c_str());
            return 0;
        }
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (entry.path().extension() == ".json") paths.push_back(entry.path().string());
        }
        std::sort(paths.begin(), paths.end());
    }
    const std::array<std::pair<Backend, const char*>, 3> backends{
        {{Backend::Scalar, "scalar"},
         {Backend::Block, "block"},
         {Backend::KluNative, "klu_native"}}};
    for (const std::string& path : paths) {
        auto loaded = pgm::load_network(path, 1e6, 50.0);
        if (auto* error = std::get_if<pgm::LoadError>(&loaded)) {
            std::printf("%s\n", error->message.c_str());
            continue;
        }
        const auto& net = std::get<pgm::LoadedNetwork>(loaded);
        std::printf("%s:", std::filesystem::path(path).filename().c_str());
        for (const auto& [backend, name] : backends) {
            std::vector<Bus> buses = net.buses;
            network::linear_initial_guess(buses, net.ybus);
            const SolveStats stats =
                PersistentSolver(backend).solve_with_stats(buses, net.ybus, 20, 0.0).second;
            const double smallest = *std::min_element(stats.history.begin(), stats.history.end());
            int exponent = 0;
            while (exponent > -20 && smallest < std::pow(10.0, exponent - 1)) --exponent;
            std::printf("  %s %.2e (tol 1e%d)", name, smallest, exponent);
        }
        std::printf("\n");
    }
    return 0;
}
