#include "sparse.hpp"

#include <klu.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

#include "compressed_pattern.hpp"
#include "stop.hpp"

namespace quillmere {

namespace {

static_assert(std::is_same_v<Eigen::SparseMatrix<Complex>::StorageIndex, int>);
// KLU reads the pattern's unsigned 32-bit arrays in place as int, the corresponding signed type.
static_assert(std::is_same_v<std::uint32_t, unsigned int>);
constexpr std::size_t kMaxIndex = static_cast<std::size_t>(std::numeric_limits<int>::max());

// Eigen and 32-bit KLU both index with int: a dimension or an entry count it cannot hold is
// refused.
bool fits_int(std::size_t n, std::size_t count) {
    return n <= kMaxIndex && count <= kMaxIndex;
}

template <class T>
bool indices_below(std::size_t n, std::span<const Triplet<T>> triplets) {
    return std::all_of(triplets.begin(), triplets.end(),
                       [n](const Triplet<T>& t) { return t.row < n && t.col < n; });
}

bool is_finite(double v) {
    return std::isfinite(v);
}
bool is_finite(Complex v) {
    return std::isfinite(v.real()) && std::isfinite(v.imag());
}

template <class T>
bool all_finite(const std::vector<T>& x) {
    return std::all_of(x.begin(), x.end(), [](T v) { return is_finite(v); });
}

// KLU's settings and statistics at its defaults: row scaling by the largest entry, block
// triangular form, AMD ordering, partial pivoting with diagonal preference. The KLU objects made
// with it point to it, so it never moves.
struct KluCommon {
    klu_common c;
    KluCommon() { klu_defaults(&c); }
    KluCommon(const KluCommon&) = delete;
    KluCommon& operator=(const KluCommon&) = delete;
};

template <class T, int (*Free)(T**, klu_common*)>
struct KluFree {
    klu_common* common = nullptr;
    void operator()(T* object) const { Free(&object, common); }
};
using KluSymbolic = std::unique_ptr<klu_symbolic, KluFree<klu_symbolic, klu_free_symbolic>>;
using KluNumeric = std::unique_ptr<klu_numeric, KluFree<klu_numeric, klu_free_numeric>>;
using KluComplexNumeric = std::unique_ptr<klu_numeric, KluFree<klu_numeric, klu_z_free_numeric>>;

// True when the last KLU call succeeded, false when it found the matrix singular. KLU short of
// memory (or of int indices for the factors) leaves as std::bad_alloc, so exhausted memory is
// never taken for a singular matrix; an input KLU refuses breaks the pattern's own guarantees.
bool klu_succeeded(const klu_common& common) {
    switch (common.status) {
        case KLU_OK:
            return true;
        case KLU_SINGULAR:
            return false;
        case KLU_OUT_OF_MEMORY:
        case KLU_TOO_LARGE:
            throw std::bad_alloc();
        default:
            stop("KLU refused a valid compressed pattern (status " + std::to_string(common.status) +
                 ")");
    }
}

int* klu_indices(std::vector<std::uint32_t>& v) {
    return reinterpret_cast<int*>(v.data());
}

// The compressed pattern of the triplets, for 32-bit KLU. Absent when an index is >= n, n or the
// triplet count exceeds int, or n > 0 without any triplet (KLU analyses no empty pattern; the
// matrix is singular anyway).
template <class T>
std::optional<CompressedPattern> klu_pattern(std::size_t n, std::span<const Triplet<T>> triplets) {
    if (!fits_int(n, triplets.size()) || !indices_below(n, triplets)) return std::nullopt;
    if (n > 0 && triplets.empty()) return std::nullopt;
    return compress_pattern(n, triplets);
}

// KLU's analysis of a non-empty pattern, which does not depend on the values.
KluSymbolic klu_analysis(CompressedPattern& pattern, KluCommon& common) {
    KluSymbolic symbolic(klu_analyze(static_cast<int>(pattern.n), klu_indices(pattern.col_ptr),
                                     klu_indices(pattern.row_idx), &common.c),
                         {&common.c});
    if (!klu_succeeded(common.c) || !symbolic) stop("KLU found no analysis of a valid pattern");
    return symbolic;
}

}  // namespace

std::optional<SparseMatrix> SparseMatrix::build(std::size_t n,
                                                std::span<const Triplet<Complex>> triplets) {
    if (!fits_int(n, triplets.size()) || !indices_below(n, triplets)) return std::nullopt;
    std::vector<Eigen::Triplet<Complex, int>> list;
    list.reserve(triplets.size());
    for (const auto& t : triplets) {
        list.emplace_back(static_cast<int>(t.row), static_cast<int>(t.col), t.value);
    }
    SparseMatrix out;
    out.n = n;
    out.mat.resize(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(n));
    // Sums duplicates in input order and keeps zero sums stored; rows come out ascending.
    out.mat.setFromTriplets(list.begin(), list.end());
    out.mat.makeCompressed();
    return out;
}

std::vector<Complex> SparseMatrix::mul_vec(std::span<const Complex> x) const {
    std::vector<Complex> y(n);
    mul_vec_into(x, y);
    return y;
}

void SparseMatrix::mul_vec_into(std::span<const Complex> x, std::span<Complex> y) const {
    check_len(x.size(), n, "x");
    if (y.size() != n)
        stop("the product of " + std::to_string(n) + " rows into " + std::to_string(y.size()) +
             " values");
    const auto len = static_cast<Eigen::Index>(n);
    Eigen::Map<const Eigen::VectorXcd> xv(x.data(), len);
    Eigen::Map<Eigen::VectorXcd>(y.data(), len).noalias() = mat * xv;
}

namespace sparse {

std::optional<std::vector<Complex>> solve_complex(std::size_t n,
                                                  std::span<const Triplet<Complex>> triplets,
                                                  std::span<const Complex> rhs) {
    std::optional<CompressedPattern> pattern = klu_pattern(n, triplets);
    if (!pattern) return std::nullopt;
    check_len(rhs.size(), n, "rhs");
    std::vector<Complex> x(rhs.begin(), rhs.begin() + static_cast<std::ptrdiff_t>(n));
    if (n == 0) return x;

    std::vector<Complex> given(triplets.size());
    for (std::size_t k = 0; k < triplets.size(); ++k) given[k] = triplets[k].value;
    std::vector<Complex> values(pattern->entries());
    pattern->scatter<Complex>(given, values);

    // KLU's complex arrays interleave real and imaginary parts, as std::complex lays them out.
    KluCommon common;
    const KluSymbolic symbolic = klu_analysis(*pattern, common);
    const KluComplexNumeric numeric(
        klu_z_factor(klu_indices(pattern->col_ptr), klu_indices(pattern->row_idx),
                     reinterpret_cast<double*>(values.data()), symbolic.get(), &common.c),
        {&common.c});
    if (!klu_succeeded(common.c) || !numeric) return std::nullopt;
    klu_z_solve(symbolic.get(), numeric.get(), static_cast<int>(n), 1,
                reinterpret_cast<double*>(x.data()), &common.c);
    if (!klu_succeeded(common.c) || !all_finite(x)) return std::nullopt;
    return x;
}

}  // namespace sparse

struct RealSparseSystemState {
    CompressedPattern pattern;
    std::vector<double> values;  // one per pattern entry, refilled by every call
    KluCommon common;
    KluSymbolic symbolic;  // made once in `create`; none when n = 0
};

RealSparseSystem::RealSparseSystem(std::unique_ptr<RealSparseSystemState> state)
    : state_(std::move(state)) {}
RealSparseSystem::RealSparseSystem(RealSparseSystem&&) noexcept = default;
RealSparseSystem& RealSparseSystem::operator=(RealSparseSystem&&) noexcept = default;
RealSparseSystem::~RealSparseSystem() = default;

std::size_t RealSparseSystem::n() const {
    return state_->pattern.n;
}

std::optional<RealSparseSystem> RealSparseSystem::create(
    std::size_t n, std::span<const Triplet<double>> triplets) {
    std::optional<CompressedPattern> pattern = klu_pattern(n, triplets);
    if (!pattern) return std::nullopt;
    auto state = std::make_unique<RealSparseSystemState>();
    state->pattern = *std::move(pattern);
    state->values.assign(state->pattern.entries(), 0.0);
    if (n > 0) state->symbolic = klu_analysis(state->pattern, state->common);
    return RealSparseSystem(std::move(state));
}

std::optional<std::vector<double>> RealSparseSystem::factor_and_solve_values(
    std::span<const double> values, std::span<const double> rhs) {
    auto& s = *state_;
    const std::size_t n = s.pattern.n;
    s.pattern.scatter<double>(values, s.values);
    check_len(rhs.size(), n, "rhs");
    std::vector<double> x(rhs.begin(), rhs.begin() + static_cast<std::ptrdiff_t>(n));
    if (n == 0) return x;

    // A fresh factorisation every time, pivoting anew on the new values (no refactorisation along
    // an earlier pivot order). The numeric object of a failed call is freed with it.
    const KluNumeric numeric(
        klu_factor(klu_indices(s.pattern.col_ptr), klu_indices(s.pattern.row_idx), s.values.data(),
                   s.symbolic.get(), &s.common.c),
        {&s.common.c});
    if (!klu_succeeded(s.common.c) || !numeric) return std::nullopt;
    klu_solve(s.symbolic.get(), numeric.get(), static_cast<int>(n), 1, x.data(), &s.common.c);
    if (!klu_succeeded(s.common.c) || !all_finite(x)) return std::nullopt;
    return x;
}

}  // namespace quillmere
