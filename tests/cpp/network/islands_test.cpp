#include <gtest/gtest.h>

#include <vector>

#include "common/stop.hpp"
#include "network/network.hpp"
#include "support/networks.hpp"

namespace quillmere {
namespace {

using test_support::bus;
using Sets = std::vector<std::vector<std::size_t>>;

TEST(ConnectedComponents, IslandsKindsAndOrder) {
    // Bus 0 alone (only a shunt); 1-4 joined by a transformer with both windings out of service;
    // 2 reaches 5 and 3 (searched in the order 2, 5, 3); 6 has no entry at all.
    const std::vector<Line> lines = {{2, 5, 0.01, 0.1, 0.0, 0.0}, {3, 2, 0.01, 0.1, 0.0, 0.0}};
    const std::vector<Transformer> trs = {{Complex(1, -5), {}, Complex(1, 0), 4, 1, 0, 0}};
    YBus raw = network::build_ybus(7, lines, trs);
    network::stamp_shunts(raw, std::vector<ShuntAdm>{{Complex(0, 0.1), 0}});
    const Sets components = network::connected_components(std::move(raw).finish());
    EXPECT_EQ(components, (Sets{{0}, {1, 4}, {2, 3, 5}, {6}}));

    std::vector<Bus> buses;
    for (std::size_t i = 0; i < 7; ++i) {
        buses.push_back(bus(i, i == 0 || i == 3 || i == 4 ? BusType::PQ : BusType::Slack));
    }
    using K = ComponentKind;
    Sets slacks;
    std::vector<K> kinds;
    for (const Classified& c : network::classify(components, buses)) {
        slacks.push_back(c.slacks);
        kinds.push_back(static_cast<K>(c.kind));
    }
    EXPECT_EQ(slacks, (Sets{{}, {1}, {2, 5}, {6}}));
    EXPECT_EQ(kinds, (std::vector<K>{K::NoSlack, K::SingleSlack, K::MultiSlack, K::SingleSlack}));
    EXPECT_THROW(network::classify(components, std::span(buses).first(6)), Stop);
}

}  // namespace
}  // namespace quillmere
