#include "linalg/klu_native/klu_native.hpp"

#include <cstring>
#include <utility>

#include "common/stop.hpp"
#include "linalg/klu_native/refactor.hpp"
#include "linalg/klu_native/solve.hpp"

namespace quillmere::klu_native {
namespace {

constexpr double pivot_tolerance = 0.001;

}  // namespace

KluNativeSystem::KluNativeSystem(PermutedMatrix matrix, Numeric numeric, std::vector<double> ax,
                                 std::vector<double> first_values)
    : matrix_(std::move(matrix)),
      numeric_(std::move(numeric)),
      ax_(std::move(ax)),
      x_(matrix_.a.n, 0.0),
      y_(matrix_.a.n, 0.0),
      first_values_(std::move(first_values)) {}

std::optional<KluNativeSystem> KluNativeSystem::create(std::size_t n,
                                                       std::span<const Triplet<double>> triplets) {
    std::optional<CompressedPattern> pattern = compress_pattern(n, triplets);
    if (!pattern) return std::nullopt;
    const std::optional<Symbolic> symbolic = analyze(*pattern);
    if (!symbolic) return std::nullopt;
    PermutedMatrix matrix = permute(*pattern, *symbolic);
    pattern.reset();
    std::vector<double> values(triplets.size());
    for (std::size_t t = 0; t < triplets.size(); ++t) values[t] = triplets[t].value;
    std::vector<double> ax(matrix.a.entries());
    matrix.a.scatter(std::span<const double>(values), std::span<double>(ax));
    std::optional<Numeric> numeric = factor(matrix, ax, *symbolic, pivot_tolerance);
    if (!numeric) return std::nullopt;
    move_to_pivot_rows(matrix, *symbolic, numeric->pnum, ax);
    return KluNativeSystem(std::move(matrix), std::move(*numeric), std::move(ax),
                           std::move(values));
}

std::optional<std::vector<double>> KluNativeSystem::factor_and_solve_values(
    std::span<const double> values, std::span<const double> rhs) {
    check_len(rhs.size(), n(), "rhs");
    // The factors already hold these values when they are the ones `create` factored.
    const bool factored =
        !first_values_.empty() && values.size() == first_values_.size() &&
        std::memcmp(values.data(), first_values_.data(), values.size_bytes()) == 0;
    std::vector<double>().swap(first_values_);
    if (!factored) {
        matrix_.a.scatter(values, std::span<double>(ax_));
        if (!refactor(matrix_, ax_, numeric_, x_)) return std::nullopt;
    }
    std::vector<double> x(n());
    if (!solve(matrix_, ax_, numeric_, rhs, y_, x)) return std::nullopt;
    return x;
}

}  // namespace quillmere::klu_native
