// Values and defaults read from valid documents, in both record forms.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <variant>

#include "pgm/reader.hpp"

namespace {

using namespace quillmere::pgm;

PgmInput read_ok(const std::string& text) {
    auto result = parse_pgm_json(text);
    if (auto* message = std::get_if<std::string>(&result)) {
        ADD_FAILURE() << *message << "\nin: " << text;
        return {};
    }
    return std::get<PgmInput>(std::move(result));
}

// One record of every kind, every field away from its default.
const std::string kObjectForm = R"({"data": {
  "node": [{"id": 1, "u_rated": 10500.0}, {"u_rated": 400, "id": 18446744073709551615}],
  "line": [{"id": 3, "from_node": 1, "to_node": 2, "from_status": 1, "to_status": 0, "r1": 0.25,
    "x1": 0.5, "c1": 1e-9, "r0": 0.75, "x0": 1.5, "c0": 2e-9}],
  "source": [{"id": 4, "node": 1, "status": 1, "u_ref": 1.05, "sk": 1e10, "rx_ratio": 0.1,
    "z01_ratio": 3.0}],
  "sym_load": [{"id": 5, "node": 2, "status": 1, "type": 2, "p_specified": 1000,
    "q_specified": -200.5}],
  "asym_load": [{"id": 6, "node": 2, "status": 0, "type": 1, "p_specified": [1, 2, 3],
    "q_specified": [-1, -2.5, 3e2]}],
  "sym_gen": [{"id": 7, "node": 2, "status": 1, "type": 255, "p_specified": -0.0,
    "q_specified": 12345678901234567890}],
  "asym_gen": [{"id": 8, "node": 1, "status": 1, "type": 0, "p_specified": [0.1, 0.2, 0.3],
    "q_specified": [4, 5, 6]}],
  "shunt": [{"id": 9, "node": 2, "status": 1, "g1": 0.01, "b1": -0.02, "g0": 0.03, "b0": 0.04}],
  "transformer": [{"id": 10, "from_node": 1, "to_node": 2, "from_status": 1, "to_status": 1,
    "u1": 10500, "u2": 400, "sn": 630000, "uk": 0.04, "pk": 5000, "i0": 0.01, "p0": 1000,
    "winding_from": 2, "winding_to": 1, "clock": -11, "tap_side": 0, "tap_pos": -3,
    "tap_min": -2147483648, "tap_max": 2147483647, "tap_nom": 0, "tap_size": 250}],
  "three_winding_transformer": [{"id": 11, "node_1": 1, "node_2": 2, "node_3": 1, "status_1": 1,
    "status_2": 1, "status_3": 0, "u1": 1, "u2": 2, "u3": 3, "sn_1": 4, "sn_2": 5, "sn_3": 6,
    "uk_12": 7, "uk_13": 8, "uk_23": 9, "pk_12": 10, "pk_13": 11, "pk_23": 12, "i0": 13, "p0": 14,
    "clock_12": 5, "clock_13": -7, "tap_side": 2, "tap_pos": 1, "tap_min": -5, "tap_max": 5,
    "tap_nom": 2, "tap_size": 15}],
  "voltage_regulator": [{"id": 12, "regulated_object": 7, "status": 1, "u_ref": 1.02, "q_min": -5e5,
    "q_max": 5e5}]
}})";

// The same network with every record, the document and `data` in array form.
const std::string kArrayForm = R"([[
  [[1, 10500.0], [18446744073709551615, 400]], [[3, 1, 2, 1, 0, 0.25, 0.5, 1e-9, 0.75, 1.5, 2e-9]],
  [[4, 1, 1, 1.05, 1e10, 0.1, 3.0]], [[5, 2, 1, 2, 1000, -200.5]],
  [[6, 2, 0, 1, [1, 2, 3], [-1, -2.5, 3e2]]], [[7, 2, 1, 255, -0.0, 12345678901234567890]],
  [[8, 1, 1, 0, [0.1, 0.2, 0.3], [4, 5, 6]]], [[9, 2, 1, 0.01, -0.02, 0.03, 0.04]],
  [[10, 1, 2, 1, 1, 10500, 400, 630000, 0.04, 5000, 0.01, 1000, 2, 1, -11, 0, -3, -2147483648,
    2147483647, 0, 250]],
  [[11, 1, 2, 1, 1, 1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 5, -7, 2, 1, -5, 5, 2,
    15]],
  [[12, 7, 1, 1.02, -5e5, 5e5]]
]])";

