#include "klu_native/factor.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <string>

#include "klu_native/pattern_check.hpp"
#include "stop.hpp"

namespace quillmere::klu_native {
namespace {

// inverse[perm[k]] = k; stops unless perm holds every index below n once.
std::vector<std::uint32_t> inverse(std::size_t n, std::span<const std::uint32_t> perm,
                                   const char* what) {
    check_len(perm.size(), n, what);
    constexpr std::uint32_t unset = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> inv(n, unset);
    for (std::size_t k = 0; k < n; ++k) {
        check_index(perm[k], n);
        if (inv[perm[k]] != unset) stop(std::string(what) + " repeats " + std::to_string(perm[k]));
        inv[perm[k]] = static_cast<std::uint32_t>(k);
    }
    return inv;
}

// Stops unless `sym` orders n rows and columns in blocks that span them.
void check_blocks(std::size_t n, const Symbolic& sym) {
    if (sym.r.empty() || sym.r.front() != 0 || sym.r.back() != n ||
        std::adjacent_find(sym.r.begin(), sym.r.end(), std::greater<>()) != sym.r.end()) {
        stop("block boundaries do not span the matrix");
    }
}

// The pointers of the input columns placed in the order q: new column k is as long as column q[k].
std::vector<std::uint32_t> permuted_pointers(std::span<const std::uint32_t> col_ptr,
                                             std::span<const std::uint32_t> q) {
    std::vector<std::uint32_t> ptr(q.size() + 1);
    ptr[0] = 0;
    for (std::size_t k = 0; k < q.size(); ++k) {
        ptr[k + 1] = ptr[k] + (col_ptr[q[k] + 1] - col_ptr[q[k]]);
    }
    return ptr;
}

// Sorts the few keys of one column: insertion for short columns, whose calls to std::sort cost
// more than their work.
void sort_keys(std::span<std::uint64_t> keys) {
    if (keys.size() > 32) {
        std::sort(keys.begin(), keys.end());
        return;
    }
    for (std::size_t i = 1; i < keys.size(); ++i) {
        const std::uint64_t key = keys[i];
        std::size_t j = i;
        for (; j > 0 && keys[j - 1] > key; --j) keys[j] = keys[j - 1];
        keys[j] = key;
    }
}

// The whole matrix as the blocks read it: A(p, q), rows as positions in p, every column's entries
// in input order. The input columns are walked in storage order, each copied to its place.
struct OrderedColumns {
    std::vector<std::uint32_t> ptr;
    std::vector<std::uint32_t> rows;
    std::vector<double> values;
};

OrderedColumns order_columns(const CompressedPattern& pattern, std::span<const double> ax,
                             std::span<const std::uint32_t> q, std::span<const std::uint32_t> qinv,
                             std::span<const std::uint32_t> position) {
    const std::size_t n = pattern.n;
    OrderedColumns a{permuted_pointers(pattern.col_ptr, q),
                     std::vector<std::uint32_t>(pattern.entries()),
                     std::vector<double>(pattern.entries())};
    for (std::size_t c = 0; c < n; ++c) {
        std::uint32_t dst = a.ptr[qinv[c]];
        for (std::uint32_t p = pattern.col_ptr[c]; p < pattern.col_ptr[c + 1]; ++p, ++dst) {
            if (pattern.row_idx[p] >= n) check_index(pattern.row_idx[p], n);
            a.rows[dst] = position[pattern.row_idx[p]];
            a.values[dst] = ax[p];
        }
    }
    return a;
}

}  // namespace

std::optional<Numeric> factor(const CompressedPattern& pattern, std::span<const double> ax,
                              const Symbolic& sym, double tol) {
    const std::size_t n = pattern.n;
    check_pointers(n, pattern.col_ptr, pattern.entries());
    check_len(ax.size(), pattern.entries(), "values");
    check_blocks(n, sym);
    const std::vector<std::uint32_t> position = inverse(n, sym.p, "row order");
    const OrderedColumns a =
        order_columns(pattern, ax, sym.q, inverse(n, sym.q, "column order"), position);

    std::size_t largest = 0;
    for (std::size_t b = 0; b + 1 < sym.r.size(); ++b) {
        largest = std::max<std::size_t>(largest, sym.r[b + 1] - sym.r[b]);
    }
    Numeric num;
    num.pnum.resize(n);
    num.lp.reserve(n + 1);
    num.up.reserve(n + 1);
    num.lp.push_back(0);
    num.up.push_back(0);
    num.udiag.reserve(n);
    // Room for as many entries in each factor as the matrix has; more grow the storage.
    num.li.reserve(pattern.entries());
    num.lx.reserve(pattern.entries());
    num.ui.reserve(pattern.entries());
    num.ux.reserve(pattern.entries());
    FactorWork work(largest);
    std::vector<std::uint32_t> perm(largest);
    for (std::size_t b = 0; b + 1 < sym.r.size(); ++b) {
        const std::size_t k1 = sym.r[b];
        const std::size_t nk = sym.r[b + 1] - k1;
        const BlockColumns cols{std::span<const std::uint32_t>(a.ptr).subspan(k1, nk + 1), a.rows,
                                a.values};
        if (!factor_block(k1, cols, tol, work, num, perm)) return std::nullopt;
        for (std::size_t k = 0; k < nk; ++k) num.pnum[k1 + k] = sym.p[k1 + perm[k]];
    }
    return num;
}

PermutedMatrix permute(const CompressedPattern& pattern, const Symbolic& sym,
                       std::span<const std::uint32_t> pnum) {
    const std::size_t n = pattern.n;
    const std::size_t nnz = pattern.entries();
    const std::span<const std::uint32_t> col_ptr(pattern.col_ptr);
    const std::span<const std::uint32_t> row_idx(pattern.row_idx);
    check_pointers(n, col_ptr, nnz);
    check_blocks(n, sym);
    const std::vector<std::uint32_t> pinv = inverse(n, pnum, "pivot order");
    const std::vector<std::uint32_t> qinv = inverse(n, sym.q, "column order");
    std::vector<std::uint32_t> block(n);  // per position, its block
    for (std::size_t b = 0; b + 1 < sym.r.size(); ++b) {
        std::fill(block.begin() + sym.r[b], block.begin() + sym.r[b + 1],
                  static_cast<std::uint32_t>(b));
    }

    PermutedMatrix m{CompressedPattern{}, sym.r, sym.q, std::vector<std::uint32_t>(n)};
    CompressedPattern& a = m.a;
    a.n = pattern.n;
    a.col_ptr = permuted_pointers(col_ptr, sym.q);
    a.row_idx.resize(nnz);
    // Every input column goes to its place, its rows sorted there: (row << 32 | input entry) keys
    // carry each entry along, so that `moved` sends input entries to entries of the layout.
    std::vector<std::uint32_t> moved(nnz);
    std::vector<std::uint64_t> keys;
    for (std::size_t c = 0; c < n; ++c) {
        const std::uint32_t k = qinv[c];
        keys.clear();
        for (std::uint32_t p = col_ptr[c]; p < col_ptr[c + 1]; ++p) {
            if (row_idx[p] >= n) check_index(row_idx[p], n);
            keys.push_back(std::uint64_t{pinv[row_idx[p]]} << 32 | p);
        }
        sort_keys(keys);
        const std::uint32_t k1 = sym.r[block[k]];
        const std::uint32_t k2 = sym.r[block[k] + 1];
        std::uint32_t dst = a.col_ptr[k];
        m.block_start[k] = dst;
        for (std::uint64_t key : keys) {
            const auto row = static_cast<std::uint32_t>(key >> 32);
            if (row >= k2) {
                stop("an entry of column " + std::to_string(c) + " lies below its diagonal block");
            }
            if (row < k1) ++m.block_start[k];
            a.row_idx[dst] = row;
            moved[static_cast<std::uint32_t>(key)] = dst++;
        }
    }
    a.slot.resize(pattern.slot.size());
    for (std::size_t t = 0; t < pattern.slot.size(); ++t) {
        if (pattern.slot[t] >= nnz) check_index(pattern.slot[t], nnz);
        a.slot[t] = moved[pattern.slot[t]];
    }
    return m;
}

}  // namespace quillmere::klu_native
