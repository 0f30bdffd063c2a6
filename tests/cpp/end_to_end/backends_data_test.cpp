// The realistic networks under $QM_DATA_DIR/networks solved on every backend: the same passes,
// statuses and voltages as "scalar".

#include <gtest/gtest.h>

#include <complex>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "network.hpp"
#include "pgm/load.hpp"
#include "solver.hpp"

namespace quillmere {
namespace {

class BackendsOnDataNetworks : public testing::TestWithParam<const char*> {};

TEST_P(BackendsOnDataNetworks, AgreeWithScalar) {
    const char* root = std::getenv("QM_DATA_DIR");
    if (root == nullptr) GTEST_SKIP() << "QM_DATA_DIR is not set";
    const std::filesystem::path path = std::filesystem::path(root) / "networks" / GetParam();
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent";
    auto loaded = pgm::load_network(path.string(), 1e6, 50.0);
    ASSERT_TRUE(std::holds_alternative<pgm::LoadedNetwork>(loaded))
        << std::get<pgm::LoadError>(loaded).message;
    const auto& net = std::get<pgm::LoadedNetwork>(loaded);

    struct Run {
        std::vector<Bus> buses;
        std::vector<IslandReport> islands;
        SolveStats stats;
    };
    auto run = [&](Backend backend) {
        Run r{net.buses, {}, {}};
        network::linear_initial_guess(r.buses, net.ybus);
        std::tie(r.islands, r.stats) =
            PersistentSolver(backend).solve_with_stats(r.buses, net.ybus, 20, 1e-6);
        return r;
    };
    const Run ref = run(Backend::Scalar);
    ASSERT_EQ(ref.stats.outcome, SolveOutcome::Converged);
    for (Backend backend : {Backend::Block, Backend::KluNative}) {
        SCOPED_TRACE(static_cast<int>(backend));
        const Run got = run(backend);
        EXPECT_EQ(got.stats.outcome, SolveOutcome::Converged);
        EXPECT_EQ(got.stats.history.size(), ref.stats.history.size());
        ASSERT_EQ(got.islands.size(), ref.islands.size());
        for (std::size_t i = 0; i < ref.islands.size(); ++i) {
            ASSERT_EQ(got.islands[i].status, ref.islands[i].status) << "island " << i;
        }
        double worst = 0.0;
        for (std::size_t b = 0; b < ref.buses.size(); ++b) {
            const Bus& g = got.buses[b];
            const Bus& r = ref.buses[b];
            worst = std::max(worst, std::abs(std::polar(g.vm, g.va) - std::polar(r.vm, r.va)));
        }
        EXPECT_LT(worst, 1e-9);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, BackendsOnDataNetworks,
                         testing::Values("case_ACTIVSg10k.json", "dist_12k.json", "dist_60k.json"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             name = name.substr(0, name.find('.'));
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

}  // namespace
}  // namespace quillmere
