#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "common/stop.hpp"
#include "network/network.hpp"

namespace quillmere {
namespace {

using C = Complex;
constexpr double kInf = std::numeric_limits<double>::infinity();

// |z| is infinite or NaN whenever a part of z is.
bool finite(C z) {
    return std::isfinite(std::abs(z));
}

// Stamps compared in push order; a non-finite wanted value asks only for a non-finite stamp.
void expect_stamps(const YBus& y, const std::vector<Triplet<C>>& want) {
    ASSERT_EQ(y.entries.size(), want.size());
    for (std::size_t k = 0; k < want.size(); ++k) {
        const Triplet<C>& got = y.entries[k];
        EXPECT_TRUE(got.row == want[k].row && got.col == want[k].col) << "stamp " << k;
        EXPECT_TRUE(finite(want[k].value) ? std::abs(got.value - want[k].value) < 1e-12
                                          : !finite(got.value))
            << "stamp " << k << ": " << got.value;
    }
}

TEST(BuildYbus, LineAndPureShuntStampsInOrder) {
    // 1 / (0.03 + 0.04j) = 12 - 16j and half the charging 0.01 + 0.05j; a line from a bus to
    // itself is a shunt of its g + jb alone.
    const std::vector<Line> lines = {{0, 2, 0.03, 0.04, 0.1, 0.02}, {1, 1, 5.0, 7.0, 0.3, 0.2}};
    expect_stamps(network::build_ybus(3, lines, {}), {{0, 0, C(12.01, -15.95)},
                                                      {2, 2, C(12.01, -15.95)},
                                                      {0, 2, C(-12, 16)},
                                                      {2, 0, C(-12, 16)},
                                                      {1, 1, C(0.2, 0.3)}});
}

// y_s = 2 - 4j, y_m = 0.2 - 0.4j: 1/y_s = 0.1 + 0.2j, 2/y_m = 2 + 4j, so the one-sided admittance
// is y_m/2 + 1/(2.1 + 4.2j) = (0.1 - 0.2j) + (2 - 4j)/21. A tap of 0 makes every from-side stamp
// non-finite, even the zero of a from-only winding.
TEST(BuildYbus, TransformerStatusTable) {
    const C ys(2, -4), ym(0.2, -0.4), tap(0.95, 0.1), z(0, 0), inf(kInf, 0);
    const C one_sided = C(0.1, -0.2) + C(2, -4) / 21.0, full = ys + ym / 2.0;
    const double tt = std::norm(tap);
    struct Case {
        std::uint8_t from_status, to_status;
        C ym, tap, ff, ft, tf, to;
    };
    const Case cases[] = {
        {1, 1, ym, tap, full / tt, -ys / std::conj(tap), -ys / tap, full},
        {1, 0, ym, tap, one_sided / tt, z, z, z},
        {0, 1, ym, tap, z, z, z, one_sided},
        {1, 0, z, tap, z, z, z, z},
        {0, 1, z, tap, z, z, z, z},
        {0, 0, ym, tap, z, z, z, z},
        {2, 1, ym, tap, z, z, z, z},
        {1, 7, ym, tap, z, z, z, z},
        {1, 1, ym, z, inf, inf, inf, full},
        {1, 0, z, z, inf, z, z, z},
    };
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        SCOPED_TRACE(::testing::Message() << "case " << k);
        const std::vector<Transformer> trs = {{ys, c.ym, c.tap, 3, 1, c.from_status, c.to_status}};
        expect_stamps(network::build_ybus(4, {}, trs),
                      {{3, 3, c.ff}, {3, 1, c.ft}, {1, 3, c.tf}, {1, 1, c.to}});
    }
}

TEST(YbusFinish, SumsByPositionKeepsZeroSumsAndStopsOutsideTheMatrix) {
    // Two parallel lines 0-2, a line 2-1, a shunt on 2 and a pair of shunts on 3 that cancel.
    const std::vector<Line> lines = {
        {2, 0, 0.03, 0.04, 0.0, 0.0}, {0, 2, 0.03, 0.04, 0.0, 0.0}, {2, 1, 0.0, 0.5, 0.0, 0.0}};
    YBus raw = network::build_ybus(4, lines, {});
    network::stamp_shunts(
        raw, std::vector<ShuntAdm>{{C(0.1, 0.2), 2}, {C(0.5, 0.5), 3}, {C(-0.5, -0.5), 3}});
    const YBusSparse y = std::move(raw).finish();
    using Row = std::vector<std::pair<std::size_t, C>>;
    EXPECT_EQ(y.rows[0], (Row{{0, C(24, -32)}, {2, C(-24, 32)}}));
    EXPECT_EQ(y.rows[2], (Row{{0, C(-24, 32)}, {1, C(0, 2)}, {2, C(24.1, -33.8)}}));
    EXPECT_EQ(y.rows[3], (Row{{3, C(0, 0)}}));
    EXPECT_EQ(y.matrix.mat.nonZeros(), 8);

    try {
        YBus{{{0, 3, C(1, 0)}}, 3}.finish();
        ADD_FAILURE() << "a column beyond the matrix must stop";
    } catch (const Stop& s) {
        EXPECT_EQ(s.message, "Y-bus triplet set should always form a valid sparse matrix");
    }
    EXPECT_THROW(YBus({{{3, 0, C(1, 0)}}, 3}).finish(), Stop);
    EXPECT_THROW(YBus({{{3, 0, C(1, 0)}}, std::numeric_limits<std::size_t>::max()}).finish(), Stop);
}

TEST(TransformerAdmittances, NameplateValuesAndClamps) {
    // z = 10 ohm, r = 1 ohm, x = sqrt(99) ohm at y_base 0.01 S; g = 2e-5 S, i0 sn / u^2 = 1e-4 S.
    const double x = std::sqrt(99.0), b = std::sqrt(1e-8 - 4e-10) / 0.01;
    struct Case {
        const char* name;
        double u_base, uk, pk, i0, p0;
        C ys, ym;
    };
    const Case cases[] = {
        {"nameplate", 10e3, 0.1, 10e3, 0.01, 2e3, C(1, -x), C(0.002, -b)},
        {"negative uk, other base", 20e3, -0.1, 10e3, 0.01, 2e3, C(4, 4 * x), C(0.008, -4 * b)},
        {"z below r: no reactance", 10e3, 0.01, 20e3, 0.0, 0.0, C(50, 0), C(0, 0)},
        {"i0 below g: no susceptance", 10e3, 0.1, 10e3, 1e-3, 2e4, C(1, -x), C(0.02, 0)},
        {"no impedance", 10e3, 0.0, 0.0, 0.0, 0.0, C(kInf, 0), C(0, 0)},
    };
    for (const Case& c : cases) {
        const auto [ys, ym] =
            network::transformer_admittances_ex(10e3, c.u_base, 1e6, c.uk, c.pk, c.i0, c.p0, 1e6);
        EXPECT_TRUE(finite(c.ys) ? std::abs(ys - c.ys) < 1e-12 : !finite(ys)) << c.name;
        EXPECT_LT(std::abs(ym - c.ym), 1e-15) << c.name;
    }
    // u^2 is formed first: 0.1 * 9 / 0.9 is exactly 1, while (0.1 * 3) * 3 / 0.9 is not.
    EXPECT_EQ(network::transformer_admittances_ex(3, 1, 0.9, 0.1, 0, 0, 0, 1).first, C(0, -1));
}

}  // namespace
}  // namespace quillmere
