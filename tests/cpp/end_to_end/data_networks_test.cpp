// The realistic networks under $QM_DATA_DIR/networks: load, count the buses, solve.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "network.hpp"
#include "pgm/load.hpp"
#include "solver.hpp"

namespace quillmere {
namespace {

struct DataNetwork {
    const char* file;
    std::size_t buses;   // 0: refused, see below
    std::size_t passes;  // Newton passes of an independent solve at tol 1e-6
};

// The two PEGASE cases write unlimited reactive limits as the bare literals -Infinity and
// Infinity, which JSON does not have: they are refused at the first of them like any other
// malformed number.
const DataNetwork kNetworks[] = {{"case1354pegase.json", 0, 0},
                                 {"case9241pegase.json", 0, 0},
                                 {"case_ACTIVSg10k.json", 10001, 6},
                                 {"dist_12k.json", 11846, 6},
                                 {"dist_60k.json", 59177, 7}};

TEST(DataNetworks, LoadWithTheirBusCountsAndConverge) {
    const char* root = std::getenv("QM_DATA_DIR");
    if (root == nullptr) GTEST_SKIP() << "QM_DATA_DIR is not set";
    for (const DataNetwork& d : kNetworks) {
        SCOPED_TRACE(d.file);
        const std::string path = (std::filesystem::path(root) / "networks" / d.file).string();
        auto loaded = pgm::load_network(path, 1e6, 50.0);
        if (d.buses == 0) {
            std::ostringstream text;
            text << std::ifstream(path, std::ios::binary).rdbuf();
            ASSERT_EQ(text.str().find('\n'), std::string::npos) << "no longer one line";
            // The `I` after the minus sign is where the number goes wrong.
            const std::size_t column = text.str().find("-Infinity") + 2;
            EXPECT_EQ(std::get<pgm::LoadError>(loaded).message,
                      "parsing " + path + " as PGM JSON: invalid number at line 1 column " +
                          std::to_string(column));
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<pgm::LoadedNetwork>(loaded))
            << std::get<pgm::LoadError>(loaded).message;
        auto& net = std::get<pgm::LoadedNetwork>(loaded);
        ASSERT_EQ(net.buses.size(), d.buses);
        ASSERT_EQ(net.ybus.n, d.buses);
        network::linear_initial_guess(net.buses, net.ybus);
        const auto [islands, stats] =
            PersistentSolver(Backend::Scalar).solve_with_stats(net.buses, net.ybus, 20, 1e-6);
        EXPECT_EQ(stats.outcome, SolveOutcome::Converged);
        EXPECT_LE(stats.history.size(), d.passes + 2);
        for (const IslandReport& island : islands) {
            if (island.status != IslandStatus::Converged) continue;
            for (std::size_t b : island.buses) ASSERT_NEAR(net.buses[b].vm, 1.0, 0.5) << b;
        }
    }
}

}  // namespace
}  // namespace quillmere
