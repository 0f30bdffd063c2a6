// The "block" and "klu_native" backends give, bit for bit, the voltages and pass histories they
// gave when these hashes were taken. Speed work on the kernels must not change a single rounding.
// Each start is the linear initial guess rounded to a 2^-24 grid, so that a change of the guess at
// rounding level does not move it.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/solver.hpp"
#include "pgm/load.hpp"
#include "support/networks.hpp"

namespace quillmere {
namespace {

// FNV-1a over the bit patterns of the solved voltages and of the history.
std::uint64_t result_hash(std::span<const Bus> buses, const SolveStats& stats) {
    std::uint64_t h = 1469598103934665603ull;
    auto mix = [&](double value) {
        std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
        for (int k = 0; k < 8; ++k, bits >>= 8) h = (h ^ (bits & 0xff)) * 1099511628211ull;
    };
    for (const Bus& bus : buses) {
        mix(bus.vm);
        mix(bus.va);
    }
    for (double norm : stats.history) mix(norm);
    return h;
}

std::vector<Bus> rounded_start(std::span<const Bus> template_buses, const YBusSparse& ybus) {
    std::vector<Bus> start(template_buses.begin(), template_buses.end());
    network::linear_initial_guess(start, ybus);
    for (Bus& bus : start) {
        bus.vm = std::ldexp(std::round(std::ldexp(bus.vm, 24)), -24);
        bus.va = std::ldexp(std::round(std::ldexp(bus.va, 24)), -24);
    }
    return start;
}

struct Pin {
    std::uint64_t block;
    std::uint64_t klu_native;
};

void expect_pinned(std::span<const Bus> template_buses, const YBusSparse& ybus, const Pin& pin) {
    const std::vector<Bus> start = rounded_start(template_buses, ybus);
    for (const auto& [backend, expected] :
         {std::pair{Backend::Block, pin.block}, std::pair{Backend::KluNative, pin.klu_native}}) {
        std::vector<Bus> buses = start;
        const auto [islands, stats] =
            PersistentSolver(backend).solve_with_stats(buses, ybus, 30, 1e-6);
        EXPECT_EQ(result_hash(buses, stats), expected)
            << "backend " << static_cast<int>(backend) << ", " << stats.history.size() << " passes";
    }
}

TEST(PinnedResults, RandomNetworks) {
    const std::pair<std::uint64_t, Pin> cases[] = {
        {11, {0x8a40347b2271c2adull, 0xdab59ba426f9be8bull}},
        {12, {0x4fcacf39ed0a3ed1ull, 0xfd9fdd6aa261e688ull}},
        {13, {0x62f188667f5877ffull, 0x5d9cc869740c22d2ull}},
    };
    for (const auto& [seed, pin] : cases) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        const test_support::Net net =
            test_support::synthetic({{1, 400}, {2, 150}, {0, 20}, {1, 1}, {1, 900}}, seed);
        expect_pinned(net.buses, net.y, pin);
    }
}

TEST(PinnedResults, DataNetworks) {
    const char* root = std::getenv("QM_DATA_DIR");
    if (root == nullptr) GTEST_SKIP() << "QM_DATA_DIR is not set";
    const std::pair<const char*, Pin> cases[] = {
        {"case1354pegase.json", {0xabf85d4c84823e4dull, 0x6dafc06ca7a9a5eaull}},
        {"case9241pegase.json", {0xfbb3b0407780732full, 0x863e95ce23ba5b23ull}},
        {"case_ACTIVSg10k.json", {0xa1dbc57a46ef9719ull, 0xa859a24129c33e84ull}},
        {"dist_12k.json", {0x9ce890ebf1a99b09ull, 0x4d63672f0e634791ull}},
        {"dist_60k.json", {0x99395480210e2d0bull, 0x237429f2be2d4711ull}},
    };
    for (const auto& [file, pin] : cases) {
        SCOPED_TRACE(file);
        const auto path = std::filesystem::path(root) / "networks" / file;
        if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent";
        auto loaded = pgm::load_network(path.string(), 1e6, 50.0);
        ASSERT_TRUE(std::holds_alternative<pgm::LoadedNetwork>(loaded))
            << std::get<pgm::LoadError>(loaded).message;
        const auto& net = std::get<pgm::LoadedNetwork>(loaded);
        expect_pinned(net.buses, net.ybus, pin);
    }
}

}  // namespace
}  // namespace quillmere