TEST(PgmReaderValues, BothFormsYieldEveryField) {
    const PgmData d = read_ok(kObjectForm).data;
    EXPECT_EQ(read_ok(kArrayForm).data, d);
    ASSERT_EQ(d.node.size(), 2u);
    EXPECT_EQ(d.node[1], (PgmNode{18446744073709551615u, 400.0}));
    EXPECT_EQ(d.line.at(0), (PgmLine{3, 1, 2, 1, 0, 0.25, 0.5, 1e-9, 0.75, 1.5, 2e-9}));
    EXPECT_EQ(d.source.at(0), (PgmSource{4, 1, 1, 1.05, 1e10, 0.1, 3.0}));
    EXPECT_EQ(d.sym_load.at(0), (PgmSymLoad{5, 2, 1, 2, 1000.0, -200.5}));
    EXPECT_EQ(d.asym_load.at(0), (PgmAsymLoad{6, 2, 0, 1, {1, 2, 3}, {-1.0, -2.5, 300.0}}));
    EXPECT_EQ(d.sym_gen.at(0), (PgmSymGen{7, 2, 1, 255, -0.0, 12345678901234567890.0}));
    EXPECT_TRUE(std::signbit(d.sym_gen[0].p_specified));
    EXPECT_EQ(d.shunt.at(0), (PgmShunt{9, 2, 1, 0.01, -0.02, 0.03, 0.04}));
    EXPECT_EQ(d.transformer.at(0),
              (PgmTransformer{10,   1, 2, 1,   1, 10500, 400,       630000,    0.04, 5000, 0.01,
                              1000, 2, 1, -11, 0, -3,    INT32_MIN, INT32_MAX, 0,    250}));
    EXPECT_EQ(d.three_winding_transformer.at(0),
              (PgmThreeWindingTransformer{11, 1,  2,  1,  1,  1,  0, 1,  2, 3, 4,  5, 6, 7, 8,
                                          9,  10, 11, 12, 13, 14, 5, -7, 2, 1, -5, 5, 2, 15}));
    EXPECT_EQ(d.voltage_regulator.at(0), (PgmVoltageRegulator{12, 7, 1, 1.02, -5e5, 5e5}));
}

TEST(PgmReaderValues, DefaultsInBothForms) {
    // Records with their optional fields left out; a source and a regulator in both forms.
    const PgmData d = read_ok(R"({"data": {"node": [], "source": [
        {"id": 1, "node": 2, "status": 1, "u_ref": 1, "sk": 2, "rx_ratio": 3}, [1, 2, 1, 1, 2, 3]],
      "sym_gen": [{"id": 1, "node": 2, "status": 1, "p_specified": 4, "q_specified": 5}],
      "transformer": [{"id": 1, "from_node": 1, "to_node": 2, "from_status": 1, "to_status": 1,
        "u1": 1, "u2": 1, "sn": 1, "uk": 1, "pk": 1, "i0": 1, "p0": 1, "clock": 0, "tap_side": 0,
        "tap_pos": 0, "tap_min": 0, "tap_max": 0, "tap_nom": 0, "tap_size": 0}],
      "voltage_regulator": [{"id": 1, "regulated_object": 1, "status": 1, "u_ref": 1}, [1, 1, 1, 1]]
    }})")
                          .data;
    ASSERT_EQ(d.source.size() + d.voltage_regulator.size(), 4u);
    for (const PgmSource& source : d.source) EXPECT_EQ(source, (PgmSource{1, 2, 1, 1, 2, 3, 1.0}));
    for (const PgmVoltageRegulator& r : d.voltage_regulator) {
        EXPECT_TRUE(std::isnan(r.q_min) && std::isnan(r.q_max));
    }
    EXPECT_EQ(d.sym_gen.at(0), (PgmSymGen{1, 2, 1, 0, 4.0, 5.0}));
    EXPECT_EQ(std::tuple(d.transformer.at(0).winding_from, d.transformer[0].winding_to),
              std::tuple(0, 0));
    EXPECT_TRUE(d.line.empty() && d.asym_load.empty() && d.three_winding_transformer.empty());
}

// Documents that must read as the same records as a plainer one.
TEST(PgmReaderValues, EquivalentDocuments) {
    const auto nodes = [](const std::string& list) {
        return R"({"data":{"node":[)" + list + R"(],"source":[]}})";
    };
    const std::string empty = nodes(""), one_node = nodes("[1,2]");
    const std::pair<std::string, std::string> cases[] = {
        {R"({"data":[[],[],[]]})", empty},
        {"[[[],[],[]]]", empty},
        {"\r\n\t {\"data\"\t:\r\n[ [ ] ,\n[ ] , [ ] ] } \n\n", empty},
        // The document, `data`, the list and the record around the value take four levels.
        {nodes(R"({"id":1,"u_rated":2,"x":)" + std::string(123, '[') + std::string(123, ']') + "}"),
         one_node},
        {R"( {"x": 1, "data": {"ID": [{"a": [null, true, false, "\"\u00e9", "\ud800 lone"]}],
            "node": [{"u_rated": 2, "n": {}, "n": [], "\u0069d": 1, "type": -0.0e-5}],
            "lines": null, "source": [], "x": {"y": {"z": [1.5e300, -0, 0.0E+0]}}}, "x": ""} )",
         one_node},
        // Forms mix freely; records keep file order, duplicates and all.
        {nodes(R"([3,1],{"id":1,"u_rated":2},[3,1])"), nodes("[3,1],[1,2],[3,1]")},
        // Floats take the nearest double.
        {nodes("[1,1e-400]"), nodes("[1,0]")},
        {nodes("[1,9007199254740993]"), nodes("[1,9007199254740992.0]")},
        {nodes("[1,123456789012345678901234567890]"), nodes("[1,1.2345678901234568e29]")},
        {nodes("[1,-0.1E+1]"), nodes("[1,-1.0]")},
    };
    for (const auto& [text, plain] : cases) EXPECT_EQ(read_ok(text), read_ok(plain)) << text;
    EXPECT_EQ(read_ok(cases[5].first).data.node.size(), 3u);
    EXPECT_TRUE(std::signbit(read_ok(nodes("[1,-1e-400]")).data.node.at(0).u_rated));
}

}  // namespace
