#include "klu_native/factor.hpp"

#include <string>

#include "stop.hpp"

namespace quillmere::klu_native {
namespace {

// Appends the columns of one block factor, rows moved from local to global positions by k1, to
// the whole-matrix storage. False when the offsets would no longer fit in 32 bits.
bool append_columns(std::size_t k1, const std::vector<std::vector<FactorEntry>>& cols,
                    std::vector<std::uint32_t>& ptr, std::vector<std::uint32_t>& idx,
                    std::vector<double>& val) {
    for (const std::vector<FactorEntry>& col : cols) {
        if (col.size() > kMaxCompressedIndex - idx.size()) return false;
        for (const FactorEntry& e : col) {
            idx.push_back(static_cast<std::uint32_t>(k1 + e.row));
            val.push_back(e.value);
        }
        ptr.push_back(static_cast<std::uint32_t>(idx.size()));
    }
    return true;
}

}  // namespace

std::optional<Numeric> factor(const CompressedPattern& pattern, std::span<const double> ax,
                              const Symbolic& sym, double tol) {
    const std::size_t n = pattern.n;
    check_len(pattern.col_ptr.size(), n + 1, "column pointers");
    check_len(ax.size(), pattern.entries(), "values");
    check_len(sym.p.size(), n, "row order");
    check_len(sym.q.size(), n, "column order");
    if (sym.r.empty() || sym.r.front() != 0 || sym.r.back() != n) {
        stop("block boundaries do not span the matrix");
    }

    std::vector<std::size_t> position(n);
    for (std::size_t k = 0; k < n; ++k) position[sym.p[k]] = k;

    Numeric num;
    num.pnum.resize(n);
    num.lp.reserve(n + 1);
    num.up.reserve(n + 1);
    num.lp.push_back(0);
    num.up.push_back(0);
    num.udiag.reserve(n);
    std::vector<std::vector<GatheredEntry>> cols;
    for (std::size_t b = 0; b + 1 < sym.r.size(); ++b) {
        const std::size_t k1 = sym.r[b];
        const std::size_t k2 = sym.r[b + 1];
        const std::size_t nk = k2 - k1;
        if (cols.size() < nk) cols.resize(nk);
        const std::span<std::vector<GatheredEntry>> block_cols(cols.data(), nk);
        gather_block_columns(k1, k2, pattern.col_ptr, pattern.row_idx, ax, sym.q, position,
                             block_cols);
        const std::optional<BlockFactor> f = factor_block(nk, block_cols, tol);
        if (!f) return std::nullopt;
        for (std::size_t k = 0; k < nk; ++k) {
            num.pnum[k1 + k] = static_cast<std::uint32_t>(sym.p[k1 + f->perm[k]]);
        }
        if (!append_columns(k1, f->l, num.lp, num.li, num.lx) ||
            !append_columns(k1, f->u, num.up, num.ui, num.ux)) {
            return std::nullopt;
        }
        num.udiag.insert(num.udiag.end(), f->udiag.begin(), f->udiag.end());
    }
    return num;
}

PermutedMatrix permute(std::size_t n, std::span<const Triplet<double>> triplets,
                       const Symbolic& sym, std::span<const std::uint32_t> pnum) {
    check_len(pnum.size(), n, "pivot order");
    check_len(sym.q.size(), n, "column order");
    std::vector<std::size_t> pinv(n);
    std::vector<std::size_t> qinv(n);
    for (std::size_t k = 0; k < n; ++k) {
        pinv[pnum[k]] = k;
        qinv[sym.q[k]] = k;
    }
    std::vector<std::size_t> rows(triplets.size());
    std::vector<std::size_t> cols(triplets.size());
    for (std::size_t t = 0; t < triplets.size(); ++t) {
        check_index(triplets[t].row, n);
        check_index(triplets[t].col, n);
        rows[t] = pinv[triplets[t].row];
        cols[t] = qinv[triplets[t].col];
    }
    std::optional<CompressedPattern> a = compress_pattern(n, rows, cols);
    if (!a)
        stop("a matrix of " + std::to_string(n) + " rows and " + std::to_string(triplets.size()) +
             " triplets exceeds 32-bit indices");

    PermutedMatrix m{std::move(*a), {}, {}, std::vector<std::uint32_t>(n)};
    m.r.assign(sym.r.begin(), sym.r.end());
    m.q.assign(sym.q.begin(), sym.q.end());
    for (std::size_t b = 0; b + 1 < m.r.size(); ++b) {
        for (std::size_t k = m.r[b]; k < m.r[b + 1]; ++k) {
            std::uint32_t p = m.a.col_ptr[k];
            const std::uint32_t end = m.a.col_ptr[k + 1];
            while (p < end && m.a.row_idx[p] < m.r[b]) ++p;
            m.block_start[k] = p;
            if (p < end && m.a.row_idx[end - 1] >= m.r[b + 1]) {
                stop("an entry of column " + std::to_string(m.q[k]) +
                     " lies below its diagonal block");
            }
        }
    }
    return m;
}

}  // namespace quillmere::klu_native
