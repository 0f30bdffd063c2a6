#include "linalg/klu_native/refactor.hpp"

#include "common/stop.hpp"

namespace quillmere::klu_native {

bool refactor(const PermutedMatrix& m, std::span<const double> ax, Numeric& num,
              std::span<double> x) {
    const std::size_t n = m.a.n;
    check_len(ax.size(), m.a.entries(), "values");
    check_len(x.size(), n, "work column");
    check_len(num.udiag.size(), n, "pivots");
    const std::uint32_t* ap = m.a.col_ptr.data();
    const std::uint32_t* ai = m.a.row_idx.data();
    const std::uint32_t* lp = num.lp.data();
    const std::uint32_t* li = num.li.data();
    double* lx = num.lx.data();
    const std::uint32_t* up = num.up.data();
    const std::uint32_t* ui = num.ui.data();
    double* ux = num.ux.data();
    // Rows are pivot positions throughout. x holds column k over the pattern of U(:,k), k and
    // L(:,k) only, as the pivoting factorisation left it closed under the update; each entry is
    // zeroed as it is read, so x is zero again after every column.
    for (std::size_t k = 0; k < n; ++k) {
        // Entries above the diagonal block belong to the off-diagonal part, read by the solve.
        for (std::uint32_t p = m.block_start[k]; p < ap[k + 1]; ++p) x[ai[p]] = ax[p];
        // U(:,k) in the stored topological order: each x[j] is final when read.
        for (std::uint32_t u = up[k]; u < up[k + 1]; ++u) {
            const std::uint32_t j = ui[u];
            const double v = x[j];
            x[j] = 0.0;
            ux[u] = v;
            for (std::uint32_t l = lp[j]; l < lp[j + 1]; ++l) x[li[l]] = x[li[l]] - v * lx[l];
        }
        const double pivot = x[k];
        x[k] = 0.0;
        if (pivot == 0.0) {
            for (std::uint32_t l = lp[k]; l < lp[k + 1]; ++l) x[li[l]] = 0.0;
            return false;
        }
        num.udiag[k] = pivot;
        for (std::uint32_t l = lp[k]; l < lp[k + 1]; ++l) {
            lx[l] = x[li[l]] / pivot;
            x[li[l]] = 0.0;
        }
    }
    return true;
}

}  // namespace quillmere::klu_native
