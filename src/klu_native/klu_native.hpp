#pragma once
// The "klu_native" Newton backend: the system's own sparse LU in the manner of KLU. `create`
// builds the compressed-column pattern, analyses it (block triangular form, fill-reducing order
// per block) and factors the first matrix with partial pivoting; every later matrix of the same
// pattern is refactored with that pivot order, without any new search, and solved.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "klu_native/analyze.hpp"
#include "klu_native/factor.hpp"
#include "klu_native/refactor.hpp"
#include "sparse.hpp"

namespace quillmere::klu_native {

// For every stored entry, the triplets that fall on its position, ascending: entry e owns
// triplets[start[e] .. start[e+1]-1].
struct ValueMap {
    std::vector<std::size_t> start{0};
    std::vector<std::size_t> triplets;

    std::size_t entries() const { return start.empty() ? 0 : start.size() - 1; }
    std::span<const std::size_t> entry(std::size_t e) const {
        return std::span<const std::size_t>(triplets).subspan(start[e], start[e + 1] - start[e]);
    }
};

struct CscStructure {
    std::vector<std::size_t> col_ptr;  // n+1
    std::vector<std::size_t> row_idx;  // rows strictly increasing within each column
    ValueMap value_map;
};

// The pattern of the triplets' positions, entries ordered by column then row. Only rows and
// columns are read. Stops on an index of n or more.
CscStructure build_csc_structure(std::size_t n, std::span<const Triplet<double>> triplets);

// One value per stored entry: negative zero plus the entry's triplet values in ascending triplet
// order, so a single triplet comes out unchanged (the sign of a zero included).
std::vector<double> pack_values(const ValueMap& map, std::span<const Triplet<double>> triplets);
// The same from a list of values, one per triplet. Stops when it is shorter than the triplets.
std::vector<double> pack_values_slice(const ValueMap& map, std::span<const double> values);

class KluNativeSystem {
  public:
    // Absent when the first factorisation finds a structurally singular block or an exactly zero
    // pivot. The triplet values serve that factorisation only. Stops on an index of n or more.
    static std::optional<KluNativeSystem> create(std::size_t n,
                                                 std::span<const Triplet<double>> triplets);

    // Refactors with `values` (one per triplet given to `create`, same order) along the stored
    // pivot order and solves. Absent on an exactly zero pivot or a solution that is not finite;
    // the next call then behaves as if this one had not been made. Stops when `values` differs in
    // length from the triplets or `rhs` holds fewer than n values.
    std::optional<std::vector<double>> factor_and_solve_values(std::span<const double> values,
                                                               std::span<const double> rhs);

    std::size_t n() const { return n_; }
    const std::vector<std::size_t>& col_ptr() const { return col_ptr_; }
    const std::vector<std::size_t>& row_idx() const { return row_idx_; }
    const ValueMap& value_map() const { return value_map_; }
    const Symbolic& symbolic() const { return symbolic_; }
    const Numeric& numeric() const { return numeric_; }

  private:
    KluNativeSystem(CscStructure csc, Symbolic symbolic, Numeric numeric, std::size_t n);

    std::vector<std::size_t> col_ptr_;
    std::vector<std::size_t> row_idx_;
    ValueMap value_map_;
    Symbolic symbolic_;
    Numeric numeric_;
    RefactorScratch scratch_;
    std::size_t n_ = 0;
};

}  // namespace quillmere::klu_native

namespace quillmere {
using klu_native::KluNativeSystem;
}  // namespace quillmere
