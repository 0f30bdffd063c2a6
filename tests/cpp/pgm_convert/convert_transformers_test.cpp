// Two- and three-winding transformers of the PGM conversion: taps, phase shifts, star buses and
// the per-unit data handed to the nameplate conversion.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "pgm/convert.hpp"

namespace quillmere::pgm {
namespace {

constexpr double kPi = 3.141592653589793;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Nodes 1 (10 kV), 2 (0.42 kV), 3 (0.4 kV): buses 0, 1, 2.
PgmData nodes() {
    PgmData d;
    d.node = {{3, 400.0}, {1, 10e3}, {2, 420.0}};
    return d;
}

PgmTransformer two_winding() {
    return PgmTransformer{.id = 1,
                          .from_node = 1,
                          .to_node = 2,
                          .from_status = 1,
                          .to_status = 1,
                          .u1 = 10e3,
                          .u2 = 400.0,
                          .sn = 1e6,
                          .uk = 0.1,
                          .pk = 0.0,
                          .i0 = 0.0,
                          .p0 = 0.0,
                          .clock = 0,
                          .tap_side = 0,
                          .tap_pos = 0,
                          .tap_min = -10,
                          .tap_max = 10,
                          .tap_nom = 0,
                          .tap_size = 250.0};
}

PgmThreeWindingTransformer three_winding() {
    return PgmThreeWindingTransformer{.id = 2,
                                      .node_1 = 1,
                                      .node_2 = 2,
                                      .node_3 = 3,
                                      .status_1 = 1,
                                      .status_2 = 1,
                                      .status_3 = 1,
                                      .u1 = 10e3,
                                      .u2 = 420.0,
                                      .u3 = 400.0,
                                      .sn_1 = 1e6,
                                      .sn_2 = 1e6,
                                      .sn_3 = 1e6,
                                      .uk_12 = 0.1,
                                      .uk_13 = 0.12,
                                      .uk_23 = 0.14,
                                      .pk_12 = 0.0,
                                      .pk_13 = 0.0,
                                      .pk_23 = 0.0,
                                      .i0 = 0.0,
                                      .p0 = 0.0,
                                      .clock_12 = 12,
                                      .clock_13 = 12,
                                      .tap_side = 0,
                                      .tap_pos = 0,
                                      .tap_min = -10,
                                      .tap_max = 10,
                                      .tap_nom = 0,
                                      .tap_size = 100.0};
}

BusesAndBranches convert_two(const PgmTransformer& t) {
    PgmData d = nodes();
    d.transformer = {t};
    return pgm_to_buses_and_branches(d, 1e6, 50.0);
}

BusesAndBranches convert_three(const PgmThreeWindingTransformer& t) {
    PgmData d = nodes();
    d.three_winding_transformer = {t};
    return pgm_to_buses_and_branches(d, 1e6, 50.0);
}

TEST(TwoWinding, TapRatioClampingAndTapSide) {
    struct Case {
        const char* what;
        std::uint8_t side;
        std::int32_t pos, lo, hi;
        double size;
        double ratio;
    };
    const Case cases[] = {
        {"side 0", 0, 2, -10, 10, 250.0, 1.05},
        {"above the range", 0, 12, -10, 10, 250.0, 1.25},
        {"above reversed bounds", 0, 12, 10, -10, 250.0, 1.25},
        {"below the range", 0, -12, -10, 10, 250.0, 0.75},
        {"below reversed bounds", 0, -12, 10, -10, 250.0, 0.75},
        {"side 1", 1, 2, -10, 10, 10.0, 400.0 / 420.0},
        {"any other side acts like 1", 7, 2, -10, 10, 10.0, 400.0 / 420.0},
        {"empty range", 0, 5, 0, 0, 250.0, 1.0},
        {"extreme integers", 0, INT32_MAX, INT32_MIN, INT32_MAX, 1e-6,
         (10e3 + 1e-6 * 2147483647.0) / 10e3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PgmTransformer t = two_winding();
        t.tap_side = c.side;
        t.tap_pos = c.pos;
        t.tap_min = c.lo;
        t.tap_max = c.hi;
        t.tap_size = c.size;
        const auto out = convert_two(t);
        ASSERT_EQ(out.transformers.size(), 1u);
        EXPECT_DOUBLE_EQ(out.transformers[0].tap.real(), c.ratio);
        EXPECT_EQ(out.transformers[0].tap.imag(), 0.0);
    }
}

TEST(TwoWinding, TapDifferenceDoesNotWrapAround) {
    // tap_pos - tap_nom exceeds the 32-bit range; the exact difference is used.
    PgmTransformer t = two_winding();
    t.tap_min = INT32_MIN;
    t.tap_max = INT32_MAX;
    t.tap_pos = INT32_MAX;
    t.tap_nom = -1;
    t.tap_size = 1e-6;
    const auto out = convert_two(t);
    EXPECT_DOUBLE_EQ(out.transformers[0].tap.real(), (10e3 + 1e-6 * 2147483648.0) / 10e3);
}

TEST(TwoWinding, ClockTurnsTheTap) {
    PgmTransformer t = two_winding();
    t.tap_pos = 2;
    t.clock = 11;
    const Complex tap = convert_two(t).transformers[0].tap;
    EXPECT_DOUBLE_EQ(tap.real(), 1.05 * std::cos(11.0 * kPi / 6.0));
    EXPECT_DOUBLE_EQ(tap.imag(), 1.05 * std::sin(11.0 * kPi / 6.0));
    EXPECT_LT(tap.imag(), 0.0);
}

TEST(TwoWinding, PerUnitOnItsOwnSecondaryVoltage) {
    // u2 = 400 V while the to node is rated 420 V: uk = 0.1 on sn = s_base gives x = 0.1 pu.
    PgmTransformer t = two_winding();
    t.i0 = 0.01;
    const auto out = convert_two(t);
    const Transformer& tr = out.transformers[0];
    EXPECT_NEAR(tr.y_series.real(), 0.0, 1e-12);
    EXPECT_NEAR(tr.y_series.imag(), -10.0, 1e-12);
    EXPECT_NEAR(tr.y_mag.imag(), -0.01, 1e-15);
    EXPECT_EQ(tr.from, 0u);
    EXPECT_EQ(tr.to, 1u);
}

TEST(TwoWinding, EveryRecordIsKeptWithItsStatuses) {
    PgmData d = nodes();
    d.transformer = {two_winding(), two_winding()};
    d.transformer[0].from_status = 0;
    d.transformer[0].to_status = 0;
    d.transformer[1].from_node = 3;
    d.transformer[1].to_status = 9;
    const auto out = pgm_to_buses_and_branches(d, 1e6, 50.0);
    ASSERT_EQ(out.transformers.size(), 2u);
    EXPECT_EQ(out.transformers[0].from_status, 0);
    EXPECT_EQ(out.transformers[0].to_status, 0);
    EXPECT_EQ(out.transformers[1].from, 2u);
    EXPECT_EQ(out.transformers[1].to_status, 9);
    EXPECT_EQ(out.buses.size(), 3u);
}

TEST(ThreeWinding, StarBusAndLegOrder) {
    PgmData d = nodes();
    d.transformer = {two_winding()};
    d.three_winding_transformer = {three_winding(), three_winding()};
    d.three_winding_transformer[0].status_1 = 0;
    d.three_winding_transformer[1].node_1 = 3;
    d.three_winding_transformer[1].node_3 = 1;
    const auto out = pgm_to_buses_and_branches(d, 1e6, 50.0);
    ASSERT_EQ(out.buses.size(), 5u);
    for (std::size_t i = 0; i < 2; ++i) {
        const Bus& star = out.buses[3 + i];
        EXPECT_EQ(star.index, 3 + i);
        EXPECT_EQ(star.vm, 1.0);
        EXPECT_EQ(star.p_spec, 0.0);
        EXPECT_EQ(star.bus_type, static_cast<std::uint8_t>(BusType::PQ));
    }
    EXPECT_EQ(out.buses[3].u_rated, 10e3);
    EXPECT_EQ(out.buses[4].u_rated, 400.0);

    // Two-winding records first, then three per three-winding transformer.
    ASSERT_EQ(out.transformers.size(), 7u);
    const std::size_t from[] = {0, 0, 1, 2, 2, 1, 0};
    const std::size_t to[] = {1, 3, 3, 3, 4, 4, 4};
    const std::uint8_t from_status[] = {1, 0, 1, 1, 1, 1, 1};
    for (std::size_t k = 0; k < 7; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(out.transformers[k].from, from[k]);
        EXPECT_EQ(out.transformers[k].to, to[k]);
        EXPECT_EQ(out.transformers[k].from_status, from_status[k]);
        EXPECT_EQ(out.transformers[k].to_status, 1);
    }
}

TEST(ThreeWinding, TapShiftIsNotClampedAndTakesItsSignFromTheBounds) {
    struct Case {
        const char* what;
        std::uint8_t side;
        std::int32_t lo, hi;
        double u2_shifted;  // u2 after the shift when the tap is on side 1
    };
    const Case cases[] = {
        {"ascending bounds", 1, -10, 10, 420.0 + 1200.0},
        {"descending bounds", 1, 10, -10, 420.0 - 1200.0},
        {"equal bounds", 1, 3, 3, 420.0 - 1200.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PgmThreeWindingTransformer t = three_winding();
        t.tap_side = c.side;
        t.tap_pos = 12;
        t.tap_min = c.lo;
        t.tap_max = c.hi;
        const auto out = convert_three(t);
        ASSERT_EQ(out.transformers.size(), 3u);
        EXPECT_EQ(out.transformers[0].tap, Complex(1.0, 0.0));
        EXPECT_DOUBLE_EQ(out.transformers[1].tap.real(), c.u2_shifted / 420.0);
        EXPECT_DOUBLE_EQ(out.transformers[2].tap.real(), 1.0);
    }
}

TEST(ThreeWinding, TapOnWindingOneMovesTheOtherRatiosAndTheAdmittances) {
    PgmThreeWindingTransformer t = three_winding();
    t.tap_pos = 12;  // side 0: u1' = 11200 V
    const auto out = convert_three(t);
    EXPECT_EQ(out.transformers[0].tap, Complex(1.0, 0.0));
    EXPECT_DOUBLE_EQ(out.transformers[1].tap.real(), (10e3 * 420.0) / (420.0 * 11200.0));
    EXPECT_DOUBLE_EQ(out.transformers[2].tap.real(), (10e3 * 400.0) / (400.0 * 11200.0));
    // Winding 1: uk 0.04 at 11.2 kV on the 10 kV base: x = 0.04 * 1.12^2.
    EXPECT_NEAR(out.transformers[0].y_series.imag(), -1.0 / (0.04 * 1.2544), 1e-9);
}

TEST(ThreeWinding, SideTwoAndAboveShiftWindingThree) {
    PgmThreeWindingTransformer t = three_winding();
    t.tap_side = 5;
    t.tap_pos = -1;
    const auto out = convert_three(t);
    EXPECT_DOUBLE_EQ(out.transformers[1].tap.real(), 1.0);
    EXPECT_DOUBLE_EQ(out.transformers[2].tap.real(), 300.0 / 400.0);
}

TEST(ThreeWinding, PhaseShiftsOfTheOuterLegs) {
    PgmThreeWindingTransformer t = three_winding();
    t.clock_12 = 0;
    t.clock_13 = 1;
    const auto out = convert_three(t);
    // 12 * pi / 6 is the double 2 pi: cosine 1, sine a rounding residue, not zero.
    const Complex t2 = out.transformers[1].tap;
    EXPECT_EQ(t2.real(), 1.0);
    EXPECT_NE(t2.imag(), 0.0);
    EXPECT_NEAR(t2.imag(), -2.4492935982947064e-16, 1e-30);
    const Complex t3 = out.transformers[2].tap;
    EXPECT_DOUBLE_EQ(t3.real(), std::cos(11.0 * kPi / 6.0));
    EXPECT_NEAR(t3.imag(), -0.5, 1e-15);
    EXPECT_EQ(out.transformers[0].tap.imag(), 0.0);
}

TEST(ThreeWinding, StarEquivalentOfEqualRatings) {
    // uk' = 0.1, 0.12, 0.14 give the legs 0.04, 0.06, 0.08; all at 10 kV on the 10 kV base.
    const auto out = convert_three(three_winding());
    const double leg[] = {0.04, 0.06, 0.08};
    for (std::size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_NEAR(out.transformers[k].y_series.real(), 0.0, 1e-9);
        EXPECT_NEAR(out.transformers[k].y_series.imag(), -1.0 / leg[k], 1e-9);
        EXPECT_DOUBLE_EQ(out.transformers[k].tap.real(), 1.0);
    }
}

TEST(ThreeWinding, ArgumentsOfEachLegForUnequalRatings) {
    PgmThreeWindingTransformer t = three_winding();
    t.sn_1 = 2e6;
    t.sn_2 = 1e6;
    t.sn_3 = 0.5e6;
    t.uk_12 = 0.1;
    t.uk_13 = 0.1;
    t.uk_23 = 0.1;
    t.pk_12 = 1000.0;
    t.pk_13 = 500.0;
    t.pk_23 = 250.0;
    t.i0 = 0.02;
    t.p0 = 800.0;
    const auto out = convert_three(t);
    // Referred to winding 1: uk' = 0.2, 0.4, 0.4; pk' = 4000, 8000, 4000.
    // Star legs: uk 0.1, 0.1, 0.3; pk 4000, 0, 4000.
    const double uk[] = {0.1, 0.1, 0.3};
    const double pk[] = {4000.0, 0.0, 4000.0};
    const double sn[] = {2e6, 1e6, 0.5e6};
    for (std::size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const double f = sn[k] / 2e6;
        const auto [ys, ym] =
            network::transformer_admittances_ex(10e3, 10e3, sn[k], f * uk[k], f * f * pk[k],
                                                k == 0 ? 0.02 : 0.0, k == 0 ? 800.0 : 0.0, 1e6);
        EXPECT_NEAR(std::abs(out.transformers[k].y_series - ys), 0.0, 1e-9 * std::abs(ys));
        EXPECT_EQ(out.transformers[k].y_mag, ym);
    }
    EXPECT_NE(out.transformers[0].y_mag, Complex(0.0, 0.0));
    EXPECT_EQ(out.transformers[1].y_mag, Complex(0.0, 0.0));
    EXPECT_EQ(out.transformers[2].y_mag, Complex(0.0, 0.0));
}

TEST(ThreeWinding, UnknownRatingIsIgnoredByThePairMinimum) {
    PgmThreeWindingTransformer t = three_winding();
    t.sn_2 = kNaN;
    const auto out = convert_three(t);
    // s12 = sn_1 and s13 = sn_1 keep winding 1 and 3 finite; the factor of winding 2 is NaN.
    EXPECT_TRUE(std::isfinite(out.transformers[0].y_series.imag()));
    EXPECT_NEAR(out.transformers[0].y_series.imag(), -1.0 / 0.04, 1e-9);
    EXPECT_NEAR(out.transformers[2].y_series.imag(), -1.0 / 0.08, 1e-9);
    EXPECT_FALSE(std::isfinite(std::abs(out.transformers[1].y_series)));
}

}  // namespace
}  // namespace quillmere::pgm
