// Buses, injections, regulators, lines, shunts and sources of the PGM conversion.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

#include "pgm/convert.hpp"
#include "stop.hpp"

// Designated initializers below leave the other lists empty on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace quillmere::pgm {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint8_t kSlack = 0, kPV = 1, kPQ = 2, kI = 1, kZ = 2;

PgmSymLoad load(std::uint64_t node, double p, double q, std::uint8_t type = 0,
                std::uint8_t on = 1) {
    return {100, node, on, type, p, q};
}

PgmSymGen gen(std::uint64_t id, std::uint64_t node, double p, std::uint8_t status = 1) {
    return {id, node, status, 0, p, 0.0};
}

PgmLine line(std::uint64_t from, std::uint64_t to, std::uint8_t fs, std::uint8_t ts) {
    return {7, from, to, fs, ts, 2.0, 5.0, 1e-6};
}

PgmThreeWindingTransformer three_winding(std::uint64_t n1, std::uint64_t n2, std::uint64_t n3) {
    return {60, n1, n2, n3, 1, 1, 1, 10e3, 10e3, 10e3, 1e6, 1e6, 1e6, 0.1, 0.1, 0.1};
}

// Node ids 30, 10, 20 at 30 kV, 10 kV, 20 kV, added to `d`: bus k is node 10 * (k + 1).
PgmData with_nodes(PgmData d) {
    d.node.insert(d.node.begin(), {{30, 30e3}, {10, 10e3}, {20, 20e3}});
    return d;
}

BusesAndBranches convert(const PgmData& d) {
    return pgm_to_buses_and_branches(with_nodes(d), 1e6, 50.0);
}

bool same(const Line& a, const Line& b) {
    return a.from == b.from && a.to == b.to &&
           std::abs(a.r - b.r) + std::abs(a.x - b.x) + std::abs(a.b - b.b) + std::abs(a.g - b.g) <
               1e-15;
}

TEST(NodeNumbering, RanksIdsAscendingAndRepeatedIdsTakeTheirLastRank) {
    const PgmNode nodes[] = {{30, 1.0}, {UINT64_MAX, 1.0}, {10, 1.0}, {20, 1.0}, {10, 1.0}};
    EXPECT_EQ(node_id_to_idx(nodes), (NodeIndexMap{{10, 1}, {20, 2}, {30, 3}, {UINT64_MAX, 4}}));
}

TEST(Injections, SignsSumsAndPerUnitOnPlainLoadBuses) {
    // Type 3 counts as constant power; out of service and unknown nodes change nothing.
    const auto out =
        convert({.sym_load = {load(10, 2e6, 1e6), load(20, 2e6, 1e6), load(20, 5e5, 2e5, 3),
                              load(20, 9e9, 9e9, 0, 0), load(999, 1e6, 1e6)},
                 .asym_load = {{1, 30, 1, 0, {1e5, 2e5, 3e5}, {0.0, 0.0, 1e5}}},
                 .sym_gen = {{1, 10, 1, 0, 2e6, 1e6}},
                 .asym_gen = {{2, 30, 1, 0, {1e5, 0.0, 0.0}, {0.0, 0.0, 0.0}}}});
    ASSERT_EQ(out.buses.size(), 3u);
    const double p[] = {0.0, -2.5, -0.5}, q[] = {0.0, -1.2, -0.1};
    for (std::size_t k = 0; k < 3; ++k) {
        const Bus& b = out.buses[k];
        EXPECT_EQ(std::tuple(b.index, b.u_rated, b.vm, b.va, b.bus_type, b.q_min, b.q_max),
                  std::tuple(k, 10e3 * double(k + 1), 1.0, 0.0, kPQ, -kInf, kInf));
        EXPECT_NEAR(std::abs(b.p_spec - p[k]) + std::abs(b.q_spec - q[k]), 0.0, 1e-15) << k;
        EXPECT_TRUE(b.zip.empty());
    }
}

