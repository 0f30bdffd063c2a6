// Buses, injections, regulators, lines, shunts and sources of the PGM conversion.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <variant>

#include "pgm/convert.hpp"

// Designated initializers below leave the other lists empty on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace quillmere::pgm {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr BusType kSlack = BusType::Slack, kPV = BusType::PV, kPQ = BusType::PQ;
constexpr ZipKind kI = ZipKind::ConstantCurrent, kZ = ZipKind::ConstantImpedance;

PgmSymLoad load(std::uint64_t node, double p, double q, std::uint8_t type = 0,
                std::uint8_t on = 1) {
    return {100, node, on, type, p, q};
}
PgmSymGen gen(std::uint64_t id, std::uint64_t node, double p, double q = 0.0, std::uint8_t type = 0,
              std::uint8_t on = 1) {
    return {id, node, on, type, p, q};
}
PgmVoltageRegulator regulator(std::uint64_t id, std::uint64_t gen, std::uint8_t on, double u_ref,
                              double q_min = kNaN, double q_max = kNaN) {
    return {id, gen, on, u_ref, q_min, q_max};
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
// The conversion's reference problem, or "converted".
std::string outcome(const PgmData& d) {
    const auto result = convert_pgm(d, 1e6, 50.0);
    const auto* problem = std::get_if<std::string>(&result);
    return problem != nullptr ? *problem : "converted";
}
// The network of the three nodes plus `d`; an empty one, and a failure, when refused.
ConvertedNetwork convert(const PgmData& d) {
    auto result = convert_pgm(with_nodes(d), 1e6, 50.0);
    if (auto* problem = std::get_if<std::string>(&result)) {
        ADD_FAILURE() << *problem;
        return {};
    }
    return std::get<ConvertedNetwork>(std::move(result));
}

bool same(const Line& a, const Line& b) {
    return std::tuple(a.from, a.to) == std::tuple(b.from, b.to) &&
           std::abs(a.r - b.r) + std::abs(a.x - b.x) + std::abs(a.b - b.b) + a.g < 1e-15;
}

TEST(NodeNumbering, BusesRankIdsAscendingAndReferencesFollow) {
    // Bus k carries the rated voltage of the k-th smallest id; the extreme ids rank like others.
    const PgmData d = {.node = {{30, 3e3}, {UINT64_MAX, 4e3}, {0, 1e3}, {20, 2e3}},
                       .line = {line(UINT64_MAX, 0, 1, 1)},
                       .shunt = {{3, 20, 1, 0.0, 4.0}}};
    auto result = convert_pgm(d, 1e6, 50.0);
    ASSERT_TRUE(std::holds_alternative<ConvertedNetwork>(result)) << std::get<std::string>(result);
    const ConvertedNetwork& out = std::get<ConvertedNetwork>(result);
    ASSERT_EQ(out.buses.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(std::tuple(out.buses[k].index, out.buses[k].u_rated),
                  std::tuple(k, 1e3 * (k + 1.0)));
    }
    ASSERT_EQ(std::tuple(out.lines.size(), out.shunts.size()), std::tuple(1u, 1u));
    EXPECT_EQ(std::tuple(out.lines[0].from, out.lines[0].to), std::tuple(3u, 0u));
    // b1 = 4 S on the 2 kV base of 4 ohm: 16 per unit.
    EXPECT_EQ(std::tuple(out.shunts[0].bus, out.shunts[0].y), std::tuple(1u, Complex(0.0, 16.0)));
}

TEST(Injections, SignsSumsLoadTypesAndRegulators) {
    // Loads draw, generators feed; type 3 counts as constant power, types 1 and 2 become
    // voltage-dependent terms in the order sym_load, sym_gen, asym_load, asym_gen. Out of service
    // records, dropped lines and injections at unknown nodes change nothing and fail nothing.
    // Regulator 9 is inactive although first; 10 regulates although its generator is out of
    // service; 12 names a load; generator 5 appears twice and the last record's node counts.
    const PgmData d = {
        .line = {line(8, 9, 0, 0), line(10, 9, 1, 0), line(8, 20, 0, 1), line(8, 9, 2, 1)},
        .source = {{4, 8, 0}},
        .sym_load = {load(10, 2e6, 1e6), load(20, 2e6, 1e6), load(20, 5e5, 2e5, 3),
                     load(20, 9e9, 9e9, 0, 0), load(999, 1e6, 1e6), load(20, 2e6, 1e6, 1),
                     load(20, 4e6, 0.0, 2)},
        .asym_load = {{1, 30, 1, 0, {1e5, 2e5, 3e5}, {0.0, 0.0, 1e5}}},
        .sym_gen = {gen(1, 10, 0.0, 0.0, 0, 0), gen(2, 10, 0.0), gen(3, 20, 1e6), gen(5, 10, 0.0),
                    gen(5, 30, 0.0), gen(6, 10, 2e6, 1e6), gen(7, 8, 1e6), gen(8, 20, 1e6, 0.0, 2)},
        .asym_gen = {{2, 30, 1, 0, {1e5, 0.0, 0.0}, {0.0, 0.0, 0.0}},
                     {3, 20, 1, 1, {1e6, 1e6, 1e6}, {0.0, 0.0, 0.0}},
                     {4, 8, 1}},
        .shunt = {{3, 8, 0}},
        .voltage_regulator = {regulator(9, 3, 0, 0.9), regulator(10, 1, 1, 1.05, kNaN, 5e5),
                              regulator(11, 2, 1, 0.95, -1e6), regulator(12, 100, 1, 0.8),
                              regulator(13, 55, 1, 0.8), regulator(14, 3, 1, 1.01, -2e5),
                              regulator(15, 5, 1, 0.97)}};
    const auto out = convert(d);
    ASSERT_EQ(std::tuple(out.buses.size(), out.lines.size()), std::tuple(3u, 2u));
    const double vm[] = {1.05, 1.01, 0.97}, q_min[] = {-kInf, -0.2, -kInf};
    const double q_max[] = {0.5, kInf, kInf}, p[] = {0.0, -1.5, -0.5}, q[] = {0.0, -1.2, -0.1};
    for (std::size_t k = 0; k < 3; ++k) {
        const Bus& b = out.buses[k];
        EXPECT_EQ(std::tuple(b.index, b.u_rated, b.va, b.bus_type, b.vm, b.q_min, b.q_max),
                  std::tuple(k, 10e3 * (k + 1.0), 0.0, kPV, vm[k], q_min[k], q_max[k]));
        EXPECT_NEAR(std::abs(b.p_spec - p[k]) + std::abs(b.q_spec - q[k]), 0.0, 1e-15) << k;
    }
    const std::tuple<ZipKind, Complex> zip[] = {
        {kZ, {-2.0, -1.0}}, {kI, {-4.0, 0.0}}, {kI, {1.0, 0.0}}, {kZ, {3.0, 0.0}}};
    ASSERT_EQ(out.buses[1].zip.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(std::tuple(out.buses[1].zip[k].kind, out.buses[1].zip[k].s), zip[k]);
    }
    EXPECT_TRUE(out.buses[0].zip.empty() && out.buses[2].zip.empty());
}

TEST(Branches, LineStatusPairsVoltageBasesAndSourcesAfterStarBuses) {
    // r1 = 2 ohm, x1 = 5 ohm, c1 = 1 uF at 50 Hz; base impedance 100 ohm at 10 kV, 900 at 30 kV.
    // In service: both ends on the from node's base; one end open: all the charging at the
    // connected bus, on its own base; other statuses drop the line. Then one impedance per
    // active source, on a slack bus after the star bus: x = s_base / sk / sqrt(1 + rx^2).
    const auto out = convert({.line = {line(10, 30, 1, 1), line(10, 30, 1, 0), line(10, 30, 0, 1),
                                       line(10, 30, 0, 0), line(10, 30, 2, 1), line(10, 30, 1, 2)},
                              .source = {{50, 999, 0, 1.0, 1e9, 0.1},
                                         {51, 20, 1, 1.03, 1e9, 0.1},
                                         {52, 30, 5, 0.98, 1e9, 0.1}},
                              .three_winding_transformer = {three_winding(10, 20, 30)}});
    const double b10 = 0.031415926535897934, b30 = 0.2827433388230814, x = 0.001 / std::sqrt(1.01);
    const Line lines[] = {{0, 2, 0.02, 0.05, b10},
                          {0, 0, 0.0, 0.0, b10},
                          {2, 2, 0.0, 0.0, b30},
                          {4, 1, 0.1 * x, x},
                          {5, 2, 0.1 * x, x}};
    ASSERT_EQ(out.lines.size(), 5u);
    for (std::size_t k = 0; k < 5; ++k) EXPECT_TRUE(same(out.lines[k], lines[k])) << k;
    // Star bus 3 on the first winding's node; the source's own node stays a load bus.
    ASSERT_EQ(out.buses.size(), 6u);
    using Row = std::tuple<std::size_t, BusType, double, double>;
    const Row expected[] = {
        {1, kPQ, 1.0, 20e3}, {3, kPQ, 1.0, 10e3}, {4, kSlack, 1.03, 20e3}, {5, kSlack, 0.98, 30e3}};
    for (const auto& [k, type, vm, u_rated] : expected) {
        const Bus& b = out.buses[k];
        EXPECT_EQ(Row(b.index, b.bus_type, b.vm, b.u_rated), Row(k, type, vm, u_rated));
    }
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
        // Record order before field order.
        {{.line = {line(10, 43, 1, 1), line(42, 20, 1, 1)}}, "line 7: to_node 43 is not a node id"},
        {{.source = {{4, 8, 1}}}, "source 4: node 8 is not a node id"},
        {{.transformer = {{5, 10, 8}}}, "transformer 5: to_node 8 is not a node id"},
        {{.transformer = {{5, 9, 8}}}, "transformer 5: from_node 9 is not a node id"},
        {{.three_winding_transformer = {three_winding(10, 20, 31)}},
         "three_winding_transformer 60: node_3 31 is not a node id"},
        {{.three_winding_transformer = {three_winding(10, 32, 31)}},
         "three_winding_transformer 60: node_2 32 is not a node id"},
        {{.sym_gen = {gen(2, 8, 0.0, 0.0, 0, 0)}, .voltage_regulator = {{9, 2, 1}}},
         "voltage_regulator 9: node 8 of sym_gen 2 is not a node id"},
        {{.line = {line(10, 42, 1, 1)}, .shunt = {{3, 8, 1}}}, "shunt 3: node 8 is not a node id"},
    };
    for (const auto& [added, message] : cases) EXPECT_EQ(outcome(with_nodes(added)), message);
}

