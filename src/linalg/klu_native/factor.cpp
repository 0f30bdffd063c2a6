#include "linalg/klu_native/factor.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <string>

#include "common/stop.hpp"
#include "linalg/klu_native/pattern_check.hpp"

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

// Stops unless the blocks of `sym` span positions 0 .. n-1 in order.
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

// Sorts the entries [begin, end) of a column by their rows, the rows replaced by to_pivot[row] and
// the values in `ax` following them; moved[e] = where entry e went. The few entries of a short
// column are placed by counting the rows below each, without a branch; a long one is sorted.
void sort_column(std::uint32_t begin, std::uint32_t end, std::span<const std::uint32_t> to_pivot,
                 std::span<std::uint32_t> row_idx, std::span<double> ax,
                 std::span<std::uint32_t> moved, std::vector<std::uint64_t>& keys,
                 std::vector<double>& values) {
    const std::uint32_t count = end - begin;
    keys.resize(count);
    values.resize(count);
    for (std::uint32_t t = 0; t < count; ++t) {
        const std::uint32_t row = row_idx[begin + t];
        if (row >= to_pivot.size()) check_index(row, to_pivot.size());
        keys[t] = std::uint64_t{to_pivot[row]} << 32 | t;
        values[t] = ax[begin + t];
    }
    if (count <= 16) {
        for (std::uint32_t t = 0; t < count; ++t) {
            std::uint32_t rank = 0;
            for (std::uint32_t u = 0; u < count; ++u) rank += keys[u] < keys[t] ? 1 : 0;
            const std::uint32_t to = begin + rank;
            row_idx[to] = static_cast<std::uint32_t>(keys[t] >> 32);
            ax[to] = values[t];
            moved[begin + t] = to;
        }
        return;
    }
    std::sort(keys.begin(), keys.end());
    for (std::uint32_t t = 0; t < count; ++t) {
        const auto from = static_cast<std::uint32_t>(keys[t]);
        row_idx[begin + t] = static_cast<std::uint32_t>(keys[t] >> 32);
        ax[begin + t] = values[from];
        moved[begin + from] = begin + t;
    }
}

}  // namespace

PermutedMatrix permute(const CompressedPattern& pattern, const Symbolic& sym) {
    const std::size_t n = pattern.n;
    const std::size_t nnz = pattern.entries();
    const std::span<const std::uint32_t> col_ptr(pattern.col_ptr);
    const std::span<const std::uint32_t> row_idx(pattern.row_idx);
    check_pointers(n, col_ptr, nnz);
    check_blocks(n, sym);
    const std::vector<std::uint32_t> position = inverse(n, sym.p, "row order");
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
    // The input columns are walked in storage order, each split in place into its part above the
    // diagonal block and its part inside; moved[p] = the entry input entry p lands on.
    std::vector<std::uint32_t> moved(nnz);
    for (std::size_t c = 0; c < n; ++c) {
        const std::uint32_t k = qinv[c];
        const std::uint32_t k1 = sym.r[block[k]];
        const std::uint32_t k2 = sym.r[block[k] + 1];
        std::uint32_t above = 0;
        for (std::uint32_t p = col_ptr[c]; p < col_ptr[c + 1]; ++p) {
            if (row_idx[p] >= n) check_index(row_idx[p], n);
            const std::uint32_t pos = position[row_idx[p]];
            if (pos >= k2) {
                stop("an entry of column " + std::to_string(c) + " lies below its diagonal block");
            }
            if (pos < k1) ++above;
        }
        std::uint32_t front = a.col_ptr[k];
        std::uint32_t back = front + above;
        m.block_start[k] = back;
        for (std::uint32_t p = col_ptr[c]; p < col_ptr[c + 1]; ++p) {
            const std::uint32_t pos = position[row_idx[p]];
            const std::uint32_t dst = pos < k1 ? front++ : back++;
            a.row_idx[dst] = pos;
            moved[p] = dst;
        }
    }
    a.slot.resize(pattern.slot.size());
    for (std::size_t t = 0; t < pattern.slot.size(); ++t) {
        if (pattern.slot[t] >= nnz) check_index(pattern.slot[t], nnz);
        a.slot[t] = moved[pattern.slot[t]];
    }
    return m;
}

std::optional<Numeric> factor(const PermutedMatrix& m, std::span<const double> ax,
                              const Symbolic& sym, double tol) {
    const std::size_t n = m.a.n;
    const std::size_t nnz = m.a.entries();
    check_pointers(n, m.a.col_ptr, nnz);
    check_len(m.block_start.size(), n, "block starts");
    check_len(ax.size(), nnz, "values");
    check_len(sym.p.size(), n, "row order");
    if (m.r != sym.r) stop("the layout and the analysis have different blocks");
    check_blocks(n, sym);

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
    num.li.reserve(nnz);
    num.lx.reserve(nnz);
    num.ui.reserve(nnz);
    num.ux.reserve(nnz);
    FactorWork work(largest);
    std::vector<std::uint32_t> perm(largest);
    const std::span<const std::uint32_t> starts(m.block_start);
    const std::span<const std::uint32_t> ends =
        std::span<const std::uint32_t>(m.a.col_ptr).subspan(1);
    for (std::size_t b = 0; b + 1 < sym.r.size(); ++b) {
        const std::size_t k1 = sym.r[b];
        const std::size_t nk = sym.r[b + 1] - k1;
        const BlockColumns cols{starts.subspan(k1, nk), ends.subspan(k1, nk), m.a.row_idx, ax};
        if (!factor_block(k1, cols, tol, work, num, perm)) return std::nullopt;
        for (std::size_t k = 0; k < nk; ++k) {
            const std::uint32_t row = sym.p[k1 + perm[k]];
            check_index(row, n);
            num.pnum[k1 + k] = row;
        }
    }
    return num;
}

void move_to_pivot_rows(PermutedMatrix& m, const Symbolic& sym, std::span<const std::uint32_t> pnum,
                        std::span<double> ax) {
    const std::size_t n = m.a.n;
    const std::size_t nnz = m.a.entries();
    check_pointers(n, m.a.col_ptr, nnz);
    check_len(ax.size(), nnz, "values");
    check_len(sym.p.size(), n, "row order");
    const std::vector<std::uint32_t> pinv = inverse(n, pnum, "pivot order");
    std::vector<std::uint32_t> to_pivot(n);
    for (std::size_t k = 0; k < n; ++k) {
        check_index(sym.p[k], n);
        to_pivot[k] = pinv[sym.p[k]];
    }
    // Every column is sorted by its new rows; moved[e] = where entry e went.
    std::vector<std::uint32_t> moved(nnz);
    std::vector<std::uint64_t> keys;
    std::vector<double> values;
    for (std::size_t k = 0; k < n; ++k) {
        sort_column(m.a.col_ptr[k], m.a.col_ptr[k + 1], to_pivot, m.a.row_idx, ax, moved, keys,
                    values);
    }
    for (std::uint32_t& slot : m.a.slot) {
        if (slot >= nnz) check_index(slot, nnz);
        slot = moved[slot];
    }
}

}  // namespace quillmere::klu_native
