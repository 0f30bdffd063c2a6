#include "klu_native/factor.hpp"

#include "stop.hpp"

namespace quillmere::klu_native {

void append_off_diagonal(std::size_t k1, std::span<const std::vector<FactorEntry>> sink,
                         std::vector<std::size_t>& offp, std::vector<std::size_t>& offi,
                         std::vector<double>& offx) {
    check_len(offp.size(), k1 + sink.size() + 1, "off-diagonal column pointers");
    for (std::size_t j = 0; j < sink.size(); ++j) {
        for (const FactorEntry& e : sink[j]) {
            offi.push_back(e.row);
            offx.push_back(e.value);
        }
        offp[k1 + j + 1] = offi.size();
    }
}

std::optional<Numeric> factor(std::size_t n, std::span<const std::size_t> col_ptr,
                              std::span<const std::size_t> row_idx, std::span<const double> values,
                              const Symbolic& sym, double tol) {
    check_len(col_ptr.size(), n + 1, "column pointers");
    check_len(values.size(), row_idx.size(), "values");
    check_len(sym.p.size(), n, "row order");
    check_len(sym.q.size(), n, "column order");
    if (sym.r.empty() || sym.r.front() != 0 || sym.r.back() != n) {
        stop("block boundaries do not span the matrix");
    }

    std::vector<std::size_t> position(n);
    for (std::size_t k = 0; k < n; ++k) position[sym.p[k]] = k;

    Numeric num;
    num.pnum.resize(n);
    num.pinv.resize(n);
    num.offp.assign(n + 1, 0);
    const std::size_t nblocks = sym.r.size() - 1;
    num.blocks.reserve(nblocks);
    std::vector<std::vector<GatheredEntry>> cols;
    std::vector<std::vector<FactorEntry>> sink;
    for (std::size_t b = 0; b < nblocks; ++b) {
        const std::size_t k1 = sym.r[b];
        const std::size_t k2 = sym.r[b + 1];
        const std::size_t nk = k2 - k1;
        if (cols.size() < nk) cols.resize(nk);
        const std::span<std::vector<GatheredEntry>> block_cols(cols.data(), nk);
        gather_block_columns(k1, k2, col_ptr, row_idx, values, sym.q, position, block_cols);
        sink.assign(nk, {});
        std::optional<BlockFactor> f = factor_block(nk, block_cols, tol, sink);
        if (!f) return std::nullopt;
        for (std::size_t k = 0; k < nk; ++k) num.pnum[k1 + k] = sym.p[k1 + f->perm[k]];
        append_off_diagonal(k1, sink, num.offp, num.offi, num.offx);
        num.blocks.push_back(std::move(*f));
    }
    for (std::size_t k = 0; k < n; ++k) num.pinv[num.pnum[k]] = k;
    for (std::size_t& i : num.offi) i = num.pinv[i];
    return num;
}

}  // namespace quillmere::klu_native