TEST(Injections, VoltageDependentTermsPerLoadTypeInProcessingOrder) {
    // Order: sym_load, sym_gen, asym_load, asym_gen.
    const Bus b = convert({.sym_load = {load(20, 2e6, 1e6, 1), load(20, 4e6, 0.0, 2)},
                           .sym_gen = {{1, 20, 1, 2, 1e6, 0.0}},
                           .asym_gen = {{2, 20, 1, 1, {1e6, 1e6, 1e6}, {0.0, 0.0, 0.0}}}})
                      .buses[1];
    EXPECT_EQ(std::tuple(b.p_spec, b.q_spec), std::tuple(0.0, 0.0));
    const std::tuple<std::uint8_t, Complex> expected[] = {
        {kZ, {-2.0, -1.0}}, {kI, {-4.0, 0.0}}, {kI, {1.0, 0.0}}, {kZ, {3.0, 0.0}}};
    ASSERT_EQ(b.zip.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k)
        EXPECT_EQ(std::tuple(b.zip[k].kind, b.zip[k].s), expected[k]);
}

TEST(Regulators, FirstActiveOneWinsAndUnmatchedOnesAreIgnored) {
    // Regulator 9 is inactive although first; 10 regulates although its generator is out of
    // service; 12 names a load; generator 5 appears twice and the last record's node counts.
    const auto out = convert({.sym_load = {{4, 30, 1, 0, 0.0, 0.0}},
                              .sym_gen = {gen(1, 10, 0.0, 0), gen(2, 10, 0.0), gen(3, 20, 1e6),
                                          gen(5, 10, 0.0), gen(5, 30, 0.0)},
                              .voltage_regulator = {{9, 3, 0, 0.9},
                                                    {10, 1, 1, 1.05, kNaN, 5e5},
                                                    {11, 2, 1, 0.95, -1e6, 1e6},
                                                    {12, 4, 1, 0.8},
                                                    {13, 77, 1, 0.8},
                                                    {14, 3, 1, 1.01, -2e5},
                                                    {15, 5, 1, 0.97}}});
    const std::tuple<std::uint8_t, double, double, double, double> expected[] = {
        {kPV, 1.05, -kInf, 0.5, 0.0}, {kPV, 1.01, -0.2, kInf, 1.0}, {kPV, 0.97, -kInf, kInf, 0.0}};
    for (std::size_t k = 0; k < 3; ++k) {
        const Bus& b = out.buses[k];
        EXPECT_EQ(std::tuple(b.bus_type, b.vm, b.q_min, b.q_max, b.p_spec), expected[k]) << k;
    }
}

TEST(Lines, StatusPairsAndVoltageBases) {
    // r1 = 2 ohm, x1 = 5 ohm, c1 = 1 uF at 50 Hz; base impedance 100 ohm at 10 kV, 900 at 30 kV.
    // In service: both ends on the from node's base; one end open: all the charging at the
    // connected bus, on its own base; other statuses drop the line.
    const double b10 = 0.031415926535897934, b30 = 0.2827433388230814;
    const std::tuple<std::uint8_t, std::uint8_t, std::vector<Line>> cases[] = {
        {1, 1, {{0, 2, 0.02, 0.05, b10}}},
        {1, 0, {{0, 0, 0.0, 0.0, b10}}},
        {0, 1, {{2, 2, 0.0, 0.0, b30}}},
        {0, 0, {}},
        {2, 1, {}},
        {1, 2, {}}};
    for (const auto& [fs, ts, expected] : cases) {
        const auto out = convert({.line = {line(10, 30, fs, ts)}});
        ASSERT_EQ(out.lines.size(), expected.size()) << int(fs) << int(ts);
        for (const Line& e : expected) EXPECT_TRUE(same(out.lines[0], e)) << int(fs) << int(ts);
    }
}

