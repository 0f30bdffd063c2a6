#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "network.hpp"
#include "stop.hpp"

namespace quillmere {
namespace {

using C = Complex;

void expect_near(C actual, C expected, const char* what) {
    EXPECT_NEAR(actual.real(), expected.real(), 1e-12) << what;
    EXPECT_NEAR(actual.imag(), expected.imag(), 1e-12) << what;
}

bool finite(C z) {
    return std::isfinite(z.real()) && std::isfinite(z.imag());
}

C summed(const YBusSparse& y, std::size_t r, std::size_t c) {
    for (const auto& [col, v] : y.rows[r]) {
        if (col == c) return v;
    }
    ADD_FAILURE() << "no entry at (" << r << ", " << c << ")";
    return {};
}

TEST(BuildYbus, LineStampsInOrder) {
    // 1 / (0.03 + 0.04j) = 12 - 16j; half the shunt: 0.01 + 0.05j.
    const std::vector<Line> lines = {{0, 2, 0.03, 0.04, 0.1, 0.02}};
    const YBus y = network::build_ybus(3, lines, {});
    ASSERT_EQ(y.entries.size(), 4u);
    const std::size_t pos[4][2] = {{0, 0}, {2, 2}, {0, 2}, {2, 0}};
    const C val[4] = {C(12.01, -15.95), C(12.01, -15.95), C(-12, 16), C(-12, 16)};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(y.entries[k].row, pos[k][0]);
        EXPECT_EQ(y.entries[k].col, pos[k][1]);
        expect_near(y.entries[k].value, val[k], "line stamp");
    }
}

TEST(BuildYbus, PureShuntLineAndZeroImpedance) {
    const std::vector<Line> shunt = {{1, 1, 5.0, 7.0, 0.3, 0.2}};
    const YBus s = network::build_ybus(2, shunt, {});
    ASSERT_EQ(s.entries.size(), 1u);
    EXPECT_EQ(s.entries[0].row, 1u);
    EXPECT_EQ(s.entries[0].value, C(0.2, 0.3));

    const std::vector<Line> zero = {{0, 1, 0.0, 0.0, 0.0, 0.0}};
    const YBus z = network::build_ybus(2, zero, {});
    ASSERT_EQ(z.entries.size(), 4u);
    for (const auto& e : z.entries) EXPECT_FALSE(finite(e.value));
}

// y_s = 2 - 4j, y_m = 0.2 - 0.4j: 1/y_s = 0.1 + 0.2j, 2/y_m = 2 + 4j, so the one-sided admittance
// is y_m/2 + 1/(2.1 + 4.2j) = (0.1 - 0.2j) + (2 - 4j)/21.
const C kYs(2, -4), kYm(0.2, -0.4), kTap(0.95, 0.1);
const C kOneSided = C(0.1, -0.2) + C(2, -4) / 21.0;

TEST(BuildYbus, TransformerStatusTable) {
    const double tt = 0.95 * 0.95 + 0.1 * 0.1;
    const C z(0, 0);
    struct Case {
        std::uint8_t from_status, to_status;
        C ym;
        C ff, ft, tf, to;
    };
    const std::vector<Case> cases = {
        {1, 1, kYm, (kYs + kYm / 2.0) / tt, -kYs / std::conj(kTap), -kYs / kTap, kYs + kYm / 2.0},
        {1, 0, kYm, kOneSided / tt, z, z, z},
        {0, 1, kYm, z, z, z, kOneSided},
        {1, 0, z, z, z, z, z},
        {0, 1, z, z, z, z, z},
        {0, 0, kYm, z, z, z, z},
        {2, 1, kYm, z, z, z, z},
        {1, 7, kYm, z, z, z, z},
    };
    for (const auto& c : cases) {
        const std::vector<Transformer> trs = {{kYs, c.ym, kTap, 3, 1, c.from_status, c.to_status}};
        const YBus y = network::build_ybus(4, {}, trs);
        ASSERT_EQ(y.entries.size(), 4u);
        const std::size_t pos[4][2] = {{3, 3}, {3, 1}, {1, 3}, {1, 1}};
        const C want[4] = {c.ff, c.ft, c.tf, c.to};
        for (int k = 0; k < 4; ++k) {
            SCOPED_TRACE(::testing::Message() << "statuses " << int(c.from_status) << ","
                                              << int(c.to_status) << " stamp " << k);
            EXPECT_EQ(y.entries[k].row, pos[k][0]);
            EXPECT_EQ(y.entries[k].col, pos[k][1]);
            expect_near(y.entries[k].value, want[k], "transformer stamp");
        }
    }
}

TEST(BuildYbus, ZeroTapGivesNonFiniteFromSide) {
    const std::vector<Transformer> both = {{kYs, kYm, C(0, 0), 0, 1, 1, 1}};
    const YBus y = network::build_ybus(2, {}, both);
    EXPECT_FALSE(finite(y.entries[0].value));
    EXPECT_FALSE(finite(y.entries[1].value));
    EXPECT_FALSE(finite(y.entries[2].value));
    expect_near(y.entries[3].value, kYs + kYm / 2.0, "to side is not divided by the tap");

    // Even the zero of a from-only winding without magnetising admittance is divided.
    const std::vector<Transformer> from_only = {{kYs, C(0, 0), C(0, 0), 0, 1, 1, 0}};
    EXPECT_FALSE(finite(network::build_ybus(2, {}, from_only).entries[0].value));
}

TEST(YbusFinish, SumsKeepsZerosAndOrdersColumns) {
    // Two parallel lines 0-2, a line 2-1, a shunt on 2 and a pair of shunts on 1 that cancel.
    const std::vector<Line> lines = {
        {2, 0, 0.03, 0.04, 0.0, 0.0}, {0, 2, 0.03, 0.04, 0.0, 0.0}, {2, 1, 0.0, 0.5, 0.0, 0.0}};
    YBus y = network::build_ybus(4, lines, {});
    const std::vector<ShuntAdm> shunts = {{C(0.1, 0.2), 2}, {C(0.5, 0.5), 3}, {C(-0.5, -0.5), 3}};
    network::stamp_shunts(y, shunts);
    ASSERT_EQ(y.entries.size(), 15u);
    EXPECT_EQ(y.entries[12].row, 2u);  // shunts follow the branch stamps, in list order
    EXPECT_EQ(y.entries[14].value, C(-0.5, -0.5));

    const YBusSparse f = std::move(y).finish();
    ASSERT_EQ(f.n, 4u);
    ASSERT_EQ(f.rows.size(), 4u);
    ASSERT_EQ(f.rows[2].size(), 3u);
    EXPECT_EQ(f.rows[2][0].first, 0u);
    EXPECT_EQ(f.rows[2][1].first, 1u);
    EXPECT_EQ(f.rows[2][2].first, 2u);
    expect_near(summed(f, 0, 2), C(-24, 32), "parallel lines");
    expect_near(summed(f, 2, 2), C(24.1, -32.0 - 2.0 + 0.2), "lines plus shunt");
    ASSERT_EQ(f.rows[3].size(), 1u);
    EXPECT_EQ(f.rows[3][0].second, C(0, 0));

    // The compressed-column form holds the same positions and values.
    std::size_t positions = 0;
    for (std::size_t i = 0; i < f.n; ++i) {
        positions += f.rows[i].size();
        for (const auto& [j, v] : f.rows[i]) {
            expect_near(
                f.matrix.mat.coeff(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)), v,
                "matrix entry");
        }
    }
    EXPECT_EQ(static_cast<std::size_t>(f.matrix.mat.nonZeros()), positions);
}

