// The Jacobian gives a coupling (j, i) the sine and cosine of its reverse (i, j), the sine negated
// (for_each_derivatives). That equals the coupling's own call bit for bit only because a - b is
// exactly -(b - a) in IEEE arithmetic and this platform's sine is odd and cosine even, bit for
// bit. This checks both over a wide sample of arguments, so that a platform where they fail is
// caught here rather than as a changed result.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace quillmere {
namespace {

std::uint64_t bits(double x) {
    return std::bit_cast<std::uint64_t>(x);
}

// Edge arguments: subnormals, the smallest normals, the thresholds where the library changes its
// method or its argument reduction, multiples of pi/2 and their neighbours, the largest values.
std::vector<double> edge_arguments() {
    using L = std::numeric_limits<double>;
    std::vector<double> xs = {
        L::denorm_min(), 1e-310,   L::min(), 0x1p-27,  0x1p-26,      1e-8,
        0.126,           0.855469, 1.0,      2.426265, 3.0,          0x1p27,
        105414350.0,     1e15,     1e22,     0x1p1000, L::max() / 2, L::max()};
    for (int k = 1; k <= 64; ++k) xs.push_back(k * std::numbers::pi / 2);
    for (double x : std::vector<double>(xs)) {
        xs.push_back(std::nextafter(x, 0.0));
        xs.push_back(std::nextafter(x, L::infinity()));
    }
    return xs;
}

TEST(TrigSymmetry, SineOddAndCosineEvenBitForBit) {
    std::vector<double> xs = edge_arguments();
    std::mt19937_64 rng(20240611);
    // Every binade: a random significand at a random exponent.
    std::uniform_int_distribution<int> exponent(-1074, 1023);
    std::uniform_real_distribution<double> significand(1.0, 2.0);
    for (int k = 0; k < 200000; ++k) xs.push_back(std::ldexp(significand(rng), exponent(rng)));
    // Angle differences as the Newton passes make them.
    std::uniform_real_distribution<double> angle(-4.0, 4.0);
    for (int k = 0; k < 200000; ++k) xs.push_back(angle(rng) - angle(rng));

    std::size_t failures = 0;
    for (const double x : xs) {
        // The Jacobian gives a zero or non-finite difference its own call.
        if (x == 0.0 || !std::isfinite(x)) continue;
        // Through volatile, so that the compiler cannot rewrite sin(-x) as -sin(x) itself.
        volatile double given = x, negated = -x;
        const double a = given, b = negated;
        const double sa = std::sin(a), ca = std::cos(a);
        const double sb = std::sin(b), cb = std::cos(b);
        if (bits(sb) != bits(-sa) || bits(cb) != bits(ca)) {
            if (++failures <= 5) ADD_FAILURE() << "x = " << std::hexfloat << x;
        }
    }
    EXPECT_EQ(failures, 0u) << "of " << xs.size() << " arguments";
}

TEST(TrigSymmetry, DifferencesAreExactNegatives) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> angle(-4.0, 4.0);
    std::uniform_int_distribution<int> exponent(-1074, 1023);
    std::size_t failures = 0;
    for (int k = 0; k < 200000; ++k) {
        volatile double va = angle(rng), vb = k % 2 ? angle(rng) : std::ldexp(1.5, exponent(rng));
        const double a = va, b = vb;
        const double ab = a - b, ba = b - a;
        if (ab != 0.0 && std::isfinite(ab) && bits(ba) != bits(-ab)) ++failures;
    }
    EXPECT_EQ(failures, 0u);
}

}  // namespace
}  // namespace quillmere
