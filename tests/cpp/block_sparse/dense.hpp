#pragma once
// Dense reference for the block solver tests: the 2n x 2n matrix of a block matrix, solved by
// Gaussian elimination with partial pivoting.

#include <cmath>
#include <utility>
#include <vector>

#include "block_sparse.hpp"

namespace quillmere::testing {

using Dense = std::vector<std::vector<double>>;

inline Dense dense_of(const BlockMatrix& m) {
    Dense a(2 * m.n, std::vector<double>(2 * m.n, 0.0));
    for (const BlockEntry& e : m.entries) {
        for (std::size_t k = 0; k < 4; ++k) a[2 * e.row + k / 2][2 * e.col + k % 2] += e.block[k];
    }
    return a;
}

inline std::vector<BlockVector> dense_solve(Dense a, const std::vector<BlockVector>& rhs) {
    const std::size_t m = a.size();
    std::vector<double> b(m);
    for (std::size_t i = 0; i < m; ++i) b[i] = rhs[i / 2][i % 2];
    for (std::size_t k = 0; k < m; ++k) {
        std::size_t p = k;
        for (std::size_t i = k + 1; i < m; ++i) {
            if (std::abs(a[i][k]) > std::abs(a[p][k])) p = i;
        }
        std::swap(a[k], a[p]);
        std::swap(b[k], b[p]);
        for (std::size_t i = k + 1; i < m; ++i) {
            const double f = a[i][k] / a[k][k];
            for (std::size_t j = k; j < m; ++j) a[i][j] -= f * a[k][j];
            b[i] -= f * b[k];
        }
    }
    std::vector<BlockVector> x(m / 2);
    for (std::size_t k = m; k-- > 0;) {
        double s = b[k];
        for (std::size_t j = k + 1; j < m; ++j) s -= a[k][j] * x[j / 2][j % 2];
        x[k / 2][k % 2] = s / a[k][k];
    }
    return x;
}

}  // namespace quillmere::testing
