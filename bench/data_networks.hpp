#pragma once
// The data networks the benchmarks load: looked up under $QM_DATA_DIR/networks, else
// ../shared/data/networks (run from the repository root).

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

#include "pgm/load.hpp"

namespace quillmere::bench {

inline std::filesystem::path networks_dir() {
    const char* root = std::getenv("QM_DATA_DIR");
    return std::filesystem::path(root != nullptr ? root : "../shared/data") / "networks";
}

// The networks the solve benchmarks compare with the peers.
inline constexpr const char* kSolveNetworks[] = {"case_ACTIVSg10k.json", "case9241pegase.json",
                                                 "dist_12k.json", "dist_60k.json"};

// The network of `file` under networks_dir(), powers per-unit of 1 MVA at 50 Hz. Absent, with a
// line on standard output, when the file is missing or does not load.
inline std::optional<pgm::LoadedNetwork> load_data_network(const char* file) {
    const std::filesystem::path path = networks_dir() / file;
    if (!std::filesystem::exists(path)) {
        std::printf("%-24s absent under %s\n", file, networks_dir().c_str());
        return std::nullopt;
    }
    auto loaded = pgm::load_network(path.string(), 1e6, 50.0);
    if (const auto* error = std::get_if<pgm::LoadError>(&loaded)) {
        std::printf("%-24s not loaded: %s\n", file, error->message.c_str());
        return std::nullopt;
    }
    return std::get<pgm::LoadedNetwork>(std::move(loaded));
}

}  // namespace quillmere::bench
