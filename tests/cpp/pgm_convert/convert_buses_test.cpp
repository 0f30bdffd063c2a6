// Buses, injections, regulators, lines, shunts and sources of the PGM conversion.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "pgm/convert.hpp"
#include "stop.hpp"

namespace quillmere::pgm {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint8_t kSlack = 0, kPV = 1, kPQ = 2;

PgmSymLoad load(std::uint64_t node, double p, double q, std::uint8_t type = 0,
                std::uint8_t status = 1) {
    return PgmSymLoad{.id = 100,
                      .node = node,
                      .status = status,
                      .type = type,
                      .p_specified = p,
                      .q_specified = q};
}

PgmSymGen gen(std::uint64_t id, std::uint64_t node, double p, double q, std::uint8_t status = 1) {
    return PgmSymGen{
        .id = id, .node = node, .status = status, .type = 0, .p_specified = p, .q_specified = q};
}

PgmLine line(std::uint64_t from, std::uint64_t to, std::uint8_t fs, std::uint8_t ts) {
    return PgmLine{.id = 7,
                   .from_node = from,
                   .to_node = to,
                   .from_status = fs,
                   .to_status = ts,
                   .r1 = 2.0,
                   .x1 = 5.0,
                   .c1 = 1e-6};
}

PgmSource source(std::uint64_t node, std::uint8_t status, double u_ref = 1.02) {
    return PgmSource{
        .id = 50, .node = node, .status = status, .u_ref = u_ref, .sk = 1e9, .rx_ratio = 0.1};
}

PgmThreeWindingTransformer three_winding(std::uint64_t n1, std::uint64_t n2, std::uint64_t n3) {
    return PgmThreeWindingTransformer{.id = 60,
                                      .node_1 = n1,
                                      .node_2 = n2,
                                      .node_3 = n3,
                                      .status_1 = 1,
                                      .status_2 = 1,
                                      .status_3 = 1,
                                      .u1 = 10e3,
                                      .u2 = 10e3,
                                      .u3 = 10e3,
                                      .sn_1 = 1e6,
                                      .sn_2 = 1e6,
                                      .sn_3 = 1e6,
                                      .uk_12 = 0.1,
                                      .uk_13 = 0.1,
                                      .uk_23 = 0.1};
}

// Node ids 30, 10, 20 at 30 kV, 10 kV, 20 kV: bus k is node 10 * (k + 1).
PgmData three_nodes() {
    PgmData d;
    d.node = {{30, 30e3}, {10, 10e3}, {20, 20e3}};
    return d;
}

BusesAndBranches convert(const PgmData& d) {
    return pgm_to_buses_and_branches(d, 1e6, 50.0);
}

TEST(NodeNumbering, RanksIdsAscendingAndRepeatedIdsTakeTheirLastRank) {
    const PgmNode nodes[] = {{30, 1.0}, {10, 1.0}, {20, 1.0}};
    const NodeIndexMap index = node_id_to_idx(nodes);
    EXPECT_EQ(index.at(10), 0u);
    EXPECT_EQ(index.at(20), 1u);
    EXPECT_EQ(index.at(30), 2u);

    const PgmNode repeated[] = {{5, 1.0}, {1, 1.0}, {5, 1.0}};
    const NodeIndexMap index2 = node_id_to_idx(repeated);
    EXPECT_EQ(index2.size(), 2u);
    EXPECT_EQ(index2.at(5), 2u);

    // Unsigned order: the largest id sorts last.
    const PgmNode big[] = {{UINT64_MAX, 1.0}, {0, 1.0}};
    EXPECT_EQ(node_id_to_idx(big).at(UINT64_MAX), 1u);
}

TEST(NodeBuses, TakeRankUratedAndPlainDefaults) {
    PgmData d = three_nodes();
    d.sym_load = {load(30, 1e6, 0.0)};
    const auto out = convert(d);
    ASSERT_EQ(out.buses.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        const Bus& b = out.buses[k];
        EXPECT_EQ(b.index, k);
        EXPECT_EQ(b.u_rated, 10e3 * static_cast<double>(k + 1));
        EXPECT_EQ(b.vm, 1.0);
        EXPECT_EQ(b.va, 0.0);
        EXPECT_EQ(b.bus_type, kPQ);
        EXPECT_EQ(b.q_min, -kInf);
        EXPECT_EQ(b.q_max, kInf);
        EXPECT_TRUE(b.zip.empty());
    }
    EXPECT_EQ(out.buses[2].p_spec, -1.0);
    EXPECT_EQ(out.buses[0].p_spec, 0.0);
    EXPECT_EQ(out.buses[1].q_spec, 0.0);
}

TEST(Injections, SignsSumsAndPerUnit) {
    PgmData d = three_nodes();
    d.sym_load = {load(10, 2e6, 1e6), load(20, 2e6, 1e6), load(20, 5e5, 2e5, 3),
                  load(20, 9e9, 9e9, 0, 0), load(999, 1e6, 1e6)};
    d.sym_gen = {gen(1, 10, 2e6, 1e6)};
    d.asym_load = {PgmAsymLoad{.id = 1,
                               .node = 30,
                               .status = 1,
                               .type = 0,
                               .p_specified = {1e5, 2e5, 3e5},
                               .q_specified = {0.0, 0.0, 1e5}}};
    d.asym_gen = {PgmAsymGen{.id = 2,
                             .node = 30,
                             .status = 1,
                             .type = 0,
                             .p_specified = {1e5, 0.0, 0.0},
                             .q_specified = {0.0, 0.0, 0.0}}};
    const auto out = convert(d);
    // A load and an equal generator cancel.
    EXPECT_EQ(out.buses[0].p_spec, 0.0);
    EXPECT_EQ(out.buses[0].q_spec, 0.0);
    // Two constant-power loads (type 3 counts as constant power) sum; the one out of service
    // and the one on an unknown node change nothing.
    EXPECT_DOUBLE_EQ(out.buses[1].p_spec, -2.5);
    EXPECT_DOUBLE_EQ(out.buses[1].q_spec, -1.2);
    EXPECT_TRUE(out.buses[1].zip.empty());
    // Asymmetric entries sum per phase; the generator counts positive.
    EXPECT_DOUBLE_EQ(out.buses[2].p_spec, -0.6 + 0.1);
    EXPECT_DOUBLE_EQ(out.buses[2].q_spec, -0.1);
}

TEST(Injections, VoltageDependentTermsKeepTheirOrderAndKind) {
    PgmData d = three_nodes();
    d.sym_load = {load(20, 2e6, 1e6, 1), load(20, 4e6, 0.0, 2)};
    d.sym_gen = {PgmSymGen{
        .id = 1, .node = 20, .status = 1, .type = 2, .p_specified = 1e6, .q_specified = 0.0}};
    d.asym_gen = {PgmAsymGen{.id = 2,
                             .node = 20,
                             .status = 1,
                             .type = 1,
                             .p_specified = {1e6, 1e6, 1e6},
                             .q_specified = {0.0, 0.0, 0.0}}};
    const auto out = convert(d);
    const Bus& b = out.buses[1];
    EXPECT_EQ(b.p_spec, 0.0);
    EXPECT_EQ(b.q_spec, 0.0);
    // Order of processing: sym_load, sym_gen, asym_load, asym_gen.
    ASSERT_EQ(b.zip.size(), 4u);
    EXPECT_EQ(b.zip[0].kind, static_cast<std::uint8_t>(ZipKind::ConstantImpedance));
    EXPECT_EQ(b.zip[0].s, Complex(-2.0, -1.0));
    EXPECT_EQ(b.zip[1].kind, static_cast<std::uint8_t>(ZipKind::ConstantCurrent));
    EXPECT_EQ(b.zip[1].s, Complex(-4.0, 0.0));
    EXPECT_EQ(b.zip[2].kind, static_cast<std::uint8_t>(ZipKind::ConstantCurrent));
    EXPECT_EQ(b.zip[2].s, Complex(1.0, 0.0));
    EXPECT_EQ(b.zip[3].kind, static_cast<std::uint8_t>(ZipKind::ConstantImpedance));
    EXPECT_EQ(b.zip[3].s, Complex(3.0, 0.0));
}

TEST(Regulators, FirstActiveOneWinsAndUnmatchedOnesAreIgnored) {
    PgmData d = three_nodes();
    d.sym_load = {PgmSymLoad{
        .id = 4, .node = 30, .status = 1, .type = 0, .p_specified = 0.0, .q_specified = 0.0}};
    d.sym_gen = {gen(1, 10, 0.0, 0.0, 0), gen(2, 10, 0.0, 0.0), gen(3, 20, 1e6, 0.0)};
    d.voltage_regulator = {
        // Inactive: changes nothing, although it comes first.
        PgmVoltageRegulator{.id = 9, .regulated_object = 3, .status = 0, .u_ref = 0.9},
        // The generator is out of service; its bus is regulated all the same.
        PgmVoltageRegulator{
            .id = 10, .regulated_object = 1, .status = 1, .u_ref = 1.05, .q_max = 5e5},
        PgmVoltageRegulator{.id = 11,
                            .regulated_object = 2,
                            .status = 1,
                            .u_ref = 0.95,
                            .q_min = -1e6,
                            .q_max = 1e6},
        // Names a load and an id that nothing has.
        PgmVoltageRegulator{.id = 12, .regulated_object = 4, .status = 1, .u_ref = 0.8},
        PgmVoltageRegulator{.id = 13, .regulated_object = 77, .status = 1, .u_ref = 0.8},
        PgmVoltageRegulator{
            .id = 14, .regulated_object = 3, .status = 1, .u_ref = 1.01, .q_min = -2e5}};
    const auto out = convert(d);
    EXPECT_EQ(out.buses[0].bus_type, kPV);
    EXPECT_EQ(out.buses[0].vm, 1.05);
    EXPECT_EQ(out.buses[0].q_min, -kInf);
    EXPECT_EQ(out.buses[0].q_max, 0.5);
    EXPECT_EQ(out.buses[0].p_spec, 0.0);

    EXPECT_EQ(out.buses[1].bus_type, kPV);
    EXPECT_EQ(out.buses[1].vm, 1.01);
    EXPECT_EQ(out.buses[1].q_min, -0.2);
    EXPECT_EQ(out.buses[1].q_max, kInf);
    EXPECT_EQ(out.buses[1].p_spec, 1.0);

    EXPECT_EQ(out.buses[2].bus_type, kPQ);
    EXPECT_EQ(out.buses[2].vm, 1.0);
}

TEST(Regulators, RepeatedGeneratorIdUsesTheLastRecordsNode) {
    PgmData d = three_nodes();
    d.sym_gen = {gen(1, 10, 0.0, 0.0), gen(1, 30, 0.0, 0.0)};
    d.voltage_regulator = {
        PgmVoltageRegulator{.id = 9, .regulated_object = 1, .status = 1, .u_ref = 1.1}};
    const auto out = convert(d);
    EXPECT_EQ(out.buses[0].bus_type, kPQ);
    EXPECT_EQ(out.buses[2].bus_type, kPV);
}

TEST(Lines, StatusPairsAndVoltageBases) {
    // r1 = 2 ohm, x1 = 5 ohm, c1 = 1 uF at 50 Hz; base impedance 100 ohm at 10 kV, 900 at 30 kV.
    struct Case {
        std::uint8_t fs, ts;
        bool appended;
        Line expected;
    };
    const Case cases[] = {
        // From 10 kV to 30 kV: both ends on the from node's base.
        {1, 1, true, {0, 2, 0.02, 0.05, 0.031415926535897934, 0.0}},
        // One end open: the whole charging at the connected bus, on its own base.
        {1, 0, true, {0, 0, 0.0, 0.0, 0.031415926535897934, 0.0}},
        {0, 1, true, {2, 2, 0.0, 0.0, 0.2827433388230814, 0.0}},
        {0, 0, false, {}},
        {2, 1, false, {}},
        {1, 2, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "statuses " << int(c.fs) << "," << int(c.ts));
        PgmData d = three_nodes();
        d.line = {line(10, 30, c.fs, c.ts)};
        const auto out = convert(d);
        ASSERT_EQ(out.lines.size(), c.appended ? 1u : 0u);
        if (!c.appended) continue;
        const Line& l = out.lines[0];
        EXPECT_EQ(l.from, c.expected.from);
        EXPECT_EQ(l.to, c.expected.to);
        EXPECT_DOUBLE_EQ(l.r, c.expected.r);
        EXPECT_DOUBLE_EQ(l.x, c.expected.x);
        EXPECT_DOUBLE_EQ(l.b, c.expected.b);
        EXPECT_EQ(l.g, 0.0);
    }
}

TEST(Shunts, ActiveOnesInPerUnitOfTheirNode) {
    const PgmNode nodes[] = {{30, 30e3}, {10, 10e3}};
    const PgmShunt shunts[] = {
        PgmShunt{.id = 1, .node = 10, .status = 0, .g1 = 5.0, .b1 = 5.0},
        PgmShunt{.id = 2, .node = 10, .status = 1, .g1 = 1e-3, .b1 = 0.0},
        PgmShunt{.id = 3, .node = 30, .status = 2, .g1 = 0.0, .b1 = -9e-3},
        PgmShunt{.id = 4, .node = 12345, .status = 0, .g1 = 0.0, .b1 = 0.0},
    };
    const auto out = pgm_shunts_1ph(nodes, shunts, 1e6);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bus, 0u);
    EXPECT_DOUBLE_EQ(out[0].y.real(), 0.1);
    EXPECT_EQ(out[0].y.imag(), 0.0);
    EXPECT_EQ(out[1].bus, 1u);
    EXPECT_EQ(out[1].y.real(), 0.0);
    EXPECT_DOUBLE_EQ(out[1].y.imag(), -8.1);
}

