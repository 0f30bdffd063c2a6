#include "klu_native/solve.hpp"

#include <cmath>

#include "stop.hpp"

namespace quillmere::klu_native {

std::optional<std::vector<double>> solve(const Symbolic& sym, const Numeric& num,
                                         std::span<const double> rhs) {
    const std::size_t n = num.pnum.size();
    check_len(rhs.size(), n, "rhs");
    std::vector<double> y(n);
    for (std::size_t k = 0; k < n; ++k) y[k] = rhs[num.pnum[k]];

    for (std::size_t b = num.blocks.size(); b-- > 0;) {
        const std::size_t k1 = sym.r[b];
        const std::size_t k2 = sym.r[b + 1];
        const std::size_t nk = k2 - k1;
        const BlockFactor& f = num.blocks[b];
        double* yb = y.data() + k1;
        for (std::size_t j = 0; j < nk; ++j) {
            const double yj = yb[j];
            for (const FactorEntry& e : f.l[j]) yb[e.row] = yb[e.row] - yj * e.value;
        }
        for (std::size_t j = nk; j-- > 0;) {
            yb[j] = yb[j] / f.udiag[j];
            const double yj = yb[j];
            for (const FactorEntry& e : f.u[j]) yb[e.row] = yb[e.row] - yj * e.value;
        }
        for (std::size_t k = k1; k < k2; ++k) {
            const double yk = y[k];
            for (std::size_t e = num.offp[k]; e < num.offp[k + 1]; ++e) {
                y[num.offi[e]] = y[num.offi[e]] - yk * num.offx[e];
            }
        }
    }

    std::vector<double> x(n);
    for (std::size_t k = 0; k < n; ++k) x[sym.q[k]] = y[k];
    for (double v : x) {
        if (!std::isfinite(v)) return std::nullopt;
    }
    return x;
}

}  // namespace quillmere::klu_native
