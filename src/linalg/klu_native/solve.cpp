#include "linalg/klu_native/solve.hpp"

#include <cmath>

#include "common/stop.hpp"

namespace quillmere::klu_native {

bool solve(const PermutedMatrix& m, std::span<const double> ax, const Numeric& num,
           std::span<const double> rhs, std::span<double> y, std::span<double> x) {
    const std::size_t n = m.a.n;
    check_len(ax.size(), m.a.entries(), "values");
    check_len(rhs.size(), n, "rhs");
    check_len(y.size(), n, "work vector");
    check_len(x.size(), n, "solution");
    if (m.r.empty() || m.r.back() != n) stop("block boundaries do not span the matrix");
    const std::uint32_t* ap = m.a.col_ptr.data();
    const std::uint32_t* ai = m.a.row_idx.data();
    const std::uint32_t* lp = num.lp.data();
    const std::uint32_t* li = num.li.data();
    const double* lx = num.lx.data();
    const std::uint32_t* up = num.up.data();
    const std::uint32_t* ui = num.ui.data();
    const double* ux = num.ux.data();
    // y is indexed by pivot position: first P rhs, then, block by block from the last, the
    // solution of its block, which enters the earlier blocks' right-hand sides through the entries
    // above the block; the rows of m.a are pivot positions too.
    for (std::size_t k = 0; k < n; ++k) y[k] = rhs[num.pnum[k]];

    for (std::size_t b = m.r.size() - 1; b-- > 0;) {
        const std::uint32_t k1 = m.r[b];
        const std::uint32_t k2 = m.r[b + 1];
        for (std::uint32_t j = k1; j < k2; ++j) {
            const double yj = y[j];
            for (std::uint32_t l = lp[j]; l < lp[j + 1]; ++l) y[li[l]] = y[li[l]] - yj * lx[l];
        }
        for (std::uint32_t j = k2; j-- > k1;) {
            y[j] = y[j] / num.udiag[j];
            const double yj = y[j];
            for (std::uint32_t u = up[j]; u < up[j + 1]; ++u) y[ui[u]] = y[ui[u]] - yj * ux[u];
        }
        for (std::uint32_t k = k1; k < k2; ++k) {
            const double yk = y[k];
            for (std::uint32_t p = ap[k]; p < m.block_start[k]; ++p) {
                y[ai[p]] = y[ai[p]] - yk * ax[p];
            }
        }
    }

    bool finite = true;
    for (std::size_t k = 0; k < n; ++k) {
        x[m.q[k]] = y[k];
        finite = finite && std::isfinite(y[k]);
    }
    return finite;
}

}  // namespace quillmere::klu_native
