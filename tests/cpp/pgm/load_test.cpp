// Loading a PGM file: the Y-bus of a network with every branch kind, and each way loading fails.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "pgm/load.hpp"
#include "support/temp_files.hpp"

namespace quillmere::pgm {
namespace {

using test_support::TempDir;

// Nodes 1 (10 kV), 2 and 3 (1 kV), 4 and 5 (0.4 kV) are buses 0..4; the star bus is 5 and the
// source's slack bus 6. Line 4-5 is open at node 5; any shunt status but 0 is in service.
constexpr const char* kAllBranchKinds = R"({"version": "1.0", "data": {
  "node": [[4, 400], [1, 10000], [5, 400], [2, 1000], [3, 1000]],
  "line": [[10, 2, 3, 1, 1, 0.01, 0.1, 0, 0, 0, 0], [11, 4, 5, 1, 0, 1, 1, 1e-6, 0, 0, 0]],
  "source": [[20, 1, 1, 1.02, 1e10, 0]],
  "shunt": [[30, 4, 2, 0, 0.016, 0, 0], [31, 5, 0, 0, 9.0, 0, 0]],
  "transformer": [[40, 1, 2, 1, 1, 10000, 1000, 1e6, 0.1, 0, 0.01, 0, 0, 0, 0, 0, 2, -5, 5, 0,
    500]],
  "three_winding_transformer": [[50, 3, 4, 5, 1, 1, 1, 1000, 400, 400, 1e6, 1e6, 1e6, 0.1, 0.12,
    0.14, 0, 0, 0, 0, 0, 12, 1, 0, 0, -5, 5, 0, 10]]
}})";

TEST(LoadYBus, NetworkWithEveryBranchKindMatchesHandComputedEntries) {
    TempDir dir;
    const auto result = load_network(dir.write("net.json", kAllBranchKinds), 1e6, 50.0);
    ASSERT_TRUE(std::holds_alternative<LoadedNetwork>(result))
        << std::get<LoadError>(result).message;
    const LoadedNetwork& net = std::get<LoadedNetwork>(result);
    ASSERT_EQ(net.buses.size(), 7u);

    // Line 2-3: y = 1 / (0.01 + j0.1). Transformer 1-2: y_s = -j10, y_m = -j0.01, tap 1.1.
    // Three-winding legs -j25, -j16.67, -j12.5; leg 3 turned by e^(-j pi/6). Source -j1e4.
    // Open line end at node 4: j 0.16 * 100 pi * 1e-6; shunt at node 4: j 0.016 / 6.25.
    const double yr = 0.01 / 0.0101, yi = -0.1 / 0.0101, c30 = std::sqrt(3.0) / 2.0;
    const double charging = 0.16 * (100.0 * 3.141592653589793 * 1e-6);
    using Entry = std::tuple<std::size_t, std::size_t, Complex>;
    const std::vector<Entry> expected = {{0, 0, {0.0, -10000.0 - 10.005 / 1.21}},
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
                                         {6, 6, {0.0, -10000.0}}};
    ASSERT_EQ(net.ybus.n, 7u);
    std::size_t k = 0;
    for (std::size_t i = 0; i < net.ybus.rows.size(); ++i) {
        for (const auto& [j, y] : net.ybus.rows[i]) {
            ASSERT_LT(k, expected.size());
            const auto& [ei, ej, ey] = expected[k++];
            EXPECT_EQ(std::tuple(i, j), std::tuple(ei, ej));
            EXPECT_NEAR(std::abs(y - ey), 0.0, 1e-12 * std::max(1.0, std::abs(ey)))
                << i << "," << j;
            EXPECT_EQ(net.ybus.matrix.mat.coeff(Eigen::Index(i), Eigen::Index(j)), y);
        }
    }
    EXPECT_EQ(k, expected.size());
    EXPECT_EQ(std::size_t(net.ybus.matrix.mat.nonZeros()), k);
}

TEST(LoadFailures, EachFailureHasItsKindAndMessage) {
    TempDir dir;
    const std::string dirname = dir.path.string(), absent = dirname + "/absent.json";
    const std::string empty = dir.write("empty.json", R"({"data": {"node": [], "source": []}})");
    const std::string latin1 =
        dir.write("latin1.json", "{\"data\": {\"node\": [], \"source\": [], \"n\": \"caf\xe9\"}}");
    const std::string bad = dir.write("bad.json", R"({"data": {"node": []}})");
    const std::string dangling = dir.write(
        "dangling.json", R"({"data": {"node": [[1, 1]], "source": [[3, 2, 1, 1, 1, 0]]}})");
    using enum LoadError::Kind;
    const std::tuple<std::string, LoadError::Kind, std::string> cases[] = {
        {absent, Read, "reading " + absent + ": No such file or directory"},
        {dirname, Read, "reading " + dirname + ": Is a directory"},
        {latin1, Read, "reading " + latin1 + ": contents are not valid UTF-8"},
        // Everything after an embedded NUL would otherwise be dropped and another file read.
        {empty + '\0' + "x", Read, "reading " + empty + '\0' + "x: path contains a NUL byte"},
        {bad, Parse, "parsing " + bad + " as PGM JSON: missing field `source` at line 1 column 21"},
        {dangling, Reference, "source 3: node 2 is not a node id"},
    };
    for (const auto& [path, kind, message] : cases) {
        const auto result = load_network(path, 1e6, 50.0);
        ASSERT_TRUE(std::holds_alternative<LoadError>(result)) << message;
        EXPECT_EQ(std::tuple(std::get<LoadError>(result).kind, std::get<LoadError>(result).message),
                  std::tuple(kind, message));
    }
    EXPECT_EQ(std::get<LoadedNetwork>(load_network(empty, 1e6, 50.0)).ybus.n, 0u);
}

// A device without end interrupts none of its reads, so the question is asked after every chunk
// too: reading goes on while it answers false and ends when it answers true.
TEST(LoadFailures, AnEndlessDeviceIsReadUntilTheInterruptionAnswersTrue) {
    struct Asks {
        mutable int count = 0;
    } asks;
    const Interruption third{
        [](const void* context) { return ++static_cast<const Asks*>(context)->count == 3; }, &asks};
    const auto result = load_network("/dev/zero", 1e6, 50.0, third);
    ASSERT_TRUE(std::holds_alternative<LoadError>(result));
    EXPECT_EQ(
        std::tuple(std::get<LoadError>(result).kind, std::get<LoadError>(result).message),
        std::tuple(LoadError::Kind::Interrupted, std::string("reading /dev/zero: interrupted")));
    EXPECT_EQ(asks.count, 3);
}

}  // namespace
}  // namespace quillmere::pgm