TEST(YbusFinish, EmptyNetworkAndBrokenIndices) {
    const YBusSparse empty = network::build_ybus(3, {}, {}).finish();
    EXPECT_EQ(empty.rows.size(), 3u);
    for (const auto& row : empty.rows) EXPECT_TRUE(row.empty());
    EXPECT_EQ(empty.matrix.n, 3u);
    EXPECT_EQ(empty.matrix.mat.nonZeros(), 0);

    YBus bad_row{{{3, 0, C(1, 0)}}, 3};
    EXPECT_THROW(std::move(bad_row).finish(), Stop);
    YBus bad_col{{{0, 3, C(1, 0)}}, 3};
    try {
        std::move(bad_col).finish();
        ADD_FAILURE() << "a column beyond the matrix must stop";
    } catch (const Stop& s) {
        EXPECT_EQ(s.message, "Y-bus triplet set should always form a valid sparse matrix");
    }
}

TEST(TransformerAdmittances, NameplateValues) {
    // z = 10 ohm, r = 1 ohm, x = sqrt(99) ohm; y_base = 0.01 S; g = 2e-5 S, m = 1e-4 S.
    const auto [ys, ym] =
        network::transformer_admittances_ex(10e3, 10e3, 1e6, 0.1, 10e3, 0.01, 2e3, 1e6);
    expect_near(ys, C(1.0, -std::sqrt(99.0)), "series");
    expect_near(ym, C(0.002, -std::sqrt(1e-8 - 4e-10) / 0.01), "magnetising");

    // A negative uk carries its sign to the reactance; u_base rescales both admittances.
    const auto [ys_neg, ym_base] =
        network::transformer_admittances_ex(10e3, 20e3, 1e6, -0.1, 10e3, 0.01, 2e3, 1e6);
    expect_near(ys_neg, C(4.0, 4.0 * std::sqrt(99.0)), "negative uk");
    expect_near(ym_base, 4.0 * ym, "other voltage base");
}

TEST(TransformerAdmittances, ClampsAndDegenerateData) {
    // z = 1 ohm < r = 2 ohm: no reactance.
    const auto [ys_r, ym_r] =
        network::transformer_admittances_ex(10e3, 10e3, 1e6, 0.01, 20e3, 0.0, 0.0, 1e6);
    EXPECT_EQ(ys_r, C(50.0, 0.0));
    EXPECT_EQ(ym_r, C(0.0, 0.0));  // i0 = p0 = 0

    // (sn i0 / u^2)^2 <= g^2: no magnetising susceptance, the conductance remains.
    const auto ym_g =
        network::transformer_admittances_ex(10e3, 10e3, 1e6, 0.1, 10e3, 1e-3, 2e4, 1e6).second;
    EXPECT_EQ(ym_g.imag(), 0.0);
    EXPECT_NEAR(ym_g.real(), 0.02, 1e-15);

    const auto ys_inf =
        network::transformer_admittances_ex(10e3, 10e3, 1e6, 0.0, 0.0, 0.0, 0.0, 1e6).first;
    EXPECT_FALSE(finite(ys_inf));
}

}  // namespace
}  // namespace quillmere
