#include <gtest/gtest.h>

#include <vector>

#include "network.hpp"
#include "network/networks.hpp"
#include "stop.hpp"

namespace quillmere {
namespace {

using testing::bus;

TEST(ConnectedComponents, IslandsKindsAndOrder) {
    // Bus 0 alone (only a shunt); 1-4 joined by a transformer with both windings out of service;
    // 2 reaches 5 and 3 (searched in the order 2, 5, 3); 6 has no entry at all.
    const std::vector<Line> lines = {{2, 5, 0.01, 0.1, 0.0, 0.0}, {3, 2, 0.01, 0.1, 0.0, 0.0}};
    const std::vector<Transformer> trs = {{Complex(1, -5), {}, Complex(1, 0), 4, 1, 0, 0}};
    YBus raw = network::build_ybus(7, lines, trs);
    network::stamp_shunts(raw, std::vector<ShuntAdm>{{Complex(0, 0.1), 0}});
    const auto components = network::connected_components(std::move(raw).finish());
    EXPECT_EQ(components, (std::vector<std::vector<std::size_t>>{{0}, {1, 4}, {2, 3, 5}, {6}}));

    std::vector<Bus> buses;
    for (std::size_t i = 0; i < 7; ++i)
        buses.push_back(bus(i, i == 0 || i == 3 || i == 4 ? BusType::PQ : BusType::Slack));
    const auto classified = network::classify(components, buses);
    const std::vector<std::vector<std::size_t>> slacks = {{}, {1}, {2, 5}, {6}};
    const ComponentKind kinds[] = {ComponentKind::NoSlack, ComponentKind::SingleSlack,
                                   ComponentKind::MultiSlack, ComponentKind::SingleSlack};
    ASSERT_EQ(classified.size(), 4u);
    for (std::size_t c = 0; c < 4; ++c) {
        EXPECT_EQ(classified[c].buses, components[c]) << "component " << c;
        EXPECT_EQ(classified[c].slacks, slacks[c]) << "component " << c;
        EXPECT_EQ(classified[c].kind, static_cast<std::uint8_t>(kinds[c])) << "component " << c;
    }
    EXPECT_THROW(network::classify(components, std::span(buses).first(6)), Stop);
}

}  // namespace
}  // namespace quillmere
