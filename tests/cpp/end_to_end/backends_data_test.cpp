// A realistic meshed network under $QM_DATA_DIR/networks solved on every backend: the same passes,
// statuses and voltages as "scalar".

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "network/networks.hpp"
#include "pgm/load.hpp"
#include "solver.hpp"

namespace quillmere {
namespace {

TEST(BackendsOnDataNetwork, AgreeWithScalar) {
    const char* root = std::getenv("QM_DATA_DIR");
    if (root == nullptr) GTEST_SKIP() << "QM_DATA_DIR is not set";
    const auto path = std::filesystem::path(root) / "networks" / "case_ACTIVSg10k.json";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent";
    auto loaded = pgm::load_network(path.string(), 1e6, 50.0);
    ASSERT_TRUE(std::holds_alternative<pgm::LoadedNetwork>(loaded))
        << std::get<pgm::LoadError>(loaded).message;
    const auto& net = std::get<pgm::LoadedNetwork>(loaded);
    std::vector<Bus> start = net.buses;
    network::linear_initial_guess(start, net.ybus);

    std::vector<Bus> ref = start;
    const auto [ref_islands, ref_stats] =
        PersistentSolver{}.solve_with_stats(ref, net.ybus, 20, 1e-6);
    ASSERT_EQ(ref_stats.outcome, SolveOutcome::Converged);
    for (Backend backend : {Backend::Block, Backend::KluNative}) {
        SCOPED_TRACE(static_cast<int>(backend));
        std::vector<Bus> got = start;
        const auto [islands, stats] =
            PersistentSolver(backend).solve_with_stats(got, net.ybus, 20, 1e-6);
        EXPECT_EQ(stats.outcome, SolveOutcome::Converged);
        EXPECT_EQ(stats.history.size(), ref_stats.history.size());
        ASSERT_EQ(islands.size(), ref_islands.size());
        for (std::size_t i = 0; i < islands.size(); ++i) {
            EXPECT_EQ(islands[i].status, ref_islands[i].status) << "island " << i;
        }
        EXPECT_LT(testing::largest_shift(got, ref), 1e-9);
    }
}

}  // namespace
}  // namespace quillmere
