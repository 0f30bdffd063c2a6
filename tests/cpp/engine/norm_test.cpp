// The mismatch norm, however it is computed, is the one-by-one fold of fold_norm, bit for bit.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "engine/newton.hpp"

namespace quillmere {
namespace {

std::uint64_t folded_bits(const std::vector<double>& m) {
    double norm = 0.0;
    for (double v : m) norm = fold_norm(norm, v);
    return std::bit_cast<std::uint64_t>(norm);
}

// Lengths around the width of the side-by-side maxima, zeros of both signs, infinities, and NaNs
// of different payloads and signs at the edges and inside (the fold keeps the last one).
TEST(MismatchNorm, EqualsTheFoldBitForBit) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double other_nan = -std::bit_cast<double>(std::bit_cast<std::uint64_t>(nan) | 0x5);
    std::mt19937_64 rng(11);
    std::normal_distribution<double> d(0.0, 1e-3);
    std::vector<std::vector<double>> cases = {
        {}, {-0.0}, {-0.0, 0.0, -0.0, -0.0, -0.0}, {-inf, 1.0}, {1.0, 2.0, 3.0, 4.0, -inf},
    };
    for (std::size_t n : {1, 3, 4, 5, 7, 8, 9, 1000, 1003}) {
        std::vector<double> m(n);
        for (double& v : m) v = d(rng);
        cases.push_back(m);
        for (std::size_t at : {std::size_t{0}, n / 2, n - 1}) {
            std::vector<double> with_nan = m;
            with_nan[at] = nan;
            cases.push_back(with_nan);
            if (at + 1 < n) {
                with_nan[n - 1] = other_nan;
                cases.push_back(with_nan);
            }
        }
    }
    for (const std::vector<double>& m : cases) {
        SCOPED_TRACE(::testing::Message() << m.size() << " values");
        EXPECT_EQ(std::bit_cast<std::uint64_t>(mismatch_norm(m)), folded_bits(m));
    }
}

}  // namespace
}  // namespace quillmere
