// Loading a PGM file: the Y-bus of a network with every branch kind, and each way loading fails.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "pgm/load.hpp"
#include "pgm_convert/temp_files.hpp"

namespace quillmere::pgm {
namespace {

using testing_support::TempDir;

// Nodes 1 (10 kV), 2 and 3 (1 kV), 4 and 5 (0.4 kV) are buses 0..4; the star bus is 5 and the
// source's slack bus 6.
constexpr const char* kAllBranchKinds = R"({"version": "1.0", "data": {
  "node": [{"id": 4, "u_rated": 400}, {"id": 1, "u_rated": 10000}, {"id": 5, "u_rated": 400},
           {"id": 2, "u_rated": 1000}, {"id": 3, "u_rated": 1000}],
  "line": [
    {"id": 10, "from_node": 2, "to_node": 3, "from_status": 1, "to_status": 1,
     "r1": 0.01, "x1": 0.1, "c1": 0, "r0": 0, "x0": 0, "c0": 0},
    {"id": 11, "from_node": 4, "to_node": 5, "from_status": 1, "to_status": 0,
     "r1": 1, "x1": 1, "c1": 1e-6, "r0": 0, "x0": 0, "c0": 0}],
  "source": [{"id": 20, "node": 1, "status": 1, "u_ref": 1.02, "sk": 1e10, "rx_ratio": 0}],
  "shunt": [{"id": 30, "node": 4, "status": 1, "g1": 0, "b1": 0.016, "g0": 0, "b0": 0}],
  "transformer": [{"id": 40, "from_node": 1, "to_node": 2, "from_status": 1, "to_status": 1,
    "u1": 10000, "u2": 1000, "sn": 1e6, "uk": 0.1, "pk": 0, "i0": 0.01, "p0": 0, "clock": 0,
    "tap_side": 0, "tap_pos": 2, "tap_min": -5, "tap_max": 5, "tap_nom": 0, "tap_size": 500}],
  "three_winding_transformer": [{"id": 50, "node_1": 3, "node_2": 4, "node_3": 5,
    "status_1": 1, "status_2": 1, "status_3": 1, "u1": 1000, "u2": 400, "u3": 400,
    "sn_1": 1e6, "sn_2": 1e6, "sn_3": 1e6, "uk_12": 0.1, "uk_13": 0.12, "uk_23": 0.14,
    "pk_12": 0, "pk_13": 0, "pk_23": 0, "i0": 0, "p0": 0, "clock_12": 12, "clock_13": 1,
    "tap_side": 0, "tap_pos": 0, "tap_min": -5, "tap_max": 5, "tap_nom": 0, "tap_size": 10}]
}})";

