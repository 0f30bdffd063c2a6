#include <SuiteSparse_config.h>
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <span>
#include <type_traits>
#include <vector>

#include "common/stop.hpp"
#include "linalg/sparse.hpp"
#include "support/sparse_systems.hpp"

namespace quillmere {
namespace {

using C = Complex;
using TC = Triplet<Complex>;
using TR = Triplet<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(SparseMatrix, SumsRepeatsKeepsZeroSumsAndMultiplies) {
    // (1, 0) is given twice; the two values given for (2, 2) cancel.
    const std::vector<TC> triplets = {{1, 0, C(1, 2)}, {0, 0, C(3, 0)},   {1, 0, C(0.5, -1)},
                                      {2, 2, C(4, 4)}, {2, 2, C(-4, -4)}, {0, 1, C(0, 1)}};
    auto m = SparseMatrix::build(3, triplets);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->mat.nonZeros(), 4);
    const std::vector<C> x = {C(1, 0), C(0, 2), C(5, 1), C(99, 99)};  // read up to n only
    EXPECT_EQ(m->mul_vec(x), (std::vector<C>{C(1, 0), C(1.5, 1), C(0, 0)}));
    EXPECT_THROW(m->mul_vec(std::span(x).first(2)), Stop);

    EXPECT_FALSE(SparseMatrix::build(3, std::vector<TC>{{3, 0, C(1, 0)}}));
    EXPECT_FALSE(SparseMatrix::build(3, std::vector<TC>{{0, 3, C(1, 0)}}));
    EXPECT_FALSE(SparseMatrix::build(std::size_t{1} << 31, {}));  // Eigen indexes with int
}

TEST(SolveComplex, SolvesRegularAndRefusesSingularOrNonFinite) {
    // [[2, i], [1, 3]] x = rhs with x = (1 + i, 2 - i).
    const std::vector<TC> regular = {
        {0, 0, C(2, 0)}, {0, 1, C(0, 1)}, {1, 0, C(1, 0)}, {1, 1, C(3, 0)}};
    const std::vector<C> rhs = {C(3, 4), C(7, -2)};
    const auto x = sparse::solve_complex(2, regular, rhs);
    ASSERT_TRUE(x);
    EXPECT_LT(std::abs((*x)[0] - C(1, 1)) + std::abs((*x)[1] - C(2, -1)), 1e-14);

    const std::vector<TC> refused[] = {
        {{0, 0, C(1, 0)}, {0, 1, C(2, 0)}, {1, 0, C(2, 0)}, {1, 1, C(4, 0)}},  // rank one
        {{0, 0, C(1, 0)}, {1, 1, C(0, kNaN)}},
    };
    for (std::size_t k = 0; k < std::size(refused); ++k) {
        EXPECT_FALSE(sparse::solve_complex(2, refused[k], rhs)) << "case " << k;
    }
    EXPECT_FALSE(sparse::solve_complex(2, regular, std::vector<C>{C(kInf, 0), C(0, 0)}));
    EXPECT_FALSE(sparse::solve_complex(2, {}, rhs));  // no entry at all
    EXPECT_FALSE(sparse::solve_complex(2, std::vector<TC>{{2, 0, C(1, 0)}}, rhs));
    EXPECT_EQ(sparse::solve_complex(0, {}, {}), std::vector<C>{});
    EXPECT_THROW(sparse::solve_complex(2, regular, std::span(rhs).first(1)), Stop);
}

// A 3x3 pattern given out of order, with (1, 1) given twice.
const std::vector<TR> kPattern = {{1, 1, 0}, {0, 0, 0}, {2, 0, 0}, {0, 1, 0}, {1, 0, 0},
                                  {2, 2, 0}, {1, 1, 0}, {1, 2, 0}, {2, 1, 0}};
const std::vector<double> kRhs = {1.0, -2.0, 0.5};
const std::vector<double> kRegular = {2, 4, 1, 1, 0.5, 5, 2, -1, 0.25};

// One object serves several value sets; a failed call (singular or non-finite values, or a
// non-finite solution) leaves it answering the next call bit for bit like a fresh object.
TEST(RealSparseSystem, ServesSeveralValueSetsAndOutlivesFailedCalls) {
    auto sys = RealSparseSystem::create(3, kPattern);
    ASSERT_TRUE(sys);
    // Regular sets, each followed by a failing one: (1, 1) non-zero only as the sum of its two
    // values; row 1 twice row 0 once (1, 1) is summed; an infinite value.
    const std::pair<std::vector<double>, std::vector<double>> sets[] = {
        {{1, -3, 0, 2, 1, 1, 1, 0, 3}, {1, 1, 0, 1, 2, 1, 1, 0, 0}},
        {kRegular, {2, 4, 1, kInf, 0.5, 5, 2, -1, 0.25}},
    };
    for (const auto& [values, failing] : sets) {
        const auto x = RealSparseSystem::create(3, kPattern)->factor_and_solve_values(values, kRhs);
        ASSERT_TRUE(x);
        std::vector<double> ax(3, 0.0);
        for (std::size_t k = 0; k < kPattern.size(); ++k) {
            ax[kPattern[k].row] += values[k] * (*x)[kPattern[k].col];
        }
        for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(ax[i], kRhs[i], 1e-12);
        EXPECT_FALSE(sys->factor_and_solve_values(failing, kRhs));
        EXPECT_EQ(sys->factor_and_solve_values(values, kRhs), x);
    }
    EXPECT_FALSE(sys->factor_and_solve_values(kRegular, std::vector{kInf, 0.0, 0.0}));
    EXPECT_THROW(sys->factor_and_solve_values(std::span(kRegular).first(8), kRhs), Stop);
    EXPECT_THROW(sys->factor_and_solve_values(kRegular, std::span(kRhs).first(2)), Stop);
    // A value given once is stored as given, -0.0 included: x0 = (-0 - (-0) * x1) / 2 is +0 here
    // and would be -0 had the entry been stored as +0.
    const auto z =
        RealSparseSystem::create(2, std::vector<TR>{{0, 0, 0}, {0, 1, 0}, {1, 1, 0}})
            ->factor_and_solve_values(std::vector{2.0, -0.0, 3.0}, std::vector{-0.0, 1.0});
    ASSERT_TRUE(z);
    EXPECT_FALSE(std::signbit((*z)[0]));

    // Column 1 holds no entry: analysed, but never factored.
    auto holed = RealSparseSystem::create(2, std::vector<TR>{{0, 0, 0}, {1, 0, 0}});
    ASSERT_TRUE(holed);
    EXPECT_FALSE(holed->factor_and_solve_values(std::vector{1.0, 2.0}, std::vector{1.0, 1.0}));
    EXPECT_FALSE(RealSparseSystem::create(3, std::vector<TR>{{0, 3, 1}}));
    EXPECT_FALSE(RealSparseSystem::create(3, {}));
    EXPECT_FALSE(RealSparseSystem::create(std::size_t{1} << 31, {}));  // KLU indexes with int
    auto empty = RealSparseSystem::create(0, {});
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->factor_and_solve_values({}, {}), std::vector<double>{});
}

