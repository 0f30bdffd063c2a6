// The realistic networks under $QM_DATA_DIR/networks: load, count the buses, solve.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "network.hpp"
#include "pgm/load.hpp"
#include "solver.hpp"

namespace quillmere {
namespace {

struct DataNetwork {
    const char* file;
    std::size_t buses;
    std::size_t passes;  // Newton passes of an independent solve at tol 1e-6
    // A few regulator limits are written as the bare literals Infinity and -Infinity, which JSON
    // does not have; the reader refuses such a file as not valid PGM JSON.
    bool infinity_literals = false;
};

class DataNetworks : public testing::TestWithParam<DataNetwork> {};

TEST_P(DataNetworks, LoadsWithTheDocumentedBusCountAndConverges) {
    const DataNetwork& d = GetParam();
    const char* root = std::getenv("QM_DATA_DIR");
    if (root == nullptr) GTEST_SKIP() << "QM_DATA_DIR is not set";
    const std::filesystem::path path = std::filesystem::path(root) / "networks" / d.file;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent";

    auto loaded = pgm::load_network(path.string(), 1e6, 50.0);
    if (d.infinity_literals) {
        ASSERT_TRUE(std::holds_alternative<pgm::LoadError>(loaded));
        EXPECT_EQ(std::get<pgm::LoadError>(loaded).kind, pgm::LoadError::Kind::Parse);
        return;
    }
    ASSERT_TRUE(std::holds_alternative<pgm::LoadedNetwork>(loaded))
        << std::get<pgm::LoadError>(loaded).message;
    auto& net = std::get<pgm::LoadedNetwork>(loaded);
    ASSERT_EQ(net.buses.size(), d.buses);
    ASSERT_EQ(net.ybus.n, d.buses);

    std::vector<Bus> buses = net.buses;
    network::linear_initial_guess(buses, net.ybus);
    PersistentSolver solver(Backend::Scalar);
    const auto [islands, stats] = solver.solve_with_stats(buses, net.ybus, 20, 1e-6);
    EXPECT_EQ(stats.outcome, SolveOutcome::Converged);
    EXPECT_LE(stats.history.size(), d.passes + 2);
    for (const IslandReport& island : islands) {
        EXPECT_NE(island.status, IslandStatus::NotConverged);
        EXPECT_NE(island.status, IslandStatus::SingularJacobian);
        if (island.status != IslandStatus::Converged) continue;
        for (std::size_t b : island.buses) {
            ASSERT_GT(buses[b].vm, 0.5) << "bus " << b;
            ASSERT_LT(buses[b].vm, 1.5) << "bus " << b;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Files, DataNetworks,
                         testing::Values(DataNetwork{"case1354pegase.json", 1355, 5, true},
                                         DataNetwork{"case9241pegase.json", 9242, 6, true},
                                         DataNetwork{"case_ACTIVSg10k.json", 10001, 6},
                                         DataNetwork{"dist_12k.json", 11846, 6},
                                         DataNetwork{"dist_60k.json", 59177, 7}),
                         [](const testing::TestParamInfo<DataNetwork>& info) {
                             std::string name = info.param.file;
                             name = name.substr(0, name.find('.'));
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

}  // namespace
}  // namespace quillmere
