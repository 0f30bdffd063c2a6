#include "sparse.hpp"

#include <Eigen/OrderingMethods>
#include <Eigen/SparseLU>
#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "stop.hpp"

namespace quillmere {

namespace {

using StorageIndex = Eigen::SparseMatrix<double>::StorageIndex;
constexpr std::size_t kMaxIndex =
    static_cast<std::size_t>(std::numeric_limits<StorageIndex>::max());

// Eigen stores indices as int: a dimension or an entry count it cannot hold is refused.
bool fits_storage(std::size_t n, std::size_t count) {
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

}  // namespace

std::optional<SparseMatrix> SparseMatrix::build(std::size_t n,
                                                std::span<const Triplet<Complex>> triplets) {
    if (!fits_storage(n, triplets.size()) || !indices_below(n, triplets)) return std::nullopt;
    try {
        std::vector<Eigen::Triplet<Complex, StorageIndex>> list;
        list.reserve(triplets.size());
        for (const auto& t : triplets) {
            list.emplace_back(static_cast<StorageIndex>(t.row), static_cast<StorageIndex>(t.col),
                              t.value);
        }
        SparseMatrix out;
        out.n = n;
        out.mat.resize(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(n));
        // Sums duplicates in input order and keeps zero sums stored; rows come out ascending.
        out.mat.setFromTriplets(list.begin(), list.end());
        out.mat.makeCompressed();
        return out;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
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
    auto a = SparseMatrix::build(n, triplets);
    if (!a) return std::nullopt;
    if (n == 0) {
        check_len(rhs.size(), n, "rhs");
        return std::vector<Complex>{};
    }
    try {
        Eigen::SparseLU<Eigen::SparseMatrix<Complex>, Eigen::COLAMDOrdering<StorageIndex>> lu;
        lu.analyzePattern(a->mat);
        lu.factorize(a->mat);
        if (lu.info() != Eigen::Success) return std::nullopt;
        check_len(rhs.size(), n, "rhs");
        const auto len = static_cast<Eigen::Index>(n);
        Eigen::VectorXcd b = Eigen::Map<const Eigen::VectorXcd>(rhs.data(), len);
        std::vector<Complex> x(n);
        Eigen::Map<Eigen::VectorXcd>(x.data(), len) = lu.solve(b);
        if (!std::all_of(x.begin(), x.end(), [](Complex v) { return is_finite(v); })) {
            return std::nullopt;
        }
        return x;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace sparse

struct RealSparseSystemState {
    std::size_t n = 0;
    // For triplet k given to `create`, the index of its position among the stored values of
    // `matrix`; repeated positions share one slot, so their values add up.
    std::vector<std::size_t> slot;
    // The distinct positions, rows ascending within each column; its values are refilled per call.
    Eigen::SparseMatrix<double> matrix;
    // The pattern analysis (column ordering and elimination tree), made once in `create`.
    Eigen::SparseLU<Eigen::SparseMatrix<double>, Eigen::COLAMDOrdering<StorageIndex>> lu;
};

RealSparseSystem::RealSparseSystem(std::unique_ptr<RealSparseSystemState> state)
    : state_(std::move(state)) {}
RealSparseSystem::RealSparseSystem(RealSparseSystem&&) noexcept = default;
RealSparseSystem& RealSparseSystem::operator=(RealSparseSystem&&) noexcept = default;
RealSparseSystem::~RealSparseSystem() = default;

std::size_t RealSparseSystem::n() const {
    return state_->n;
}

std::optional<RealSparseSystem> RealSparseSystem::create(
    std::size_t n, std::span<const Triplet<double>> triplets) {
    if (!fits_storage(n, triplets.size()) || !indices_below(n, triplets)) return std::nullopt;
    try {
        auto state = std::make_unique<RealSparseSystemState>();
        state->n = n;
        const std::size_t count = triplets.size();

        // Distribute the triplet indices by column, keeping triplet order within a column.
        std::vector<std::size_t> col_start(n + 1, 0);
        for (const auto& t : triplets) ++col_start[t.col + 1];
        for (std::size_t c = 0; c < n; ++c) col_start[c + 1] += col_start[c];
        std::vector<std::size_t> order(count);
        {
            std::vector<std::size_t> next(col_start.begin(), col_start.end() - 1);
            for (std::size_t k = 0; k < count; ++k) order[next[triplets[k].col]++] = k;
        }

        // Sort each column by row, then give every distinct position one slot.
        std::vector<StorageIndex> outer(n + 1, 0);
        std::vector<StorageIndex> inner;
        inner.reserve(count);
        state->slot.assign(count, 0);
        for (std::size_t c = 0; c < n; ++c) {
            const auto first = order.begin() + static_cast<std::ptrdiff_t>(col_start[c]);
            const auto last = order.begin() + static_cast<std::ptrdiff_t>(col_start[c + 1]);
            std::stable_sort(first, last, [&](std::size_t a, std::size_t b) {
                return triplets[a].row < triplets[b].row;
            });
            for (auto it = first; it != last; ++it) {
                const auto row = static_cast<StorageIndex>(triplets[*it].row);
                if (it == first || inner.back() != row) inner.push_back(row);
                state->slot[*it] = inner.size() - 1;
            }
            outer[c + 1] = static_cast<StorageIndex>(inner.size());
        }

        auto& m = state->matrix;
        m.resize(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(n));
        m.resizeNonZeros(static_cast<Eigen::Index>(inner.size()));
        std::copy(outer.begin(), outer.end(), m.outerIndexPtr());
        std::copy(inner.begin(), inner.end(), m.innerIndexPtr());
        std::fill_n(m.valuePtr(), inner.size(), 0.0);

        if (n > 0) state->lu.analyzePattern(m);
        return RealSparseSystem(std::move(state));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<std::vector<double>> RealSparseSystem::factor_and_solve_values(
    std::span<const double> values, std::span<const double> rhs) {
    auto& s = *state_;
    if (values.size() != s.slot.size()) {
        stop("value list holds " + std::to_string(values.size()) + " values but the pattern has " +
             std::to_string(s.slot.size()) + " triplets");
    }
    // Each slot starts from negative zero, which adding leaves unchanged: a position given once
    // keeps its value bit for bit (a -0.0 included), a repeated one gets the sum in triplet order.
    double* stored = s.matrix.valuePtr();
    std::fill_n(stored, static_cast<std::size_t>(s.matrix.nonZeros()), -0.0);
    for (std::size_t k = 0; k < values.size(); ++k) stored[s.slot[k]] += values[k];

    if (s.n == 0) {
        check_len(rhs.size(), s.n, "rhs");
        return std::vector<double>{};
    }
    try {
        s.lu.factorize(s.matrix);
        if (s.lu.info() != Eigen::Success) return std::nullopt;
        check_len(rhs.size(), s.n, "rhs");
        const auto len = static_cast<Eigen::Index>(s.n);
        Eigen::VectorXd b = Eigen::Map<const Eigen::VectorXd>(rhs.data(), len);
        std::vector<double> x(s.n);
        Eigen::Map<Eigen::VectorXd>(x.data(), len) = s.lu.solve(b);
        if (!std::all_of(x.begin(), x.end(), [](double v) { return is_finite(v); })) {
            return std::nullopt;
        }
        return x;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace quillmere