TEST(LoadYBus, NetworkWithEveryBranchKindMatchesHandComputedEntries) {
    TempDir dir;
    const auto result = load_network(dir.write("net.json", kAllBranchKinds), 1e6, 50.0);
    ASSERT_TRUE(std::holds_alternative<LoadedNetwork>(result))
        << std::get<LoadError>(result).message;
    const LoadedNetwork& net = std::get<LoadedNetwork>(result);
    ASSERT_EQ(net.buses.size(), 7u);
    EXPECT_EQ(net.buses[6].bus_type, static_cast<std::uint8_t>(BusType::Slack));
    EXPECT_EQ(net.buses[6].vm, 1.02);
    EXPECT_EQ(net.buses[5].u_rated, 1000.0);

    // Line 2-3: y = 1 / (0.01 + j0.1). Transformer 1-2: y_s = -j10, y_m = -j0.01, tap 1.1.
    // Three-winding legs -j25, -j16.67, -j12.5; leg 3 turned by e^(-j pi/6). Source -j1e4.
    // Open line end at node 4: j 0.16 * 100 pi * 1e-6; shunt at node 4: j 0.016 / 6.25.
    const double yr = 0.01 / 0.0101, yi = -0.1 / 0.0101;
    const double c30 = std::sqrt(3.0) / 2.0;
    const double charging = 0.16 * (100.0 * 3.141592653589793 * 1e-6);
    const std::vector<std::tuple<std::size_t, std::size_t, Complex>> expected = {
        {0, 0, {0.0, -10000.0 - 10.005 / 1.21}},
        {0, 1, {0.0, 10.0 / 1.1}},
        {0, 6, {0.0, 10000.0}},
        {1, 0, {0.0, 10.0 / 1.1}},
        {1, 1, {yr, yi - 10.005}},
        {1, 2, {-yr, -yi}},
        {2, 1, {-yr, -yi}},
        {2, 2, {yr, yi - 25.0}},
        {2, 5, {0.0, 25.0}},
        {3, 3, {0.0, -50.0 / 3.0 + charging + 0.00256}},
        {3, 5, {0.0, 50.0 / 3.0}},
        {4, 4, {0.0, -12.5}},
        {4, 5, {6.25, 12.5 * c30}},
        {5, 2, {0.0, 25.0}},
        {5, 3, {0.0, 50.0 / 3.0}},
        {5, 4, {-6.25, 12.5 * c30}},
        {5, 5, {0.0, -25.0 - 50.0 / 3.0 - 12.5}},
        {6, 0, {0.0, 10000.0}},
        {6, 6, {0.0, -10000.0}},
    };
    ASSERT_EQ(net.ybus.n, 7u);
    ASSERT_EQ(net.ybus.rows.size(), 7u);
    std::size_t k = 0;
    for (std::size_t i = 0; i < 7; ++i) {
        for (const auto& [col, value] : net.ybus.rows[i]) {
            ASSERT_LT(k, expected.size());
            const auto& [er, ec, ev] = expected[k++];
            SCOPED_TRACE(testing::Message() << "(" << er << ", " << ec << ")");
            EXPECT_EQ(i, er);
            EXPECT_EQ(col, ec);
            const double tol = 1e-12 * std::max(1.0, std::abs(ev));
            EXPECT_NEAR(value.real(), ev.real(), tol);
            EXPECT_NEAR(value.imag(), ev.imag(), tol);
            EXPECT_EQ(net.ybus.matrix.mat.coeff(static_cast<Eigen::Index>(i),
                                                static_cast<Eigen::Index>(col)),
                      value);
        }
    }
    EXPECT_EQ(k, expected.size());
    EXPECT_EQ(static_cast<std::size_t>(net.ybus.matrix.mat.nonZeros()), expected.size());
}

struct Failure {
    std::string path;
    LoadError::Kind kind;
    std::string message;
};

TEST(LoadFailures, EachFailureHasItsKindAndMessage) {
    TempDir dir;
    const std::string dirname = dir.path().string(), absent = dirname + "/absent.json";
    const std::string empty = dir.write("empty.json", R"({"data": {"node": [], "source": []}})");
    int files = 0;
    const auto write = [&](const char* data) {
        return dir.write(std::to_string(++files) + ".json",
                         std::string(R"({"data": {)") + data + "}}");
    };
    const std::string latin1 = write("\"node\": [], \"source\": [], \"n\": \"caf\xe9\"");
    const std::string bad = write(R"("node": [])");
    const std::string twice = write(R"("node": [[5, 1], [5, 2]], "source": [])");
    const std::string dangling = write(R"("node": [[1, 1]], "source": [[3, 2, 1, 1, 1, 0]])");
    using enum LoadError::Kind;
    const Failure cases[] = {
        {absent, Read, "reading " + absent + ": No such file or directory"},
        {dirname, Read, "reading " + dirname + ": Is a directory"},
        {latin1, Read, "reading " + latin1 + ": contents are not valid UTF-8"},
        // Everything after an embedded NUL would otherwise be dropped and another file read.
        {empty + '\0' + "x", Read, "reading " + empty + '\0' + "x: path contains a NUL byte"},
        {bad, Parse, "parsing " + bad + " as PGM JSON: missing field `source` at line 1 column 21"},
        {twice, Reference, "node id 5 appears twice"},
        {dangling, Reference, "source 3: node 2 is not a node id"},
    };
    for (const Failure& c : cases) {
        const auto result = load_network(c.path, 1e6, 50.0);
        ASSERT_TRUE(std::holds_alternative<LoadError>(result)) << c.message;
        EXPECT_EQ(std::get<LoadError>(result).kind, c.kind) << c.message;
        EXPECT_EQ(std::get<LoadError>(result).message, c.message);
    }
    // The empty network itself loads.
    const auto result = load_network(empty, 1e6, 50.0);
    ASSERT_TRUE(std::holds_alternative<LoadedNetwork>(result));
    EXPECT_EQ(std::get<LoadedNetwork>(result).ybus.n, 0u);
}

}  // namespace
}  // namespace quillmere::pgm
