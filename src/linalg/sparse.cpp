#include "linalg/sparse.hpp"

#include <klu.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

#include "common/stop.hpp"
#include "linalg/compressed_pattern.hpp"

namespace quillmere {

namespace {

static_assert(std::is_same_v<Eigen::SparseMatrix<Complex>::StorageIndex, int>);
// KLU reads the pattern's unsigned 32-bit arrays in place as int, the corresponding signed type.
static_assert(std::is_same_v<std::uint32_t, unsigned int>);
// same_pivots reads the factors in the storage layout of KLU 1.3 (SuiteSparse 5): another KLU is
// to be checked against it before it is built in.
static_assert(KLU_MAIN_VERSION == 1 && KLU_SUB_VERSION == 3, "checked against KLU 1.3 only");
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
bool all_finite(std::span<const T> x) {
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

// A square pattern stored in the order of KLU's own analysis of it (block triangular form, AMD
// ordering, at KLU's defaults): stored row k is given row row_of[k], stored column k given column
// col_of[k]. Stored so, it is analysed once more in its natural order and as one block, and every
// factorisation walks rows and columns in memory order instead of through the permutation.
struct KluSystem {
    CompressedPattern pattern;  // the triplets at their stored positions
    std::vector<int> row_of;
    std::vector<int> col_of;
    KluCommon common;
    KluSymbolic symbolic;  // none when n = 0
};

// The system of the triplets' positions. Absent when an index is >= n, n or the triplet count
// exceeds int, or n > 0 without any triplet (KLU analyses no empty pattern; the matrix is
// singular anyway).
template <class T>
std::unique_ptr<KluSystem> klu_system(std::size_t n, std::span<const Triplet<T>> triplets) {
    if (!fits_int(n, triplets.size()) || !indices_below(n, triplets)) return nullptr;
    if (n > 0 && triplets.empty()) return nullptr;
    auto system = std::make_unique<KluSystem>();
    std::optional<CompressedPattern> given = compress_pattern(n, triplets);
    if (!given) return nullptr;
    if (n == 0) {
        system->pattern = *std::move(given);
        return system;
    }
    double estimated_lnz = 0.0;  // the analysis's estimate of the entries of L
    {
        KluCommon common;
        const KluSymbolic order(klu_analyze(static_cast<int>(n), klu_indices(given->col_ptr),
                                            klu_indices(given->row_idx), &common.c),
                                {&common.c});
        if (!klu_succeeded(common.c) || !order) stop("KLU found no analysis of a valid pattern");
        system->row_of.assign(order->P, order->P + n);
        system->col_of.assign(order->Q, order->Q + n);
        estimated_lnz = order->lnz;
    }
    given.reset();
    std::vector<std::size_t> stored(n);
    std::vector<std::size_t> rows(triplets.size());
    std::vector<std::size_t> cols(triplets.size());
    for (std::size_t k = 0; k < n; ++k) stored[static_cast<std::size_t>(system->row_of[k])] = k;
    for (std::size_t t = 0; t < triplets.size(); ++t) rows[t] = stored[triplets[t].row];
    for (std::size_t k = 0; k < n; ++k) stored[static_cast<std::size_t>(system->col_of[k])] = k;
    for (std::size_t t = 0; t < triplets.size(); ++t) cols[t] = stored[triplets[t].col];
    system->pattern = compress_pattern(n, rows, cols).value();  // the sizes passed before

    // No block triangular form again: the stored order already is one.
    klu_common& c = system->common.c;
    c.btf = 0;
    system->symbolic =
        KluSymbolic(klu_analyze_given(static_cast<int>(n), klu_indices(system->pattern.col_ptr),
                                      klu_indices(system->pattern.row_idx), nullptr, nullptr, &c),
                    {&c});
    if (!klu_succeeded(c) || !system->symbolic) stop("KLU found no analysis of a valid pattern");
    // A given order comes without a fill estimate, and KLU would size the first factors by the
    // matrix instead (ten times its entries); the estimate of the first analysis serves.
    if (estimated_lnz > 0.0) system->symbolic->Lnz[0] = estimated_lnz;
    return system;
}

// A factorisation of T = double or Complex values, freed with its system's settings.
template <class T>
using KluFactors = std::conditional_t<std::is_same_v<T, double>, KluNumeric, KluComplexNumeric>;

double squared_magnitude(double v) {
    return v * v;
}
double squared_magnitude(Complex v) {
    return v.real() * v.real() + v.imag() * v.imag();
}

// True when KLU's partial pivoting, run afresh on the matrix that `factors` holds the
// refactorisation of, would choose the pivots `factors` was made with, all on the diagonal, so
// that the refactorisation is, operation for operation, that factorisation: in each column the
// diagonal passes KLU's test |pivot| >= tol * max |candidate| with a margin far above the
// rounding of the stored multipliers (candidate / pivot). KLU keeps the one block of the system
// (no block triangular form: see klu_system) as columns of L, each its row indices padded to
// whole entries and then its values (GET_POINTER of klu_version.h).
template <class T>
bool same_pivots(const klu_numeric& factors, double tol) {
    if (!(tol > 0.0 && tol < 1.0) || factors.nblocks != 1) return false;
    const std::size_t n = static_cast<std::size_t>(factors.n);
    const T* pivot = static_cast<const T*>(factors.Udiag);
    // A pivot near underflow would leave its multipliers less exact than the margin assumes.
    constexpr double kSmallestPivot = 1e-200;  // squared
    for (std::size_t k = 0; k < n; ++k) {
        if (!(squared_magnitude(pivot[k]) >= kSmallestPivot)) return false;
    }
    if (n == 1) return true;  // a single entry is its own pivot
    const double bound = (1.0 - 1e-9) / (tol * tol);
    const T* lu = static_cast<const T*>(factors.LUbx[0]);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t len = static_cast<std::size_t>(factors.Llen[k]);
        const T* multipliers =
            lu + factors.Lip[k] + (len * sizeof(int) + sizeof(T) - 1) / sizeof(T);
        for (std::size_t p = 0; p < len; ++p) {
            if (!(squared_magnitude(multipliers[p]) <= bound)) return false;
        }
    }
    return true;
}

// Whether a factorisation chose every pivot on the diagonal.
bool diagonal_pivots(const klu_numeric& factors) {
    for (int k = 0; k < factors.n; ++k) {
        if (factors.Pnum[k] != k) return false;
    }
    return true;
}

// Factors the stored values with KLU's partial pivoting and solves for `rhs` given in the
// original order: x on success; false when KLU finds the matrix singular or x is not finite. `work`
// holds n values. T is double or Complex, whose arrays KLU reads as interleaved real and imaginary
// parts, as std::complex lays them out. When the kept factorisation's pivots are those pivoting
// would choose for these values (same_pivots), it is refactored along them instead, which gives
// the same factors bit for bit at a fraction of the cost (no pivot search, no reach); otherwise
// the values are factored afresh, and a factorisation whose pivots all lie on the diagonal is
// kept in `kept` for the next call. Either way x is what a fresh factorisation gives.
template <class T>
bool klu_factor_and_solve(KluSystem& s, KluFactors<T>& kept, std::uint64_t& refactorizations,
                          std::span<T> values, std::span<const T> rhs, std::span<T> work,
                          std::span<T> x) {
    const std::size_t n = s.pattern.n;
    int* const ap = klu_indices(s.pattern.col_ptr);
    int* const ai = klu_indices(s.pattern.row_idx);
    double* const ax = reinterpret_cast<double*>(values.data());
    double* const b = reinterpret_cast<double*>(work.data());
    klu_common* const c = &s.common.c;
    for (std::size_t k = 0; k < n; ++k) work[k] = rhs[static_cast<std::size_t>(s.row_of[k])];
    klu_numeric* factors = nullptr;
    if (kept) {
        klu_numeric* const along = kept.get();
        if constexpr (std::is_same_v<T, double>) {
            klu_refactor(ap, ai, ax, s.symbolic.get(), along, c);
        } else {
            klu_z_refactor(ap, ai, ax, s.symbolic.get(), along, c);
        }
        if (klu_succeeded(*c) && same_pivots<T>(*along, c->tol)) {
            factors = along;
            ++refactorizations;
        }
    }
    KluFactors<T> fresh(nullptr, {c});
    if (factors == nullptr) {
        if constexpr (std::is_same_v<T, double>) {
            fresh.reset(klu_factor(ap, ai, ax, s.symbolic.get(), c));
        } else {
            fresh.reset(klu_z_factor(ap, ai, ax, s.symbolic.get(), c));
        }
        if (!klu_succeeded(*c) || !fresh) return false;
        factors = fresh.get();
    }
    if constexpr (std::is_same_v<T, double>) {
        klu_solve(s.symbolic.get(), factors, static_cast<int>(n), 1, b, c);
    } else {
        klu_z_solve(s.symbolic.get(), factors, static_cast<int>(n), 1, b, c);
    }
    if (fresh && diagonal_pivots(*fresh)) kept = std::move(fresh);
    if (!klu_succeeded(*c)) return false;
    for (std::size_t k = 0; k < n; ++k) x[static_cast<std::size_t>(s.col_of[k])] = work[k];
    return all_finite<T>(x);
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

template <class T>
struct KluSparseSystemState {
    std::unique_ptr<KluSystem> klu;
    KluFactors<T> kept;     // pivots all on the diagonal; after klu, whose settings free it
    std::vector<T> values;  // one per stored entry, refilled by every call
    std::vector<T> work;    // n values
    std::uint64_t refactorizations = 0;
};

template <class T>
KluSparseSystem<T>::KluSparseSystem(std::unique_ptr<KluSparseSystemState<T>> state)
    : state_(std::move(state)) {}
template <class T>
KluSparseSystem<T>::KluSparseSystem(KluSparseSystem&&) noexcept = default;
template <class T>
KluSparseSystem<T>& KluSparseSystem<T>::operator=(KluSparseSystem&&) noexcept = default;
template <class T>
KluSparseSystem<T>::~KluSparseSystem() = default;

template <class T>
std::size_t KluSparseSystem<T>::n() const {
    return state_->klu->pattern.n;
}

template <class T>
std::uint64_t KluSparseSystem<T>::refactorizations() const {
    return state_->refactorizations;
}

template <class T>
std::optional<KluSparseSystem<T>> KluSparseSystem<T>::create(std::size_t n,
                                                             std::span<const Triplet<T>> triplets) {
    auto state = std::make_unique<KluSparseSystemState<T>>();
    state->klu = klu_system(n, triplets);
    if (!state->klu) return std::nullopt;
    state->values.assign(state->klu->pattern.entries(), T(0.0));
    state->work.assign(n, T(0.0));
    return KluSparseSystem(std::move(state));
}

template <class T>
std::optional<std::vector<T>> KluSparseSystem<T>::factor_and_solve_values(std::span<const T> values,
                                                                          std::span<const T> rhs) {
    auto& s = *state_;
    const std::size_t n = s.klu->pattern.n;
    s.klu->pattern.template scatter<T>(values, s.values);
    check_len(rhs.size(), n, "rhs");
    std::vector<T> x(n);
    if (n == 0) return x;
    if (!klu_factor_and_solve<T>(*s.klu, s.kept, s.refactorizations, s.values, rhs, s.work, x)) {
        return std::nullopt;
    }
    return x;
}

template class KluSparseSystem<double>;
template class KluSparseSystem<Complex>;

namespace sparse {

std::optional<std::vector<Complex>> solve_complex(std::size_t n,
                                                  std::span<const Triplet<Complex>> triplets,
                                                  std::span<const Complex> rhs) {
    std::optional<ComplexSparseSystem> system = ComplexSparseSystem::create(n, triplets);
    if (!system) return std::nullopt;
    std::vector<Complex> values(triplets.size());
    for (std::size_t k = 0; k < triplets.size(); ++k) values[k] = triplets[k].value;
    return system->factor_and_solve_values(values, rhs);
}

}  // namespace sparse

}  // namespace quillmere