TEST(References, EachKindIsReportedOnlyAfterTheOnesBeforeIt) {
    // Every kind refers to a missing node; taking away the reported problem reveals the next.
    PgmData d = with_nodes({.node = {{20, 1.0}},
                            .line = {line(41, 42, 1, 1)},
                            .source = {{4, 71, 1}},
                            .sym_load = {load(81, 1.0, 1.0)},
                            .sym_gen = {gen(2, 91, 0.0)},
                            .shunt = {{3, 8, 1}},
                            .transformer = {{5, 51, 52, 0, 0}},
                            .three_winding_transformer = {three_winding(10, 61, 62)},
                            .voltage_regulator = {{9, 2, 1}}});
    using Fix = void (*)(PgmData&);
    const std::pair<const char*, Fix> steps[] = {
        {"node id 20 appears twice", [](PgmData& p) { p.node.pop_back(); }},
        {"shunt 3: node 8 is not a node id", [](PgmData& p) { p.shunt.clear(); }},
        {"voltage_regulator 9: node 91 of sym_gen 2 is not a node id",
         [](PgmData& p) { p.voltage_regulator.clear(); }},
        {"line 7: from_node 41 is not a node id", [](PgmData& p) { p.line.clear(); }},
        {"transformer 5: from_node 51 is not a node id", [](PgmData& p) { p.transformer.clear(); }},
        {"three_winding_transformer 60: node_2 61 is not a node id",
         [](PgmData& p) { p.three_winding_transformer.clear(); }},
        {"source 4: node 71 is not a node id", [](PgmData& p) { p.source.clear(); }},
    };
    for (const auto& [message, fix] : steps) {
        EXPECT_EQ(outcome(d), message);
        fix(d);
    }
    EXPECT_EQ(outcome(d), "converted");  // the load and generator at unknown nodes are ignored
}

}  // namespace
}  // namespace quillmere::pgm