TEST(Sources, SlackBusesFollowStarBusesAndCarryTheSourceImpedance) {
    const auto out = convert({.line = {line(10, 20, 1, 1)},
                              .source = {{50, 999, 0, 1.0, 1e9, 0.1},
                                         {51, 20, 1, 1.03, 1e9, 0.1},
                                         {52, 30, 5, 0.98, 1e9, 0.1}},
                              .three_winding_transformer = {three_winding(10, 20, 30)}});
    ASSERT_EQ(out.buses.size(), 6u);
    // Star bus 3 on the first winding's node; the source's own node stays a load bus.
    using Row = std::tuple<std::size_t, std::uint8_t, double, double>;
    const Row expected[] = {
        {1, kPQ, 1.0, 20e3}, {3, kPQ, 1.0, 10e3}, {4, kSlack, 1.03, 20e3}, {5, kSlack, 0.98, 30e3}};
    for (const auto& [k, type, vm, u_rated] : expected) {
        const Bus& b = out.buses[k];
        EXPECT_EQ(Row(b.index, b.bus_type, b.vm, b.u_rated), Row(k, type, vm, u_rated));
    }
    // PGM lines first, then one impedance per active source: x = s_base / sk / sqrt(1 + rx^2).
    ASSERT_EQ(out.lines.size(), 3u);
    const double x = 0.001 / std::sqrt(1.01);
    EXPECT_TRUE(same(out.lines[1], {4, 1, 0.1 * x, x}));
    EXPECT_EQ(std::tuple(out.lines[2].from, out.lines[2].to), std::tuple(5u, 2u));
}

TEST(References, ReportTheFirstProblemWithKindIdFieldAndNode) {
    // Records added to the three nodes, and the message.
    const std::pair<PgmData, const char*> cases[] = {
        {{.node = {{20, 1}, {5, 1}, {5, 1}, {5, 1}}, .line = {line(10, 42, 1, 1)}},
         "node id 5 appears 3 times"},  // repeats come first, smallest id
        {{.node = {{20, 1.0}}}, "node id 20 appears twice"},
        {{.line = {line(10, 20, 1, 1), line(42, 20, 1, 1)}},
         "line 7: from_node 42 is not a node id"},
        {{.line = {line(10, 43, 0, 1)}}, "line 7: to_node 43 is not a node id"},
        {{.shunt = {{3, 8, 1}}}, "shunt 3: node 8 is not a node id"},
        {{.source = {{4, 8, 1}}}, "source 4: node 8 is not a node id"},
        {{.transformer = {{5, 10, 8}}}, "transformer 5: to_node 8 is not a node id"},
        {{.three_winding_transformer = {three_winding(10, 20, 31)}},
         "three_winding_transformer 60: node_3 31 is not a node id"},
        {{.sym_gen = {gen(2, 8, 0.0, 0)}, .voltage_regulator = {{9, 2, 1}}},
         "voltage_regulator 9: node 8 of sym_gen 2 is not a node id"},
        {{.line = {line(10, 42, 1, 1)}, .shunt = {{3, 8, 1}}}, "shunt 3: node 8 is not a node id"},
    };
    for (const auto& [added, message] : cases) {
        const PgmData d = with_nodes(added);
        EXPECT_EQ(find_reference_error(d), std::optional<std::string>(message));
        // Conversion stops rather than guess.
        EXPECT_THROW((convert(added), pgm_shunts_1ph(d.node, d.shunt, 1e6)), Stop) << message;
    }
}

TEST(References, ThoseThatNeedNotResolveAreIgnored) {
    const PgmData added = {.line = {line(8, 9, 0, 0), line(10, 9, 1, 0), line(8, 20, 0, 1),
                                    line(8, 9, 2, 1), line(8, 9, 1, 3)},
                           .source = {{4, 8, 0}},
                           .sym_load = {load(8, 1e6, 0.0)},
                           .sym_gen = {gen(1, 8, 1e6), gen(2, 8, 1e6)},
                           .asym_gen = {{2, 8, 1}},
                           .shunt = {{3, 8, 0}},
                           .voltage_regulator = {{9, 1, 0}, {10, 55, 1}}};
    EXPECT_EQ(find_reference_error(with_nodes(added)), std::nullopt);
    const auto out = convert(added);
    ASSERT_EQ(out.buses.size(), 3u);
    EXPECT_EQ(out.lines.size(), 2u);
    for (const Bus& b : out.buses)
        EXPECT_EQ(std::tuple(b.p_spec, b.bus_type), std::tuple(0.0, kPQ));
}

}  // namespace
}  // namespace quillmere::pgm
