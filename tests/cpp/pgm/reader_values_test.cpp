// Values and defaults read from valid documents, in both record forms.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>

#include "pgm/reader.hpp"
#include "pgm/sample_document.hpp"

namespace {

using namespace quillmere::pgm;

PgmData read_ok(const std::string& text) {
    auto result = parse_pgm_json(text);
    if (result.index() == 0) return std::get<PgmInput>(std::move(result)).data;
    ADD_FAILURE() << std::get<std::string>(result) << "\nin: " << text;
    return {};
}

// The sample network with every record, the document and `data` in array form.
const std::string kArrayForm = R"([[
  [[1, 10500.0], [18446744073709551615, 400]], [[3, 1, 2, 1, 0, 0.25, 0.5, 1e-9, 0.75, 1.5, 2e-9]],
  [[4, 1, 1, 1.05, 1e10, 0.1, 3.0], [13, 2, 1, 1, 2, 3]], [[5, 2, 1, 2, 1000, -200.5]],
  [[6, 2, 0, 1, [1, 2, 3], [-1, -0.3, 3e2]]],
  [[7, 2, 1, 255, -0.0, 12345678901234567890], [14, 2, 1, 0, 4, 5]],
  [[8, 1, 1, 0, [0.1, 0.2, 0.3], [4, 5, 6]]], [[9, 2, 1, 0.01, -0.02, 0.03, 0.04]],
  [[10, 1, 2, 1, 1, 10500, 400, 630000, 0.04, 5000, 0.01, 1000, 0, 0, -11, 0, -3, -2147483648,
    2147483647, 0, 250]],
  [[11, 1, 2, 1, 1, 1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 5, -7, 2, 1, -5, 5, 2,
    15]],
  [[12, 7, 1, 1.02, -5e5, 5e5]]
]])";

TEST(PgmReaderValues, BothFormsYieldEveryFieldAndTheDefaults) {
    const PgmData d = read_ok(kSampleDocument);
    EXPECT_EQ(read_ok(kArrayForm), d);
    // Values both forms could get wrong alike: integer and float bounds, the sign of zero.
    EXPECT_EQ(d.node.at(1), (PgmNode{18446744073709551615u, 400.0}));
    EXPECT_EQ(d.asym_load.at(0), (PgmAsymLoad{6, 2, 0, 1, {1, 2, 3}, {-1.0, -0.3, 300.0}}));
    EXPECT_EQ(d.sym_gen.at(0), (PgmSymGen{7, 2, 1, 255, -0.0, 12345678901234567890.0}));
    EXPECT_TRUE(std::signbit(d.sym_gen[0].p_specified));
    EXPECT_EQ(d.transformer.at(0),
              (PgmTransformer{10,   1, 2, 1,   1, 10500, 400,       630000,    0.04, 5000, 0.01,
                              1000, 0, 0, -11, 0, -3,    INT32_MIN, INT32_MAX, 0,    250}));
    EXPECT_EQ(d.voltage_regulator.at(0), (PgmVoltageRegulator{12, 7, 1, 1.02, -5e5, 5e5}));
    EXPECT_EQ(std::pair(d.source.at(1).z01_ratio, d.sym_gen.at(1).type),
              std::pair(1.0, std::uint8_t{0}));
    // Unknown regulator limits stay NaN, which compares unequal to itself.
    const PgmData r = read_ok(R"({"data": {"node": [], "source": [], "voltage_regulator": [
        {"id": 1, "regulated_object": 1, "status": 1, "u_ref": 1}, [1, 1, 1, 1]]}})");
    ASSERT_EQ(r.voltage_regulator.size(), 2u);
    for (const auto& g : r.voltage_regulator)
        EXPECT_TRUE(std::isnan(g.q_min) && std::isnan(g.q_max));
}

// Documents that must read as the same records as a plainer one.
TEST(PgmReaderValues, EquivalentDocuments) {
    const auto nodes = [](const std::string& list) {
        return R"({"data":{"node":[)" + list + R"(],"source":[]}})";
    };
    const std::string empty = nodes(""), one_node = nodes("[1,2]");
    const std::pair<std::string, std::string> cases[] = {
        {"\r\n\t {\"data\"\t:\r\n[ [ ] ,\n[ ] , [ ] ] } \n\n", empty},
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
    EXPECT_TRUE(std::signbit(read_ok(nodes("[1,-1e-400]")).node.at(0).u_rated));
}

}  // namespace
