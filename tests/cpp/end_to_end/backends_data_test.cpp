// A realistic meshed network under $QM_DATA_DIR/networks solved on every backend: the same passes,
// statuses and voltages as "scalar".

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "engine/agreement.hpp"
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

    EXPECT_EQ(testing::expect_backends_agree(start, net.ybus, 20, 1e-6).outcome,
              SolveOutcome::Converged);
}

}  // namespace
}  // namespace quillmere
