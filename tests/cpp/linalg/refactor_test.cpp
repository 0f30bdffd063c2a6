// A KLU system refactors along its kept pivots only where KLU's pivoting, run afresh, chooses the
// same pivots: every call gives bit for bit what a system created for its values gives.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <type_traits>
#include <vector>

#include "linalg/sparse.hpp"

namespace quillmere {
namespace {

using C = Complex;

// The bit patterns of a solve's result (real and imaginary parts in turn); absent with it.
template <class T>
std::optional<std::vector<std::uint64_t>> bits(const std::optional<std::vector<T>>& x) {
    if (!x) return std::nullopt;
    std::vector<std::uint64_t> out;
    for (const T& v : *x) {
        if constexpr (std::is_same_v<T, double>) {
            out.push_back(std::bit_cast<std::uint64_t>(v));
        } else {
            out.push_back(std::bit_cast<std::uint64_t>(v.real()));
            out.push_back(std::bit_cast<std::uint64_t>(v.imag()));
        }
    }
    return out;
}

// `kept` solves `values` as a fresh system of the same positions does, bit for bit; returns
// whether `kept` refactored.
template <class T>
bool solves_as_fresh(KluSparseSystem<T>& kept, const std::vector<Triplet<T>>& positions,
                     const std::vector<T>& values, const std::vector<T>& rhs) {
    const std::uint64_t before = kept.refactorizations();
    const auto x = kept.factor_and_solve_values(values, rhs);
    auto fresh = KluSparseSystem<T>::create(kept.n(), positions);
    EXPECT_TRUE(fresh);
    if (fresh) {
        EXPECT_EQ(bits(x), bits(fresh->factor_and_solve_values(values, rhs)));
    }
    return kept.refactorizations() > before;
}

// A unit value of the type: 1, or the complex number of modulus 1 at angle 0.9.
template <class T>
T unit() {
    if constexpr (std::is_same_v<T, double>) {
        return 1.0;
    } else {
        return std::polar(1.0, 0.9);
    }
}

// [[d, u], [u, d]] with |u| = 1: whichever column KLU takes first, pivoting keeps its diagonal
// exactly when |d| >= 0.001 (KLU's default tolerance), and the second column has one candidate.
// Around the threshold the kept pivots may be refactored only where that test holds with margin.
template <class T>
void pivot_threshold_cases() {
    const std::vector<Triplet<T>> positions = {
        {0, 0, T(0)}, {1, 0, T(0)}, {0, 1, T(0)}, {1, 1, T(0)}};
    const std::vector<T> rhs = {T(1.0), T(-0.5)};
    enum Expect { Factors, Refactors, Either };
    constexpr double tol = 0.001;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double d;
        Expect expect;
    } cases[] = {
        {0.5, Factors},  // nothing kept yet
        {3.0, Refactors},
        {tol * (1 + 1e-6), Refactors},
        {tol * (1 + 1e-12), Either},
        {tol, Either},
        {tol * (1 - 1e-12), Either},
        {tol * (1 - 1e-6), Factors},  // pivoting takes the off-diagonal entry
        {1e-4, Factors},
        {0.0, Factors},
        {-2.0, Refactors},  // the pivots kept from 0.5 still serve
        {nan, Either},      // no result either way
        {1e-290, Factors},  // a pivot near underflow
    };
    auto kept = KluSparseSystem<T>::create(2, positions);
    ASSERT_TRUE(kept);
    for (const auto& [d, expect] : cases) {
        SCOPED_TRACE(::testing::Message() << "d " << d);
        const T diagonal = d * unit<T>() * unit<T>();
        const std::vector<T> values = {diagonal, unit<T>(), unit<T>(), diagonal};
        const bool refactored = solves_as_fresh(*kept, positions, values, rhs);
        if (expect != Either) {
            EXPECT_EQ(refactored, expect == Refactors);
        }
    }
}

TEST(KluRefactor, OnlyWherePivotingKeepsTheDiagonal) {
    pivot_threshold_cases<double>();
    pivot_threshold_cases<C>();
}

// A random symmetric pattern (a path and random chords), its diagonal either dominant or, in every
// other value set, weak in a few columns (down to zero), so that pivots leave the diagonal now and
// then. Every call matches a fresh system; the dominant sets refactor.
template <class T>
void random_value_sets(unsigned seed) {
    constexpr std::size_t n = 40;
    std::mt19937 rng(seed);
    std::vector<Triplet<T>> positions;
    for (std::size_t i = 0; i < n; ++i) positions.push_back({i, i, T(0)});
    auto pair = [&](std::size_t i, std::size_t j) {
        positions.push_back({i, j, T(0)});
        positions.push_back({j, i, T(0)});
    };
    for (std::size_t i = 0; i + 1 < n; ++i) pair(i, i + 1);
    for (int k = 0; k < 20; ++k) {
        const std::size_t i = rng() % n, j = rng() % n;
        if (i + 1 < j) pair(i, j);  // repeated positions add up
    }
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    auto random = [&] {
        if constexpr (std::is_same_v<T, double>) {
            return u(rng);
        } else {
            return T(u(rng), u(rng));
        }
    };
    const double weak[] = {1e-2, 2e-3, 1e-3, 5e-4, 1e-5, 0.0};
    auto kept = KluSparseSystem<T>::create(n, positions);
    ASSERT_TRUE(kept);
    int dominant_refactors = 0;
    for (int set = 0; set < 12; ++set) {
        SCOPED_TRACE(::testing::Message() << "value set " << set);
        std::vector<T> values(positions.size());
        std::vector<double> column(n, 1.0);
        for (std::size_t k = n; k < positions.size(); ++k) {
            values[k] = random();
            column[positions[k].col] += std::abs(values[k]);
        }
        if (set % 2 == 1) {
            for (int w = 0; w < 3; ++w) column[rng() % n] *= weak[rng() % std::size(weak)];
        }
        for (std::size_t i = 0; i < n; ++i) values[i] = column[i] * (u(rng) < 0 ? -1.0 : 1.0);
        std::vector<T> rhs(n);
        for (T& b : rhs) b = random();
        const bool refactored = solves_as_fresh(*kept, positions, values, rhs);
        if (set % 2 == 0 && set > 0) dominant_refactors += refactored ? 1 : 0;
    }
    EXPECT_EQ(dominant_refactors, 5);
}

TEST(KluRefactor, RandomValueSetsMatchFreshSystems) {
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        random_value_sets<double>(seed);
        random_value_sets<C>(seed);
    }
}

// One unknown: its single entry is its pivot, refactored whenever it is not zero.
TEST(KluRefactor, SingleUnknown) {
    const std::vector<Triplet<double>> positions = {{0, 0, 0.0}};
    auto kept = RealSparseSystem::create(1, positions);
    ASSERT_TRUE(kept);
    const std::vector<double> rhs = {3.0};
    EXPECT_FALSE(solves_as_fresh(*kept, positions, {2.0}, rhs));
    EXPECT_TRUE(solves_as_fresh(*kept, positions, {-7.0}, rhs));
    EXPECT_FALSE(solves_as_fresh(*kept, positions, {0.0}, rhs));
    EXPECT_TRUE(solves_as_fresh(*kept, positions, {0.5}, rhs));
}

}  // namespace
}  // namespace quillmere