TEST(Sources, SlackBusesFollowStarBusesAndCarryTheSourceImpedance) {
    PgmData d = three_nodes();
    d.three_winding_transformer = {three_winding(10, 20, 30)};
    d.source = {source(999, 0), source(20, 1, 1.03), source(30, 5, 0.98)};
    d.line = {line(10, 20, 1, 1)};
    const auto out = convert(d);
    ASSERT_EQ(out.buses.size(), 3u + 1u + 2u);
    const Bus& star = out.buses[3];
    EXPECT_EQ(star.index, 3u);
    EXPECT_EQ(star.u_rated, 10e3);
    EXPECT_EQ(star.bus_type, kPQ);

    for (std::size_t k = 0; k < 2; ++k) {
        const Bus& slack = out.buses[4 + k];
        EXPECT_EQ(slack.index, 4 + k);
        EXPECT_EQ(slack.bus_type, kSlack);
        EXPECT_EQ(slack.va, 0.0);
        EXPECT_EQ(slack.p_spec, 0.0);
        EXPECT_TRUE(slack.zip.empty());
    }
    EXPECT_EQ(out.buses[4].vm, 1.03);
    EXPECT_EQ(out.buses[4].u_rated, 20e3);
    EXPECT_EQ(out.buses[5].vm, 0.98);
    EXPECT_EQ(out.buses[5].u_rated, 30e3);
    // The source's own node stays a load bus.
    EXPECT_EQ(out.buses[1].bus_type, kPQ);

    // PGM lines first, then one impedance per active source.
    ASSERT_EQ(out.lines.size(), 3u);
    const double x = 0.001 / std::sqrt(1.01);
    const Line& l = out.lines[1];
    EXPECT_EQ(l.from, 4u);
    EXPECT_EQ(l.to, 1u);
    EXPECT_DOUBLE_EQ(l.x, x);
    EXPECT_DOUBLE_EQ(l.r, 0.1 * x);
    EXPECT_EQ(l.b, 0.0);
    EXPECT_EQ(l.g, 0.0);
    EXPECT_EQ(out.lines[2].from, 5u);
    EXPECT_EQ(out.lines[2].to, 2u);
}