// A random system of `blocks` diagonal blocks coupled upwards (block upper triangular, as KLU's
// block triangular form finds it), with repeated positions and, in blocks of two or more, some
// zero diagonal entries, so that pivots come off the diagonal; a cycle through each block keeps it
// regular. The pattern is fixed by the seed, the values by `rng`.
template <class T>
struct RandomSystem {
    std::size_t n = 0;
    std::vector<Triplet<T>> triplets;
    bool zero_diagonals = false;

    RandomSystem(std::size_t blocks, std::size_t block_size, unsigned seed)
        : n(blocks * block_size), zero_diagonals(block_size > 1) {
        std::mt19937 pick(seed);
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t first = b * block_size;
            for (std::size_t j = first; j < first + block_size; ++j) {
                triplets.push_back({j, j, T(0)});
                triplets.push_back({first + (j - first + 1) % block_size, j, T(0)});
                for (int k = 0; k < 3; ++k) {
                    // Mostly within the block; now and then from a row of an earlier block.
                    const std::size_t lo = pick() % 5 == 0 ? 0 : first;
                    triplets.push_back({lo + pick() % (first + block_size - lo), j, T(0)});
                }
            }
        }
    }
    static T random(std::mt19937& rng) {
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        if constexpr (std::is_same_v<T, double>) {
            return u(rng);
        } else {
            return T(u(rng), u(rng));
        }
    }
    std::vector<T> values(std::mt19937& rng) const {
        std::vector<T> v(triplets.size());
        for (std::size_t k = 0; k < v.size(); ++k) {
            const bool zero =
                zero_diagonals && triplets[k].row == triplets[k].col && rng() % 4 == 0;
            v[k] = zero ? T(0) : random(rng);
        }
        return v;
    }
    std::vector<T> rhs(std::mt19937& rng) const {
        std::vector<T> b(n);
        for (T& v : b) v = random(rng);
        return b;
    }
    std::vector<Triplet<T>> with(const std::vector<T>& values) const {
        std::vector<Triplet<T>> t = triplets;
        for (std::size_t k = 0; k < t.size(); ++k) t[k].value = values[k];
        return t;
    }
    // The dense reference: partial-pivoting LU of the summed matrix.
    std::vector<T> dense_solve(const std::vector<T>& values, const std::vector<T>& rhs) const {
        using Matrix = Eigen::Matrix<T, Eigen::Dynamic, Eigen::Dynamic>;
        using Vector = Eigen::Matrix<T, Eigen::Dynamic, 1>;
        const auto len = static_cast<Eigen::Index>(n);
        Matrix a = Matrix::Zero(len, len);
        for (std::size_t k = 0; k < triplets.size(); ++k) {
            a(static_cast<Eigen::Index>(triplets[k].row),
              static_cast<Eigen::Index>(triplets[k].col)) += values[k];
        }
        const Vector x = a.partialPivLu().solve(Eigen::Map<const Vector>(rhs.data(), len));
        return std::vector<T>(x.data(), x.data() + len);
    }
};

