// Two- and three-winding transformers of the PGM conversion: taps, phase shifts, star buses and
// the per-unit data handed to the nameplate conversion.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <variant>

#include "pgm/convert.hpp"

namespace quillmere::pgm {
namespace {

constexpr double kPi = 3.141592653589793;

// Nodes 1 (10 kV), 2 (0.42 kV), 3 (0.4 kV): buses 0, 1, 2.
ConvertedNetwork convert(std::vector<PgmTransformer> two,
                         std::vector<PgmThreeWindingTransformer> three = {}) {
    PgmData d;
    d.node = {{3, 400.0}, {1, 10e3}, {2, 420.0}};
    d.transformer = std::move(two);
    d.three_winding_transformer = std::move(three);
    return std::get<ConvertedNetwork>(convert_pgm(d, 1e6, 50.0));
}

PgmTransformer two_winding() {
    return {1, 1, 2, 1, 1, 10e3, 400.0, 1e6, 0.1, 0.0, 0.01, 0.0, 0, 0, 0, 0, 0, -10, 10, 0, 250.0};
}

PgmThreeWindingTransformer three_winding() {
    return {2,    1,   2,   3,   1,   1,   1,  10e3, 420.0, 400.0, 1e6, 1e6, 1e6, 0.1,  0.12,
            0.14, 0.0, 0.0, 0.0, 0.0, 0.0, 12, 12,   0,     0,     -10, 10,  0,   100.0};
}

TEST(TwoWinding, TapRatioClampingSideClockAndPerUnit) {
    // Tap side, position, nominal, bounds, clock, tap size; the ratio before the clock turns it.
    using Case = std::tuple<std::uint8_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                            std::int32_t, double, double>;
    const Case cases[] = {
        {0, 12, 0, -10, 10, 0, 250.0, 1.25},  // clamped to the bounds, also when reversed
        {0, -12, 0, 10, -10, 0, 250.0, 0.75},
        {1, 2, 0, -10, 10, 0, 10.0, 400.0 / 420.0},  // side 1, and any other, divides
        {7, 2, 0, -10, 10, 0, 10.0, 400.0 / 420.0},
        // The exact difference, beyond the 32-bit range.
        {0, INT32_MAX, -1, INT32_MIN, INT32_MAX, 0, 1e-6, (10e3 + 1e-6 * 2147483648.0) / 10e3},
        {0, 2, 0, -10, 10, 11, 250.0, 1.05},  // clock 11 turns the tap by -30 degrees
    };
    for (const auto& [side, pos, nom, lo, hi, clock, size, ratio] : cases) {
        PgmTransformer t = two_winding();
        std::tie(t.tap_side, t.tap_pos, t.tap_nom, t.tap_min, t.tap_max, t.clock, t.tap_size) =
            std::tuple(side, pos, nom, lo, hi, clock, size);
        const Transformer tr = convert({t}).transformers.at(0);
        EXPECT_NEAR(std::abs(tr.tap - std::polar(ratio, clock * kPi / 6.0)), 0.0, 1e-14) << pos;
        // Per unit on its own u2 = 400 V, not the to node's 420 V: uk 0.1 on sn = s_base is x 0.1.
        EXPECT_NEAR(std::abs(tr.y_series - Complex(0.0, -10.0)), 0.0, 1e-12);
        EXPECT_NEAR(std::abs(tr.y_mag - Complex(0.0, -0.01)), 0.0, 1e-15);
        EXPECT_EQ(std::tuple(tr.from, tr.to), std::tuple(0u, 1u));
    }
}

TEST(ThreeWinding, TapShiftsOneWindingUnclampedWithTheSignOfTheBounds) {
    // Tap side, position, bounds; the ratios of legs 2 and 3.
    using Case = std::tuple<std::uint8_t, std::int32_t, std::int32_t, std::int32_t, double, double>;
    const Case cases[] = {
        {1, 12, -10, 10, (420.0 + 1200.0) / 420.0, 1.0},
        {1, 12, 10, -10, (420.0 - 1200.0) / 420.0, 1.0},
        {1, 12, 3, 3, (420.0 - 1200.0) / 420.0, 1.0},
        {0, 12, -10, 10, 10e3 / 11200.0, 10e3 / 11200.0},  // u1 = 11.2 kV moves both ratios
        {5, -1, -10, 10, 1.0, 300.0 / 400.0},              // side 2 and above: winding 3
    };
    for (const auto& [side, pos, lo, hi, tap2, tap3] : cases) {
        PgmThreeWindingTransformer t = three_winding();
        std::tie(t.tap_side, t.tap_pos, t.tap_min, t.tap_max) = std::tuple(side, pos, lo, hi);
        const auto out = convert({}, {t});
        ASSERT_EQ(out.transformers.size(), 3u);
        EXPECT_EQ(out.transformers[0].tap, Complex(1.0, 0.0));
        EXPECT_NEAR(out.transformers[1].tap.real(), tap2, 1e-14) << int(side) << lo;
        EXPECT_NEAR(out.transformers[2].tap.real(), tap3, 1e-14) << int(side) << lo;
        if (side == 0) {  // winding 1: uk 0.04 at 11.2 kV on the 10 kV base
            EXPECT_NEAR(out.transformers[0].y_series.imag(), -1.0 / (0.04 * 1.2544), 1e-9);
        }
    }
}

TEST(ThreeWinding, StarBusesLegOrderAndStarEquivalent) {
    // Unequal ratings, referred to winding 1: uk' = 0.2, 0.4, 0.4 and pk' = 4000, 8000, 4000;
    // star legs uk 0.1, 0.1, 0.3 and pk 4000, 0, 4000; the no-load data on leg 1 only.
    PgmThreeWindingTransformer t = three_winding(), swapped = three_winding();
    std::tie(t.status_1, t.sn_1, t.sn_2, t.sn_3, t.uk_12, t.uk_13, t.uk_23) =
        std::tuple(0, 2e6, 1e6, 0.5e6, 0.1, 0.1, 0.1);
    std::tie(t.pk_12, t.pk_13, t.pk_23, t.i0, t.p0) = std::tuple(1000.0, 500.0, 250.0, 0.02, 800.0);
    std::tie(swapped.node_1, swapped.node_3) = std::tuple(3, 1);
    auto out = convert({two_winding()}, {t, swapped});
    // Star buses on their first node's rating.
    ASSERT_EQ(out.buses.size(), 5u);
    EXPECT_EQ(std::tuple(out.buses[3].u_rated, out.buses[4].u_rated), std::tuple(10e3, 400.0));
    // Two-winding records first, then three per three-winding transformer.
    ASSERT_EQ(out.transformers.size(), 7u);
    const std::size_t from[] = {0, 0, 1, 2, 2, 1, 0}, to[] = {1, 3, 3, 3, 4, 4, 4};
    for (std::size_t k = 0; k < 7; ++k) {
        const Transformer& tr = out.transformers[k];
        EXPECT_EQ(std::tuple(tr.from, tr.to, tr.from_status, tr.to_status),
                  std::tuple(from[k], to[k], k == 1 ? 0 : 1, 1))
            << k;
    }
    const double uk[] = {0.1, 0.1, 0.3}, pk[] = {4000.0, 0.0, 4000.0}, sn[] = {2e6, 1e6, 0.5e6};
    for (std::size_t k = 0; k < 3; ++k) {
        const double f = sn[k] / 2e6, i0 = k == 0 ? 0.02 : 0.0, p0 = k == 0 ? 800.0 : 0.0;
        const auto [ys, ym] = network::transformer_admittances_ex(10e3, 10e3, sn[k], f * uk[k],
                                                                  f * f * pk[k], i0, p0, 1e6);
        const Transformer& leg = out.transformers[k + 1];
        EXPECT_NEAR(std::abs(leg.y_series - ys), 0.0, 1e-9 * std::abs(ys)) << k;
        EXPECT_EQ(leg.y_mag, ym) << k;
    }
    // An unknown rating is ignored by the pair minimum: windings 1 and 3 stay finite.
    t = three_winding();
    t.sn_2 = std::numeric_limits<double>::quiet_NaN();
    out = convert({}, {t});
    EXPECT_NEAR(out.transformers[0].y_series.imag(), -1.0 / 0.04, 1e-9);
    EXPECT_NEAR(out.transformers[2].y_series.imag(), -1.0 / 0.08, 1e-9);
    EXPECT_FALSE(std::isfinite(std::abs(out.transformers[1].y_series)));
}

}  // namespace
}  // namespace quillmere::pgm
