#include <gtest/gtest.h>

#include <vector>

#include "network.hpp"
#include "stop.hpp"

namespace quillmere {
namespace {

using Components = std::vector<std::vector<std::size_t>>;

std::vector<Bus> buses_of(std::vector<BusType> types) {
    std::vector<Bus> buses(types.size());
    for (std::size_t i = 0; i < types.size(); ++i) {
        buses[i].index = i;
        buses[i].bus_type = static_cast<std::uint8_t>(types[i]);
    }
    return buses;
}

TEST(ConnectedComponents, EmptyNetwork) {
    const YBusSparse y = network::build_ybus(0, {}, {}).finish();
    EXPECT_TRUE(network::connected_components(y).empty());
    EXPECT_TRUE(network::classify({}, {}).empty());
}

TEST(ConnectedComponents, IslandsKindsAndOrder) {
    // Bus 0 alone (only a shunt); 1-4 joined by a transformer with both windings out of service;
    // 2 reaches 5 and 3 (searched in the order 2, 5, 3); 6 has no entry at all.
    const std::vector<Line> lines = {{2, 5, 0.01, 0.1, 0.0, 0.0}, {3, 2, 0.01, 0.1, 0.0, 0.0}};
    const std::vector<Transformer> trs = {
        {Complex(1, -5), Complex(0, 0), Complex(1, 0), 4, 1, 0, 0}};
    YBus raw = network::build_ybus(7, lines, trs);
    network::stamp_shunts(raw, std::vector<ShuntAdm>{{Complex(0, 0.1), 0}});
    const YBusSparse y = std::move(raw).finish();

    const Components components = network::connected_components(y);
    EXPECT_EQ(components, (Components{{0}, {1, 4}, {2, 3, 5}, {6}}));

    using B = BusType;
    const auto buses = buses_of({B::PQ, B::Slack, B::Slack, B::PV, B::PQ, B::Slack, B::Slack});
    const auto classified = network::classify(components, buses);
    ASSERT_EQ(classified.size(), 4u);
    struct Want {
        std::vector<std::size_t> slacks;
        ComponentKind kind;
    };
    const std::vector<Want> want = {{{}, ComponentKind::NoSlack},
                                    {{1}, ComponentKind::SingleSlack},
                                    {{2, 5}, ComponentKind::MultiSlack},
                                    {{6}, ComponentKind::SingleSlack}};
    for (std::size_t c = 0; c < want.size(); ++c) {
        EXPECT_EQ(classified[c].buses, components[c]) << "component " << c;
        EXPECT_EQ(classified[c].slacks, want[c].slacks) << "component " << c;
        EXPECT_EQ(classified[c].kind, static_cast<std::uint8_t>(want[c].kind)) << "component " << c;
    }
}

TEST(Classify, BusOutsideListStops) {
    const auto buses = buses_of({BusType::Slack});
    EXPECT_THROW(network::classify(Components{{0, 1}}, buses), Stop);
}

}  // namespace
}  // namespace quillmere