// One object, several value sets (each pivoted afresh), against the dense reference; the complex
// solve of the initial guess on the same systems.
TEST(KluSolves, RandomBlockTriangularSystemsMatchDenseLu) {
    const struct {
        std::size_t blocks, block_size;
    } shapes[] = {{1, 1}, {1, 9}, {4, 1}, {3, 12}, {6, 40}};
    std::mt19937 rng(7);
    for (const auto& [blocks, block_size] : shapes) {
        SCOPED_TRACE(::testing::Message() << blocks << " blocks of " << block_size);
        const RandomSystem<double> real(blocks, block_size, 11);
        auto sys = RealSparseSystem::create(real.n, real.triplets);
        ASSERT_TRUE(sys);
        for (int set = 0; set < 3; ++set) {
            const std::vector<double> values = real.values(rng);
            const std::vector<double> rhs = real.rhs(rng);
            const auto x = sys->factor_and_solve_values(values, rhs);
            ASSERT_TRUE(x);
            EXPECT_LT(test_support::rel_diff(*x, real.dense_solve(values, rhs)), 1e-9);
        }
        const RandomSystem<C> complex(blocks, block_size, 13);
        const std::vector<C> values = complex.values(rng);
        const std::vector<C> rhs = complex.rhs(rng);
        const auto z = sparse::solve_complex(complex.n, complex.with(values), rhs);
        ASSERT_TRUE(z);
        EXPECT_LT(test_support::rel_diff(*z, complex.dense_solve(values, rhs)), 1e-9);
    }
}

// KLU allocates through SuiteSparse's configurable functions; a budget of allocations lets each of
// its allocations fail in turn.
std::size_t klu_allocations_left = 0;

void* budget_malloc(std::size_t size) {
    if (klu_allocations_left == 0) return nullptr;
    --klu_allocations_left;
    return std::malloc(size);
}
void* budget_calloc(std::size_t count, std::size_t size) {
    if (klu_allocations_left == 0) return nullptr;
    --klu_allocations_left;
    return std::calloc(count, size);
}
void* budget_realloc(void* p, std::size_t size) {
    if (klu_allocations_left == 0) return nullptr;
    --klu_allocations_left;
    return std::realloc(p, size);
}

struct KluAllocationBudget {
    decltype(SuiteSparse_config) saved = SuiteSparse_config;
    explicit KluAllocationBudget(std::size_t allowed) {
        klu_allocations_left = allowed;
        SuiteSparse_config.malloc_func = budget_malloc;
        SuiteSparse_config.calloc_func = budget_calloc;
        SuiteSparse_config.realloc_func = budget_realloc;
    }
    ~KluAllocationBudget() { SuiteSparse_config = saved; }
};

// Runs `call` with a budget of 0, 1, 2, ... KLU allocations until it gets through: every shorter
// budget must throw std::bad_alloc (never give an absent result), and `check` must then find the
// objects serving as before. Returns the call's result with enough memory.
template <class Call, class Check>
auto under_every_budget(Call call, Check check) {
    for (std::size_t allowed = 0; allowed < 1000; ++allowed) {
        try {
            KluAllocationBudget budget(allowed);
            auto result = call();
            EXPECT_GT(allowed, 0u) << "the call allocates nothing through KLU";
            return result;
        } catch (const std::bad_alloc&) {
            check();
        }
    }
    ADD_FAILURE() << "no budget was enough";
    return decltype(call())();
}

TEST(KluSolves, ExhaustedMemoryThrowsBadAllocAndLeavesTheObjectUsable) {
    // A zero on the diagonal takes an off-diagonal pivot, so that no factorisation is kept and
    // every call factors afresh.
    const std::vector<double> pivoting = {2, 0, 1, 1, 0.5, 5, 2, -1, 0.25};
    auto sys = RealSparseSystem::create(3, kPattern);
    ASSERT_TRUE(sys);
    const auto x = sys->factor_and_solve_values(pivoting, kRhs);
    ASSERT_TRUE(x);
    auto serves = [&] { EXPECT_EQ(sys->factor_and_solve_values(pivoting, kRhs), x); };
    EXPECT_EQ(
        under_every_budget([&] { return sys->factor_and_solve_values(pivoting, kRhs); }, serves),
        x);

    auto created = under_every_budget([] { return RealSparseSystem::create(3, kPattern); }, [] {});
    ASSERT_TRUE(created);
    EXPECT_EQ(created->factor_and_solve_values(pivoting, kRhs), x);

    const std::vector<TC> triplets = {
        {0, 0, C(2, 0)}, {0, 1, C(0, 1)}, {1, 0, C(1, 0)}, {1, 1, C(3, 0)}};
    const std::vector<C> rhs = {C(3, 4), C(7, -2)};
    const auto z = sparse::solve_complex(2, triplets, rhs);
    EXPECT_EQ(under_every_budget([&] { return sparse::solve_complex(2, triplets, rhs); }, [] {}),
              z);
}

}  // namespace
}  // namespace quillmere