TEST(References, ReportTheFirstProblemWithKindIdFieldAndNode) {
    struct Case {
        const char* what;
        PgmData data;
        const char* message;
    };
    const auto base = three_nodes;
    std::vector<Case> cases;
    {
        PgmData d = base();
        d.node.push_back({20, 1.0});
        d.node.push_back({5, 1.0});
        d.node.push_back({5, 1.0});
        d.node.push_back({5, 1.0});
        d.line = {line(10, 42, 1, 1)};
        cases.push_back({"repeats come first, smallest id", d, "node id 5 appears 3 times"});
    }
    {
        PgmData d = base();
        d.node.push_back({20, 1.0});
        cases.push_back({"one repeat", d, "node id 20 appears twice"});
    }
    {
        PgmData d = base();
        d.line = {line(10, 20, 1, 1), line(42, 20, 1, 1)};
        cases.push_back({"line from", d, "line 7: from_node 42 is not a node id"});
    }
    {
        PgmData d = base();
        d.line = {line(10, 43, 1, 1)};
        cases.push_back({"line to", d, "line 7: to_node 43 is not a node id"});
    }
    {
        PgmData d = base();
        d.line = {line(10, 43, 0, 1)};
        cases.push_back({"open line to", d, "line 7: to_node 43 is not a node id"});
    }
    {
        PgmData d = base();
        d.shunt = {PgmShunt{.id = 3, .node = 8, .status = 1}};
        cases.push_back({"shunt", d, "shunt 3: node 8 is not a node id"});
    }
    {
        PgmData d = base();
        d.source = {PgmSource{.id = 4, .node = 8, .status = 1}};
        cases.push_back({"source", d, "source 4: node 8 is not a node id"});
    }
    {
        PgmData d = base();
        d.transformer = {PgmTransformer{.id = 5, .from_node = 10, .to_node = 8}};
        cases.push_back(
            {"transformer out of service", d, "transformer 5: to_node 8 is not a node id"});
    }
    {
        PgmData d = base();
        d.three_winding_transformer = {three_winding(10, 20, 31)};
        d.three_winding_transformer[0].status_3 = 0;
        cases.push_back(
            {"three-winding", d, "three_winding_transformer 60: node_3 31 is not a node id"});
    }
    {
        PgmData d = base();
        d.sym_gen = {gen(2, 8, 0.0, 0.0, 0)};
        d.voltage_regulator = {PgmVoltageRegulator{.id = 9, .regulated_object = 2, .status = 1}};
        cases.push_back({"regulated generator", d,
                         "voltage_regulator 9: node 8 of sym_gen 2 is not a node id"});
    }
    {
        // Step order: shunts before lines.
        PgmData d = base();
        d.line = {line(10, 42, 1, 1)};
        d.shunt = {PgmShunt{.id = 3, .node = 8, .status = 1}};
        cases.push_back({"order", d, "shunt 3: node 8 is not a node id"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto message = find_reference_error(c.data);
        ASSERT_TRUE(message.has_value());
        EXPECT_EQ(*message, c.message);
    }
}

TEST(References, ThoseThatNeedNotResolveAreIgnored) {
    PgmData d = three_nodes();
    d.sym_load = {load(8, 1e6, 0.0)};
    d.asym_gen = {PgmAsymGen{.id = 2, .node = 8, .status = 1}};
    d.sym_gen = {gen(1, 8, 1e6, 0.0), gen(2, 8, 1e6, 0.0)};
    d.voltage_regulator = {PgmVoltageRegulator{.id = 9, .regulated_object = 1, .status = 0},
                           PgmVoltageRegulator{.id = 10, .regulated_object = 55, .status = 1}};
    d.shunt = {PgmShunt{.id = 3, .node = 8, .status = 0}};
    d.source = {PgmSource{.id = 4, .node = 8, .status = 0}};
    d.line = {line(8, 9, 0, 0), line(10, 9, 1, 0), line(8, 20, 0, 1), line(8, 9, 2, 1),
              line(8, 9, 1, 3)};
    EXPECT_EQ(find_reference_error(d), std::nullopt);
    const auto out = convert(d);
    EXPECT_EQ(out.buses.size(), 3u);
    EXPECT_EQ(out.lines.size(), 2u);
    for (const Bus& b : out.buses) {
        EXPECT_EQ(b.p_spec, 0.0);
        EXPECT_EQ(b.bus_type, kPQ);
    }
}

TEST(References, ConversionStopsInsteadOfGuessing) {
    PgmData d = three_nodes();
    d.node.push_back({10, 1.0});
    EXPECT_THROW(convert(d), Stop);
    PgmData e = three_nodes();
    e.line = {line(10, 42, 1, 1)};
    EXPECT_THROW(convert(e), Stop);
}

}  // namespace
}  // namespace quillmere::pgm
