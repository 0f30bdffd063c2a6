#include "klu_native/klu_native.hpp"

#include <string>
#include <utility>

#include "klu_native/solve.hpp"
#include "stop.hpp"

namespace quillmere::klu_native {
namespace {

constexpr double pivot_tolerance = 0.001;

// Stable counting sort of the triplet indices `in` by `key`, which is below n.
template <class Key>
std::vector<std::size_t> stable_bucket(std::size_t n, const std::vector<std::size_t>& in, Key key) {
    std::vector<std::size_t> start(n + 1, 0);
    for (std::size_t t : in) ++start[key(t) + 1];
    for (std::size_t i = 0; i < n; ++i) start[i + 1] += start[i];
    std::vector<std::size_t> out(in.size());
    for (std::size_t t : in) out[start[key(t)]++] = t;
    return out;
}

// Negative zero plus the entry's values in list order: adding to it changes nothing, so a single
// value comes out unchanged, the sign of a zero included.
template <class Value>
std::vector<double> pack(const ValueMap& map, Value value) {
    std::vector<double> packed(map.entries());
    for (std::size_t e = 0; e < packed.size(); ++e) {
        double sum = -0.0;
        for (std::size_t t : map.entry(e)) sum += value(t);
        packed[e] = sum;
    }
    return packed;
}

}  // namespace

CscStructure build_csc_structure(std::size_t n, std::span<const Triplet<double>> triplets) {
    for (const Triplet<double>& t : triplets) {
        check_index(t.row, n);
        check_index(t.col, n);
    }
    std::vector<std::size_t> order(triplets.size());
    for (std::size_t t = 0; t < order.size(); ++t) order[t] = t;
    // Two stable passes, by row then by column, give the (column, row) order with the triplets on
    // one position in ascending index order.
    order = stable_bucket(n, order, [&](std::size_t t) { return triplets[t].row; });
    order = stable_bucket(n, order, [&](std::size_t t) { return triplets[t].col; });

    CscStructure csc;
    csc.col_ptr.assign(n + 1, 0);
    csc.value_map.triplets.reserve(triplets.size());
    for (std::size_t s = 0; s < order.size(); ++s) {
        const Triplet<double>& t = triplets[order[s]];
        const bool same =
            s > 0 && triplets[order[s - 1]].row == t.row && triplets[order[s - 1]].col == t.col;
        if (!same) {
            if (s > 0) csc.value_map.start.push_back(s);
            csc.row_idx.push_back(t.row);
            ++csc.col_ptr[t.col + 1];
        }
        csc.value_map.triplets.push_back(order[s]);
    }
    if (!order.empty()) csc.value_map.start.push_back(order.size());
    for (std::size_t j = 0; j < n; ++j) csc.col_ptr[j + 1] += csc.col_ptr[j];
    return csc;
}

std::vector<double> pack_values(const ValueMap& map, std::span<const Triplet<double>> triplets) {
    check_len(triplets.size(), map.triplets.size(), "triplet list");
    return pack(map, [&](std::size_t t) { return triplets[t].value; });
}

std::vector<double> pack_values_slice(const ValueMap& map, std::span<const double> values) {
    check_len(values.size(), map.triplets.size(), "value list");
    return pack(map, [&](std::size_t t) { return values[t]; });
}

KluNativeSystem::KluNativeSystem(CscStructure csc, Symbolic symbolic, Numeric numeric,
                                 std::size_t n)
    : col_ptr_(std::move(csc.col_ptr)),
      row_idx_(std::move(csc.row_idx)),
      value_map_(std::move(csc.value_map)),
      symbolic_(std::move(symbolic)),
      numeric_(std::move(numeric)),
      scratch_{std::vector<double>(n, 0.0), std::vector<std::vector<GatheredEntry>>(n)},
      n_(n) {}

std::optional<KluNativeSystem> KluNativeSystem::create(std::size_t n,
                                                       std::span<const Triplet<double>> triplets) {
    CscStructure csc = build_csc_structure(n, triplets);
    const std::vector<double> packed = pack_values(csc.value_map, triplets);
    Symbolic symbolic = analyze(n, csc.col_ptr, csc.row_idx);
    std::optional<Numeric> numeric =
        factor(n, csc.col_ptr, csc.row_idx, packed, symbolic, pivot_tolerance);
    if (!numeric) return std::nullopt;
    return KluNativeSystem(std::move(csc), std::move(symbolic), std::move(*numeric), n);
}

std::optional<std::vector<double>> KluNativeSystem::factor_and_solve_values(
    std::span<const double> values, std::span<const double> rhs) {
    if (values.size() != value_map_.triplets.size()) {
        stop("value list holds " + std::to_string(values.size()) + " values but the pattern has " +
             std::to_string(value_map_.triplets.size()) + " triplets");
    }
    check_len(rhs.size(), n_, "rhs");
    const std::vector<double> packed = pack_values_slice(value_map_, values);

    std::vector<std::size_t> offp(n_ + 1, 0);
    std::vector<std::size_t> offi;
    std::vector<double> offx;
    std::vector<std::vector<FactorEntry>> sink;
    const std::span<std::vector<GatheredEntry>> cols(scratch_.cols);
    for (std::size_t b = 0; b < numeric_.blocks.size(); ++b) {
        const std::size_t k1 = symbolic_.r[b];
        const std::size_t k2 = symbolic_.r[b + 1];
        const std::size_t nk = k2 - k1;
        gather_block_columns(k1, k2, col_ptr_, row_idx_, packed, symbolic_.q, numeric_.pinv,
                             cols.subspan(k1, nk));
        sink.assign(nk, {});
        if (!refactor_block_in_place(nk, numeric_.blocks[b], std::span(scratch_.x).first(nk),
                                     cols.subspan(k1, nk), sink)) {
            return std::nullopt;
        }
        append_off_diagonal(k1, sink, offp, offi, offx);
    }
    for (std::size_t& i : offi) i = numeric_.pinv[i];
    numeric_.offp = std::move(offp);
    numeric_.offi = std::move(offi);
    numeric_.offx = std::move(offx);
    return solve(symbolic_, numeric_, rhs);
}

}  // namespace quillmere::klu_native
