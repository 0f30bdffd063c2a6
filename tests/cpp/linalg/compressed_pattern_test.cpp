#include "linalg/compressed_pattern.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

namespace quillmere {
namespace {

TEST(CompressedPattern, OrdersEntriesByColumnThenRowAndSumsRepeatsInTripletOrder) {
    // (2, 0) is stamped three times, (0, 1) twice; column 2 is empty.
    const std::vector<Triplet<double>> t = {{2, 0, 1e16}, {0, 1, -0.0},  {1, 0, 5.0}, {2, 0, 1.0},
                                            {0, 1, -0.0}, {2, 0, -1e16}, {1, 3, 0.0}};
    const auto p = compress_pattern<double>(4, t);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->col_ptr, (std::vector<std::uint32_t>{0, 2, 3, 3, 4}));
    EXPECT_EQ(p->row_idx, (std::vector<std::uint32_t>{1, 2, 0, 1}));
    EXPECT_EQ(p->slot, (std::vector<std::uint32_t>{1, 2, 0, 1, 2, 1, 3}));

    std::vector<double> values;
    for (const auto& x : t) values.push_back(x.value);
    std::vector<double> out(4, 7.0);
    p->scatter<double>(values, out);
    // 1e16 + 1 rounds to 1e16 before -1e16 comes in: the triplet order is kept, not re-associated.
    EXPECT_EQ(out, (std::vector<double>{5.0, 0.0, -0.0, 0.0}));
    EXPECT_TRUE(std::signbit(out[2]));   // a sum of negative zeros stays negative
    EXPECT_FALSE(std::signbit(out[3]));  // a single +0.0 keeps its sign

    std::vector<std::complex<double>> z(7, {1.0, -2.0}), zout(4);
    p->scatter<std::complex<double>>(z, zout);
    EXPECT_EQ(zout[1], std::complex<double>(3.0, -6.0));

    EXPECT_THROW(p->scatter<double>(std::span(values).first(6), out), Stop);
    EXPECT_THROW(p->scatter<double>(values, std::span(out).first(3)), Stop);
}

TEST(CompressedPattern, EmptyPatternsAndRefusals) {
    const auto empty = compress_pattern<double>(3, {});
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->col_ptr, (std::vector<std::uint32_t>{0, 0, 0, 0}));
    EXPECT_EQ(empty->entries(), 0u);
    EXPECT_TRUE(compress_pattern<double>(0, {}));

    EXPECT_THROW(compress_pattern<double>(3, std::vector<Triplet<double>>{{3, 0, 1.0}}), Stop);
    EXPECT_THROW(compress_pattern<double>(3, std::vector<Triplet<double>>{{0, 3, 1.0}}), Stop);
    EXPECT_FALSE(compress_pattern<double>(std::size_t{1} << 32, {}));  // indices are 32-bit
}

}  // namespace
}  // namespace quillmere
