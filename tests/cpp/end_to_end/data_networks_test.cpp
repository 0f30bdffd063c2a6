// The realistic networks under $QM_DATA_DIR/networks load with their bus counts, and the two large
// transmission grids solve alike on every backend (same passes, statuses, voltages as "scalar").

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "pgm/load.hpp"
#include "support/agreement.hpp"

namespace quillmere {
namespace {

TEST(DataNetworks, LoadWithTheirBusCountsAndSolveAlikeOnEveryBackend) {
    const char* root = std::getenv("QM_DATA_DIR");
    if (root == nullptr) GTEST_SKIP() << "QM_DATA_DIR is not set: it names the shared data folder";
    struct Case {
        const char* file;
        std::size_t buses;
        bool compare_backends;
    };
    const Case cases[] = {{"case1354pegase.json", 1355, false},
                          {"case9241pegase.json", 9242, true},
                          {"case_ACTIVSg10k.json", 10001, true},
                          {"dist_12k.json", 11846, false},
                          {"dist_60k.json", 59177, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const auto path = std::filesystem::path(root) / "networks" / c.file;
        if (!std::filesystem::exists(path)) {
            GTEST_SKIP() << path << " is absent: the data networks are expected in "
                         << path.parent_path();
        }
        const auto loaded = pgm::load_network(path.string(), 1e6, 50.0);
        ASSERT_TRUE(std::holds_alternative<pgm::LoadedNetwork>(loaded))
            << std::get<pgm::LoadError>(loaded).message;
        const auto& net = std::get<pgm::LoadedNetwork>(loaded);
        EXPECT_EQ(net.ybus.n, c.buses);
        if (!c.compare_backends) continue;
        std::vector<Bus> start = net.buses;
        network::linear_initial_guess(start, net.ybus);
        EXPECT_EQ(test_support::expect_backends_agree(start, net.ybus, 20, 1e-6).outcome,
                  SolveOutcome::Converged);
    }
}

}  // namespace
}  // namespace quillmere
